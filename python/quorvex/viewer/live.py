"""One camera as the viewer holds it: the quorvex Camera, its capture loop, its firmware
upgrade and its recording, opened on first use and kept until the viewer stops."""

from __future__ import annotations

import contextlib
import os
import tempfile
import threading
import time
import warnings
from dataclasses import dataclass
from typing import Final

import quorvex
from quorvex import Format, NotSupportedError, QuorvexError, Recorder

from . import payloads
from .capture import Capture
from .recordings import Folder, Session

FIRMWARE = ("usb", "zena", "sensor")
# UVC controls the UVC class gives an automatic mode; a camera may also start others automatic.
AUTOMATIC_MODES: Final = frozenset({"white_balance", "exposure", "focus"})
# ISP controls whose automatic mode is another control, 1 automatic and 0 manual: the
# exposure's gain as well as its time act only in manual exposure.
ISP_MODES: Final = {"isp_white_balance_temperature": "isp_white_balance_mode",
                    "isp_exposure_time": "isp_exposure_mode", "isp_exposure_gain": "isp_exposure_mode"}
_USB_TARGET: Final = "spi"  # the controller's flash: the new firmware outlives a power cycle
IMU_WAIT = 0.5  # seconds an IMU sample waits for the camera before it gives up


@dataclass
class Upgrade:
    target: str = ""
    state: str = "idle"  # idle, running, done, failed
    percent: int = 0
    message: str = ""


class Busy(Exception):
    """A change the camera cannot take now (being upgraded, recording already, ...)."""


