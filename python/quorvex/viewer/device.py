"""The viewer's one seam to the cameras: everything it asks of a camera goes through here, on
the quorvex package. The rest of the viewer speaks only of `Device`, `Format`, `Control` and
the errors named below.
"""

import dataclasses
import io
import os
import threading
from collections.abc import Callable
from dataclasses import dataclass
from typing import Final

import numpy as np

import quorvex
from quorvex import Format, QuorvexError, to_rgb
from quorvex.errors import error
from quorvex.frame import Frame
from quorvex.pixels import Pixels
from quorvex.recording import Recorder
from quorvex.recording_file import Recording, RecordingError, open_recording

# Imported after quorvex, which chooses the module's lock mode first.
import pyQuorvexSDK as qx  # for the library-wide log level and discovery only

DeviceError = QuorvexError
NotSupported = quorvex.NotSupportedError

__all__ = ["Control", "Device", "DeviceError", "Format", "Frame", "NotSupported", "Pixels", "Recorder", "Recording",
           "RecordingError", "camera_count", "open_recording", "recorded_frame",
           "format_dict", "luminance_histogram", "report_errors_only", "to_jpeg", "to_png", "to_rgb_frame"]

FIRMWARE = ("usb", "zena", "sensor")
_USB_TARGET: Final = "spi"  # the controller's flash: the new firmware outlives a power cycle


def format_dict(fmt: Format) -> dict[str, object]:
    return {"pixel_format": fmt.pixel_format, "width": fmt.width, "height": fmt.height, "fps": fmt.fps,
            "label": str(fmt)}


@dataclass(frozen=True)
class Control:
    """A control as the page sees it at one moment: range, value in use, automatic or not."""

    name: str
    kind: str
    minimum: int
    maximum: int
    step: int
    default: int
    value: int
    automatic: bool

    def as_dict(self) -> dict[str, object]:
        return {"name": self.name, "kind": self.kind, "min": self.minimum, "max": self.maximum,
                "step": self.step, "default": self.default, "value": self.value, "automatic": self.automatic}


def _snapshot(control: quorvex.Control) -> Control:
    return Control(control.name, control.kind, control.min, control.max, control.step, control.default,
                   control.value, control.auto)


