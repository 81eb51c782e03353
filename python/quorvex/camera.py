"""Cameras: discovery, opening by index, hardware ID or path, and what an open camera offers."""

import atexit
import os
import threading
import weakref
from dataclasses import dataclass
from functools import cached_property
from types import TracebackType
from typing import TYPE_CHECKING, overload

from ._library import qx
from .controls import Controls
from .errors import NO_DEVICE, QuorvexError, call, check, error, value
from .formats import Format, FormatQuery, choose_format, find_format
from .recording_file import SUFFIX

if TYPE_CHECKING:
    from .calibration import Calibration
    from .firmware import BootData, Firmware
    from .imu import Imu
    from .playback import RecordedCamera
    from .profiles import Profile
    from .registers import Registers
    from .stream import Stream


@dataclass(frozen=True)
class CameraInfo:
    """What the library tells about a camera. Fields it would not tell (a camera open elsewhere
    answers nothing) are None."""

    index: int
    name: str
    path: str | None
    hardware_id: str | None
    interface: str | None
    product: str | None
    usb_speed: str | None
    is_quorvex: bool
    unique_id: str | None = None  # the sensor's unique ID, where the camera has one

    def __str__(self) -> str:
        unique = f", unique ID {self.unique_id}" if self.unique_id else ""
        return f"[{self.index}] {self.name} ({self.path or 'path unknown'}, {self.hardware_id or 'ID unknown'}{unique})"


def _text(result: tuple[int, str]) -> str | None:
    status, value = result
    return value if status == 0 else None


def _member_name(
    result: tuple[int, qx.QX_CAMERA_INTERFACE_TYPE | qx.QX_CAMERA_PRODUCT_TYPE | qx.QX_USB_DEVICE_SPEED], prefix: str
) -> str | None:
    status, member = result
    return member.name.removeprefix(prefix) if status == 0 else None


def _read_info(index: int, handle: qx.QxCamera, name: str) -> CameraInfo:
    """The device information through a handle; what the library refuses is None."""
    is_quorvex = qx.QxIsQuorvexCamera(handle) == 1
    return CameraInfo(
        index=index,
        name=_text(qx.QxGetDeviceName(handle)) or name,
        path=_text(qx.QxGetDevicePath(handle)),
        hardware_id=_text(qx.QxGetHardwareID(handle)),
        interface=_member_name(qx.QxGetDeviceInterfaceType(handle), "INTERFACE_"),
        product=_member_name(qx.QxGetDeviceProductType(handle), "QXCAM_PRODUCT_TYPE_"),
        usb_speed=_member_name(qx.QxGetUSBDeviceSpeed(handle), "USB_DEVICE_SPEED_"),
        is_quorvex=is_quorvex,
        # Only the maker's cameras have the sensor firmware that knows it; asking another logs a
        # warning for every listing.
        unique_id=(_text(qx.QxGetSensorUniqueID(handle)) or None) if is_quorvex else None,
    )


# Cameras this process has open: their information is read through the open handle. Told apart
# by handle, not index, since indexes shift when a camera is unplugged (the library hands out the
# same handle object for a device every time). Weak, so that a camera dropped without close() is
# still collected (and closed then).
_open_cameras: "weakref.WeakSet[Camera]" = weakref.WeakSet()
_registry_lock = threading.Lock()


def _open_with(handle: qx.QxCamera) -> "Camera | None":
    """The camera this process has open through `handle`; call with _registry_lock held."""
    for camera in _open_cameras:
        if camera._handle is handle:
            return camera
    return None


def _renew_registry_lock() -> None:
    # In a forked child: the thread that held it at the fork is not there to release it.
    global _registry_lock
    _registry_lock = threading.Lock()


os.register_at_fork(after_in_child=_renew_registry_lock)


@atexit.register
def _close_open_cameras() -> None:
    # Runs before pyQuorvexSDK's own exit hook (registered at its import, earlier), while library
    # calls still work as usual: a camera left open is closed here, its streams stopped, rather
    # than in __del__ during finalization.
    with _registry_lock:
        still_open = list(_open_cameras)
    for camera in still_open:
        camera._close_if_opened_here()


def _discover() -> list[str]:
    """The names of the cameras the library finds; its failure as the status's exception. A failing
    discovery may give its reason as the list's text (the emulated library names what is wrong
    with its camera configuration): the exception's message carries it."""
    status, names = qx.QxDiscoverCameraDevices()
    check(qx.QxDiscoverCameraDevices.__name__, status, "; ".join(names) if status != 0 else "")
    return list(names)