class LiveCamera:
    """A camera opened by the viewer for as long as the viewer runs.

    Changes of the camera's state (format, streaming, firmware, IMU) are serialised by `lock`;
    frame reads are not, so a control can change while a read waits. While the camera is
    upgraded, `lock` is held for the whole upgrade: its state is answered from what was last
    read (`versions`, `controls`) and changes are refused, so that none of them waits on it.
    """

    def __init__(self, index: int) -> None:
        self.index = index
        self.lock = threading.RLock()
        self.camera = quorvex.open(index)
        self._stream: quorvex.Stream | None = None
        try:
            self.formats = self.camera.formats
            self.info = self.camera.info
            self.has_imu = self._has_imu()
            # Reset returns these to automatic, as the camera started them.
            self._automatic = {name for name, control in self.camera.controls.items() if control.auto}
            # Those that can be switched between automatic and manual.
            controls = self.camera.controls
            self.automatic_modes = self._automatic | {
                name for name, control in controls.items()
                if (control.kind == "uvc" and name in AUTOMATIC_MODES) or ISP_MODES.get(name) in controls}
            self.versions = self._read_versions()  # they change only by an upgrade
            self.controls = self.read_controls()  # as last read or changed
        except BaseException:
            self.camera.close()
            raise
        self._imu_started = False
        self.format: Format | None = self.formats[0] if self.formats else None  # the library's choice at opening
        self.capture = Capture(self)
        self.upgrade = Upgrade()
        self._claiming = threading.Lock()
        self.recording: Session | None = None
        self._changing = threading.Lock()  # one start or stop of a recording at a time

    def _has_imu(self) -> bool:
        try:
            self.camera.imu.running
        except NotSupportedError:
            return False
        return True

    # Formats and frames

    def find_format(self, pixel_format: str, width: int, height: int, fps: int) -> Format:
        """The camera's format with exactly these values; LookupError naming those it has."""
        try:
            return self.camera.find_format(pixel_format, width, height, fps)
        except LookupError:
            offered = ", ".join(str(f) for f in self.formats)
            raise LookupError(f"camera {self.index} has no format {pixel_format}:{width}x{height}@{fps}; "
                              f"it offers {offered}") from None

    def choose(self, fmt: Format) -> None:
        """Streams `fmt` from the capture loop's next start on."""
        self.format = fmt
        self.capture.restart()

    def start(self, fmt: Format) -> None:
        with self.lock:
            self._stop_locked()
            # An unplugged camera is waited for as long as it takes, and the picture goes on once
            # it is back; interrupt() ends the wait.
            self._stream = self.camera.stream(fmt, reconnect=True, reconnect_timeout=None).start()

    @property
    def disconnected(self) -> bool:
        """Whether the camera was unplugged (and the capture waits for it to come back)."""
        return not self.camera.is_connected

    def interrupt(self) -> None:
        """Ends the capture's wait for an unplugged camera, so that the loop can stop."""
        stream = self._stream
        if stream is not None and self.disconnected:
            try:
                stream.stop()
            except QuorvexError:
                pass  # stopped as far as it can be

    def stop(self) -> None:
        with self.lock:
            self._stop_locked()

    def _stop_locked(self) -> None:
        stream, self._stream = self._stream, None
        if stream is not None and self.camera.is_open:
            try:
                stream.stop()
            except QuorvexError:
                pass  # a camera that stopped on its own (reset, program mode) is as good as stopped

    def read(self, timeout: float) -> quorvex.Frame | None:
        """The next frame, or None when none came in time."""
        stream = self._stream
        if stream is None:
            raise RuntimeError(f"camera {self.index} is not streaming")
        try:
            return stream.read(timeout)
        except quorvex.TimeoutError:
            return None

    # Controls

    def read_controls(self) -> list[dict[str, object]]:
        with self.lock:
            self.controls = [self._control_dict(control) for control in self.camera.controls.values()]
            return self.controls

    def change_control(self, name: str, value: int | None) -> dict[str, object]:
        """Sets the control to `value`, or back to its default with None; KeyError for a
        control the camera lacks, ValueError for a value out of its range."""
        with self.lock:
            control = self._control(name)
            if value is not None:
                control.value = value
            else:
                control.reset()
                if name in self._automatic:
                    control.auto = True
            return self._changed(control)

    def change_mode(self, name: str, automatic: bool) -> dict[str, object]:
        """Lets the camera choose the control's value, or keeps the value in use as a manual
        one; KeyError for a control the camera lacks, ValueError for one without that choice."""
        with self.lock:
            control = self._control(name)
            if name not in self.automatic_modes:
                raise ValueError(f"{name} has no automatic mode; those of camera {self.index} that have one: "
                                 f"{', '.join(sorted(self.automatic_modes)) or 'none'}")
            self.set_automatic(control, automatic)
            return self._changed(control)

    def mode_control(self, control: quorvex.Control) -> quorvex.Control | None:
        """The ISP control that holds `control`'s automatic mode, if another one does."""
        mode = ISP_MODES.get(control.name)
        controls = self.camera.controls
        return controls[mode] if mode is not None and mode in controls else None

    def set_automatic(self, control: quorvex.Control, automatic: bool) -> None:
        """Switches a control of `automatic_modes` (the lock held)."""
        mode = self.mode_control(control)
        if mode is not None:
            mode.value = int(automatic)
        else:
            control.auto = automatic

    def _control(self, name: str) -> quorvex.Control:
        try:
            return self.camera.controls[name]
        except KeyError:
            raise KeyError(f"camera {self.index} has no control {name!r}") from None

    def _changed(self, control: quorvex.Control) -> dict[str, object]:
        changed = self._control_dict(control)
        mode = self.mode_control(control)
        changes = {control.name: changed, **({mode.name: self._control_dict(mode)} if mode is not None else {})}
        self.controls = [changes.get(str(c["name"]), c) for c in self.controls]
        return changed

    def _control_dict(self, control: quorvex.Control) -> dict[str, object]:
        described = payloads.control_dict(control, control.name in self.automatic_modes)
        mode = self.mode_control(control)
        if mode is not None:
            described["automatic"], described["mode"] = mode.value == 1, mode.name
        return described

    # Firmware

    def _read_versions(self) -> dict[str, str | None]:
        """The versions, None for firmware the camera lacks."""
        versions: dict[str, str | None] = {}
        with self.lock:
            for key in FIRMWARE:
                try:
                    versions[key] = getattr(self.camera.firmware, f"{key}_version")
                except NotSupportedError:
                    versions[key] = None
        return versions

    @property
    def upgrading(self) -> bool:
        return self.upgrade.state == "running"

    def claim_upgrade(self, target: str) -> Upgrade | None:
        """Marks the camera as being upgraded and returns the previous upgrade's record; None
        when it is being upgraded already."""
        with self._claiming:
            if self.upgrading:
                return None
            previous, self.upgrade = self.upgrade, Upgrade(target, "running", message="receiving the image")
            return previous

    def run_upgrade(self, image: bytes) -> None:
        """Programs the claimed target, the USB controller ("usb") or the sensor ("sensor"),
        from an image, with the stream stopped (the camera refuses a sensor upgrade while
        streaming); reads the versions again and closes the upgrade's record whatever happens.
        A camera refusing the image is a failed upgrade, not an exception; OSError when the
        image cannot be stored for the library to read, the upgrade marked failed."""
        upgrade = self.upgrade
        failure: str | None = "interrupted before it finished"
        unread: str | None = None  # why the versions could not be read afterwards
        try:
            with tempfile.TemporaryDirectory(prefix="quorvex-viewer-") as folder:
                path = os.path.join(folder, "firmware.img")
                with open(path, "wb") as file:
                    file.write(image)
                self.capture.pause()
                try:
                    self._program(upgrade, path)
                finally:
                    self.capture.resume()
            failure = None
        except QuorvexError as error:  # before OSError: the library's timeout is one too
            # The status, not the whole message: that names the server's temporary file.
            failure = f"{error.function} refused the image: {error.status_name or error.status}"
        except OSError as error:
            failure = f"the image could not be stored for the camera: {error.strerror or error}"
            raise
        finally:
            try:
                self.versions = self._read_versions()
            except QuorvexError as error:  # unplugged meanwhile: the versions known before stay
                unread = error.status_name or str(error)
            finally:  # the camera is free again either way
                if failure is not None:
                    upgrade.state, upgrade.message = "failed", failure
                else:
                    upgrade.state, upgrade.percent = "done", 100
                    upgrade.message = (f"{upgrade.target} firmware is now {self.versions.get(upgrade.target)}"
                                       if unread is None else
                                       f"{upgrade.target} firmware written; the camera did not tell its version ({unread})")

    def _program(self, upgrade: Upgrade, path: str) -> None:
        def progress(percent: int) -> None:
            upgrade.percent = int(percent)

        firmware = self.camera.firmware
        with self.lock:
            if upgrade.target == "usb":
                try:
                    firmware.upgrade_usb(path, _USB_TARGET, progress)
                except QuorvexError:
                    firmware.reset_uvc()  # out of the bootloader, back to the old firmware
                    raise
            elif upgrade.target == "sensor":
                firmware.upgrade_sensor(path, progress)
            else:
                raise ValueError(f"firmware target is 'usb' or 'sensor', not {upgrade.target!r}")

    # IMU

    def imu_sample(self) -> dict[str, object]:
        """One accelerometer and gyroscope reading; starts the IMU when it is not running. Busy
        when the camera stays taken for longer than IMU_WAIT (an upgrade holds it throughout):
        a sample is worth nothing late, and a waiting one would hold a thread meanwhile."""
        imu = self.camera.imu
        if not self.lock.acquire(timeout=IMU_WAIT):
            raise Busy(f"camera {self.index} is busy" + (" being upgraded" if self.upgrading else ""))
        try:
            if not imu.running:
                imu.enable()
                self._imu_started = True
            return payloads.imu_dict(imu)
        finally:
            self.lock.release()

    # Recording

    def recorder(self, path: str | os.PathLike[str]) -> Recorder:
        """A Recorder writing to `path`, headed by the camera's information and control values
        as `quorvex record` heads its files, so that the emulated library replays either."""
        with self.lock:
            if self.format is None:
                raise ValueError(f"camera {self.index} has no format to record")
            return Recorder.for_camera(path, self.camera, self.format, writer="quorvex viewer")

    def start_recording(self, folder: Folder) -> Session:
        """Records every frame the capture loop reads into a new file of `folder`, keeping the
        loop running, watched or not; Busy when it records already."""
        with self._changing:
            if self.recording is not None:
                raise Busy(f"camera {self.index} is recording to {self.recording.name} already")
            session = Session(folder.recorder(self), time.monotonic())
            self.capture.record_into(session.recorder)
            self.recording = session
            return session

    def stop_recording(self) -> dict[str, object]:
        """Ends the recording (writing what is queued) and returns its summary; Busy when it
        does not record."""
        with self._changing:
            session, self.recording = self.recording, None
            if session is None:
                raise Busy(f"camera {self.index} is not recording")
            failure = self.capture.record_into(None)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", RuntimeWarning)  # the drops are in the summary
                try:
                    session.recorder.close()
                except OSError as error:
                    failure = str(error)
            return payloads.recording_summary(session, failure)

    def close(self) -> None:
        if self.recording is not None:  # what was recorded stays readable
            with contextlib.suppress(Busy):  # a request stopped it meanwhile
                self.stop_recording()
        self.interrupt()
        self.capture.shutdown()
        with self.lock:
            if not self.camera.is_open:
                return
            self._stop_locked()
            if self._imu_started:
                try:
                    self.camera.imu.disable()  # the IMU belongs to the device and outlives the handle
                except QuorvexError:
                    pass
            try:
                self.camera.close()
            except QuorvexError:
                pass  # a camera gone away (reset, unplugged) is closed as far as it can be