class Device:
    """One camera, opened by the viewer for as long as the viewer runs.

    Changes of the camera's state (format, streaming, firmware, IMU) are serialised by `lock`;
    frame reads are not, so a control can change while a read waits.
    """

    def __init__(self, index: int) -> None:
        self.index = index
        self.lock = threading.RLock()
        self._camera = quorvex.open(index)
        self._stream: quorvex.Stream | None = None
        self._firmware: dict[str, str | None] | None = None
        try:
            self.formats = self._camera.formats
            info = self._camera.info
            self.info: dict[str, object] = {
                "index": index, "name": info.name, "path": info.path, "interface": info.interface,
                "product": info.product, "hardware_id": info.hardware_id, "usb_speed": info.usb_speed,
                "quorvex": info.is_quorvex, "imu": self._has_imu(),
            }
            # Reset returns these to automatic, as the camera started them.
            self._automatic = {name for name, control in self._camera.controls.items() if control.auto}
        except BaseException:
            self._camera.close()
            raise
        self._imu_started = False
        self.format: Format | None = self.formats[0] if self.formats else None  # the library's choice at opening

    def _has_imu(self) -> bool:
        try:
            self._camera.imu.running
        except NotSupported:
            return False
        return True

    # Formats and frames

    def find_format(self, pixel_format: str, width: int, height: int, fps: int) -> Format:
        """The camera's format with exactly these values; LookupError naming those it has."""
        for candidate in self.formats:
            if (candidate.pixel_format, candidate.width, candidate.height, candidate.fps) == (
                    pixel_format.upper(), width, height, fps):
                return candidate
        offered = ", ".join(str(f) for f in self.formats)
        raise LookupError(f"camera {self.index} has no format {pixel_format}:{width}x{height}@{fps}; it offers {offered}")

    def start(self, fmt: Format) -> None:
        with self.lock:
            self._stop_locked()
            self._stream = self._camera.stream(fmt).start()

    def stop(self) -> None:
        with self.lock:
            self._stop_locked()

    def _stop_locked(self) -> None:
        stream, self._stream = self._stream, None
        if stream is not None and self._camera.is_open:
            try:
                stream.stop()
            except QuorvexError:
                pass  # a camera that stopped on its own (reset, program mode) is as good as stopped

    def read(self, timeout: float) -> Pixels | None:
        """The next frame's bytes, or None when none came in time."""
        stream = self._stream
        if stream is None:
            raise RuntimeError(f"camera {self.index} is not streaming")
        try:
            return stream.read(timeout).data
        except quorvex.TimeoutError:
            return None

    def recorder(self, path: "str | os.PathLike[str]") -> Recorder:
        """A Recorder writing to `path`, headed by the camera's information and control values
        as `quorvex record` heads its files, so that the emulated library replays either."""
        with self.lock:
            if self.format is None:
                raise ValueError(f"camera {self.index} has no format to record")
            return Recorder.for_camera(path, self._camera, self.format, writer="quorvex viewer")

    # Controls

    def controls(self) -> dict[str, Control]:
        with self.lock:
            return {name: _snapshot(control) for name, control in self._camera.controls.items()}

    def _control(self, name: str) -> quorvex.Control:
        try:
            return self._camera.controls[name]
        except KeyError:
            raise KeyError(f"camera {self.index} has no control {name!r}") from None

    def set_control(self, name: str, value: int) -> Control:
        with self.lock:
            control = self._control(name)
            control.value = value
            return _snapshot(control)

    def reset_control(self, name: str) -> Control:
        with self.lock:
            control = self._control(name)
            control.reset()
            if name in self._automatic:
                control.auto = True
            return _snapshot(control)

    # Firmware

    def firmware(self) -> dict[str, str | None]:
        """The versions, None for firmware the camera lacks. They change only by an upgrade,
        so they are asked once and again after each upgrade."""
        with self.lock:
            if self._firmware is None:
                versions: dict[str, str | None] = {}
                for key in FIRMWARE:
                    try:
                        versions[key] = getattr(self._camera.firmware, f"{key}_version")
                    except NotSupported:
                        versions[key] = None
                self._firmware = versions
            return dict(self._firmware)

    def upgrade(self, target: str, image_path: str, progress: Callable[[int], None]) -> None:
        """Programs the USB controller ("usb") or the sensor ("sensor") from an image file. The
        caller stops streaming first: the camera refuses a sensor upgrade while streaming."""
        firmware = self._camera.firmware
        with self.lock:
            self._firmware = None
            if target == "usb":
                try:
                    firmware.upgrade_usb(image_path, _USB_TARGET, progress)
                except QuorvexError:
                    firmware.reset_uvc()  # out of the bootloader, back to the old firmware
                    raise
            elif target == "sensor":
                firmware.upgrade_sensor(image_path, progress)
            else:
                raise ValueError(f"firmware target is 'usb' or 'sensor', not {target!r}")

    # IMU

    def imu_sample(self) -> dict[str, object]:
        """One accelerometer and gyroscope reading; starts the IMU when it is not running."""
        imu = self._camera.imu
        with self.lock:
            if not imu.running:
                imu.enable()
                self._imu_started = True
            return {"t": imu.sensor_time, "acc": list(imu.acceleration()), "gyr": list(imu.rotation_rate())}

    def close(self) -> None:
        with self.lock:
            if not self._camera.is_open:
                return
            self._stop_locked()
            if self._imu_started:
                try:
                    self._camera.imu.disable()  # the IMU belongs to the device and outlives the handle
                except QuorvexError:
                    pass
            self._camera.close()


def report_errors_only() -> None:
    """Keeps the library's log to errors: the viewer reports what a camera lacks on its own."""
    qx.QxSetLogLevel(qx.QX_LOG_LEVEL_ERROR)


def camera_count() -> int:
    status, names = qx.QxDiscoverCameraDevices()
    if status != 0:
        raise error("QxDiscoverCameraDevices", status)
    return len(names)


def recorded_frame(frame: Pixels, fmt: Format, sequence: int, arrived: float) -> Frame:
    """The capture loop's frame as Recorder takes it."""
    return Frame(frame, fmt, sequence, arrived)


# Pictures


def to_rgb_frame(frame: Pixels, fmt: Format) -> Pixels:
    return to_rgb(frame, fmt.pixel_format, fmt.width, fmt.height)


def to_jpeg(frame: Pixels, fmt: Format, quality: int = 85) -> bytes:
    """The frame as JPEG: a camera's own JPEG as it came, anything else converted and encoded
    (Pillow's encoder, libjpeg-turbo underneath)."""
    if fmt.pixel_format == "MJPG":
        return frame.tobytes()
    from PIL import Image

    buffer = io.BytesIO()
    Image.fromarray(to_rgb_frame(frame, fmt)).save(buffer, "JPEG", quality=quality)
    return buffer.getvalue()


def to_png(frame: Pixels, fmt: Format) -> bytes:
    from PIL import Image

    buffer = io.BytesIO()
    Image.fromarray(to_rgb_frame(frame, fmt)).save(buffer, "PNG", compress_level=1)
    return buffer.getvalue()


def luminance_histogram(frame: Pixels, fmt: Format) -> list[int]:
    """Counts of the 256 BT.601 luma levels of the frame."""
    rgb = to_rgb_frame(frame, fmt).astype(np.uint32)
    luma = (rgb[..., 0] * 77 + rgb[..., 1] * 150 + rgb[..., 2] * 29) >> 8  # weights 0.299, 0.587, 0.114 in 1/256
    return np.bincount(luma.ravel(), minlength=256).tolist()