def camera_count() -> int:
    """How many cameras the library finds, without opening any (cameras() opens them to read
    their information)."""
    return len(_discover())


def cameras() -> list[CameraInfo]:
    """Every camera the library finds, in index order. A camera that is not open is opened for a
    moment to read its information."""
    names = _discover()
    found = []
    for index, name in enumerate(names):
        handle = qx.QxInitialCameraDevice(index)
        if handle is None:
            continue
        found.append(_describe(index, handle, name))
    return found


def _describe(index: int, handle: qx.QxCamera, name: str) -> CameraInfo:
    """A camera's information, opened for a moment unless this process has it open (told by
    handle, not index: indexes shift when a camera is unplugged). The registry lock is held
    meanwhile, so that another thread's open() of the camera waits rather than finding it open."""
    with _registry_lock:
        opened = _open_with(handle) is None and qx.QxOpen(handle) == 0
        try:
            return _read_info(index, handle, name)
        finally:
            if opened:
                qx.QxClose(handle)


_SELECTORS = {"which": "hardware ID or path", "unique_id": "unique ID", "path": "path", "hardware_id": "hardware ID"}


@overload
def open(
    which: int | str | None = None,
    *,
    unique_id: str | None = None,
    path: str | None = None,
    hardware_id: str | None = None,
) -> "Camera": ...


@overload
def open(
    which: "os.PathLike[str]",
    *,
    camera: int | None = None,
    paced: bool | None = None,
    loop: bool | None = None,
) -> "RecordedCamera": ...


@overload
def open(
    *,
    recording: "str | os.PathLike[str]",
    camera: int | None = None,
    paced: bool | None = None,
    loop: bool | None = None,
) -> "RecordedCamera": ...


def open(
    which: "int | str | os.PathLike[str] | None" = None,
    *,
    unique_id: str | None = None,
    path: str | None = None,
    hardware_id: str | None = None,
    recording: "str | os.PathLike[str] | None" = None,
    camera: int | None = None,
    paced: bool | None = None,
    loop: bool | None = None,
) -> "Camera | RecordedCamera":
    """Opens a camera: by index or by text (a hardware ID such as "3F1D:A013" or a device path
    such as "/dev/video0"), or by one field alone: `unique_id`, `path` or `hardware_id`; camera
    0 when none is given. TypeError for more than one selector; LookupError, listing the
    cameras, when none matches or when several do (identical cameras share a hardware ID: tell
    them apart by unique ID or path). Use it as a context manager, which always closes it.

    A path ending in .qxrec (or `recording=path`) opens a recording as a camera: a
    quorvex.playback.RecordedCamera of its camera `camera` (default 0), played at the recorded
    pace unless `paced=False`, over and over with `loop=True`. Type checkers see a RecordedCamera
    for a path object or `recording=`; for text, a Camera."""
    from .playback import is_recording_path

    given = {name: chosen for name, chosen in
             (("which", which), ("unique_id", unique_id), ("path", path), ("hardware_id", hardware_id),
              ("recording", recording))
             if chosen is not None}
    if len(given) > 1:
        raise TypeError(f"open takes one camera selector, not {len(given)}: {', '.join(given)}")
    played = recording if recording is not None else which if is_recording_path(which) else None
    playing = {name: chosen for name, chosen in (("camera", camera), ("paced", paced), ("loop", loop))
               if chosen is not None}
    if played is not None:
        from .playback import RecordedCamera

        if not isinstance(played, (str, os.PathLike)):
            raise TypeError(f"open's recording is a path, not {played!r}")
        return RecordedCamera(played, camera=0 if camera is None else camera, paced=True if paced is None else paced,
                              loop=bool(loop))
    if playing:
        raise TypeError(f"{', '.join(playing)} applies to a recording (open('x{SUFFIX}') or "
                        "open(recording=...)), not to a camera")
    if isinstance(which, bool) or not isinstance(which, (int, str, type(None))):
        raise TypeError(f"open takes a camera index, hardware ID, device path or recording (*{SUFFIX}), not {which!r}")
    for name in ("unique_id", "path", "hardware_id"):
        if name in given and not isinstance(given[name], str):
            raise TypeError(f"open's {name} is text, not {given[name]!r}")
    selector, wanted = next(iter(given.items()), ("which", 0))
    if isinstance(wanted, int):
        opened = Camera(wanted)
        opened.open()
        return opened
    infos = cameras()
    fields = {"which": ("hardware_id", "path"), "unique_id": ("unique_id",), "path": ("path",),
              "hardware_id": ("hardware_id",)}[selector]
    chosen = [info for info in infos if any(getattr(info, field) == wanted for field in fields)]
    described = f"{_SELECTORS[selector]} {wanted!r}"
    if not chosen:
        listed = "; ".join(str(info) for info in infos) or "none"
        raise LookupError(f"no camera with {described}; cameras: {listed}")
    if len(chosen) > 1:
        candidates = "; ".join(f"[{info.index}] {info.name} ({info.path or 'path unknown'}, unique ID "
                               f"{info.unique_id or 'unknown'})" for info in chosen)
        raise LookupError(f"{len(chosen)} cameras match {described}; candidates: {candidates}")
    opened = Camera(chosen[0].index)
    opened._info = chosen[0]  # read just now by cameras(): opening need not read it again
    opened.open()
    return opened


class Camera:
    """One camera. quorvex.open() returns it open; `with` closes it, also on an exception."""

    def __init__(self, index: int) -> None:
        # Asked only for a camera that is there, the library has nothing to log.
        count = len(_discover())
        handle = qx.QxInitialCameraDevice(index) if 0 <= index < count else None
        if handle is None:
            raise LookupError(f"no camera {index} ({count} found)")
        self.index = index
        self._handle: qx.QxCamera = handle
        self._open = False
        self._formats: list[Format] | None = None
        # The streams running on the camera, which close() stops: a stream adds itself when it
        # starts and leaves when it stops; weak, so that a stream dropped while running goes.
        self.streams: weakref.WeakSet[Stream] = weakref.WeakSet()
        self._info: CameraInfo | None = None
        self._opened_by = 0  # the process that opened it
        self._connected = True
        # While a reconnecting stream runs: the controls to restore after a replug (a value, or
        # True for automatic) and the frame-rate cap set, if any.
        self._settings: dict[str, int | bool] | None = None
        self._max_fps: int | None = None

    @property
    def handle(self) -> qx.QxCamera:
        """The library's handle, for pyQuorvexSDK calls this package does not wrap; NotOpenError
        while the camera is closed."""
        if not self._open:
            raise error("Camera", -3, f"camera {self.index} is closed")
        return self._handle

    @property
    def is_open(self) -> bool:
        return self._open

    def open(self) -> "Camera":
        if self._open:
            return self
        with _registry_lock:
            if _open_with(self._handle) is not None:
                raise error("QxOpen", -4, f"camera {self.index} is open in this process")
            call(qx.QxOpen, self._handle, detail=f"camera {self.index}")
            _open_cameras.add(self)
        self._open = True
        self._connected = True
        self._opened_by = os.getpid()
        # Read while the camera is open, so that both stay available after close().
        try:
            _ = self.info, self.formats
        except QuorvexError:
            pass  # asked for later, they raise then

        return self

    def close(self) -> None:
        """Stops its streams and closes the camera. Idempotent."""
        if not self._open:
            return
        try:
            for stream in list(self.streams):
                stream.stop()
        finally:
            self._open = False
            self.streams.clear()
            with _registry_lock:
                _open_cameras.discard(self)
                status = qx.QxClose(self._handle)
        if status != NO_DEVICE:  # unplugged: nothing is left to close
            check(qx.QxClose.__name__, status)

    @property
    def is_connected(self) -> bool:
        """False once a stream found the camera unplugged (until a reconnecting stream opens it
        again); close it then."""
        return self._connected

    def _reopen(self, handle: qx.QxCamera, index: int) -> None:
        """Takes over `handle`, a replugged device's new handle that the caller opened."""
        with _registry_lock:
            self._handle, self.index = handle, index
        self._info = None
        self._formats = None

    def _remember(self, name: str, setting: "int | bool") -> None:
        """Notes a control set through this package (a value, or True for automatic), for a
        reconnecting stream to restore."""
        if self._settings is not None:
            self._settings[name] = setting

    def __enter__(self) -> "Camera":
        return self.open()

    def __exit__(
        self, kind: type[BaseException] | None, value: BaseException | None, traceback: TracebackType | None
    ) -> None:
        self.close()

    def __del__(self) -> None:
        # A camera dropped without close() must not keep the device open for the process's life.
        if getattr(self, "_open", False):
            self._close_if_opened_here()

    def _close_if_opened_here(self) -> None:
        # Closing without being asked is for the process that opened the camera: a forked child
        # that ends (or drops its copy) must not stop the parent's device. An explicit close()
        # in the child still closes it.
        if self._opened_by != os.getpid():
            return
        try:
            self.close()
        except Exception:
            pass  # the process or object is ending: nothing to report to

    @property
    def info(self) -> CameraInfo:
        """What the library tells about the camera, read when it opened."""
        if self._info is None:
            status, names = qx.QxDiscoverCameraDevices()
            name = names[self.index] if status == 0 and self.index < len(names) else ""
            self._info = _read_info(self.index, self.handle, name)
        return self._info

    @property
    def formats(self) -> list[Format]:
        """The formats the camera streams, in the library's order, read when it opened."""
        if self._formats is None:
            records = value(qx.QxGetFormatList, self.handle)
            self._formats = [Format.from_qx(record) for record in records]
        return list(self._formats)

    def find_format(
        self,
        pixel_format: str | None = None,
        width: int | None = None,
        height: int | None = None,
        fps: int | None = None,
    ) -> Format:
        """The best format matching what is given (see formats.find_format); `pixel_format` may be
        format text ("MJPG:1920x1080@30"). LookupError naming the camera's formats when none does."""
        return find_format(self.formats, FormatQuery.of(pixel_format, width, height, fps))

    def stream(
        self,
        format: Format | str | None = None,
        timeout: float | None = 1.0,
        *,
        exposure_and_gain: bool = False,
        reconnect: bool = False,
        reconnect_timeout: float | None = 10.0,
    ) -> "Stream":
        """A stream of `format` (a Format of this camera, or text such as "MJPG:1920x1080@30";
        None: the first format). Use it as a context manager, which starts and always stops it.
        `timeout` is the wait of each frame when iterating. `exposure_and_gain` reads both with
        every frame (two library calls more). With `reconnect`, a read on a camera that was
        unplugged waits up to `reconnect_timeout` seconds (None: no limit) for it to come back,
        opens it again as it was and goes on, instead of raising DisconnectedError."""
        from .stream import Stream

        chosen = choose_format(self.formats, format, f"camera {self.index}")
        return Stream(self, chosen, timeout, exposure_and_gain=exposure_and_gain, reconnect=reconnect,
                      reconnect_timeout=reconnect_timeout)

    @cached_property
    def controls(self) -> Controls:
        return Controls(self)

    @cached_property
    def firmware(self) -> "Firmware":
        from .firmware import Firmware

        return Firmware(self)

    @cached_property
    def bootdata(self) -> "BootData":
        from .firmware import BootData

        return BootData(self)

    @cached_property
    def registers(self) -> "Registers":
        from .registers import Registers

        return Registers(self)

    @cached_property
    def profile(self) -> "Profile":
        from .profiles import Profile

        return Profile(self)

    @cached_property
    def imu(self) -> "Imu":
        from .imu import Imu

        return Imu(self)

    @cached_property
    def calibration(self) -> "Calibration":
        from .calibration import Calibration

        return Calibration(self)

    # Readings and settings of the running camera.

    @property
    def gain(self) -> int:
        """Total gain in 1/16 steps above unity."""
        return value(qx.QxGetCurrentGain, self.handle)

    @property
    def exposure_us(self) -> int:
        return value(qx.QxGetCurrentExposure, self.handle)

    @property
    def max_fps(self) -> int:
        """The frame-rate cap, 0 for none."""
        return value(qx.QxGetMaxFPS, self.handle)

    @max_fps.setter
    def max_fps(self, fps: int) -> None:
        if not 0 <= fps <= 255:
            raise ValueError(f"max_fps must lie in [0, 255], not {fps}")
        call(qx.QxSetMaxFPS, self.handle, fps)
        self._max_fps = fps

    @property
    def throughput(self) -> int:
        """The camera's share of the USB bandwidth, percent."""
        return value(qx.QxGetThroughPut, self.handle)

    @throughput.setter
    def throughput(self, percent: int) -> None:
        if not 1 <= percent <= 100:
            raise ValueError(f"throughput is a percentage from 1 to 100, not {percent}")
        call(qx.QxSetThroughPut, self.handle, percent)

    @property
    def timestamp(self) -> float:
        """The camera's clock, seconds since it opened or was reset (reset_timestamp)."""
        return value(qx.QxGetTimestamp, self.handle)

    def reset_timestamp(self) -> None:
        call(qx.QxResetTimestamp, self.handle)

    @property
    def frame_count(self) -> int:
        """Frames the camera produced, modulo 256 (a stream's frames carry it unwrapped: Frame.sequence)."""
        return value(qx.QxGetFrameCount, self.handle)

    def reset_frame_count(self) -> None:
        call(qx.QxResetFrameCount, self.handle)

    def __repr__(self) -> str:
        return f"<quorvex.Camera {self.index} {'open' if self._open else 'closed'}>"
