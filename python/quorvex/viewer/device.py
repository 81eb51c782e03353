"""The viewer's one seam to the cameras: everything it asks of a camera goes through here.

The rest of the viewer speaks only of `Device`, `Format`, `Control` and `DeviceError`, so that
following changes of the camera package below touches this module alone.
"""

from __future__ import annotations

import io
import os
import threading
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

# Waits for a frame must not hold the interpreter lock, or every page would wait on the camera.
os.environ.setdefault("QX_RELEASE_GIL", "camera")

import pyQuorvexSDK as qx  # noqa: E402

Pixels = npt.NDArray[np.uint8]


class DeviceError(Exception):
    """A camera call that failed, with the library's status and the function that gave it."""

    def __init__(self, function: str, status: object, message: str | None = None) -> None:
        self.function = function
        self.status = status
        super().__init__(message or f"{function} failed with status {status}")


class NotSupported(DeviceError):
    """The camera has no such feature (no IMU, no USB firmware, ...)."""


NOT_SUPPORTED_STATUS = -7


def _check(function: str, status: int) -> None:
    if status == NOT_SUPPORTED_STATUS:
        raise NotSupported(function, status, f"{function}: the camera does not support it")
    if status != 0:
        raise DeviceError(function, status)


def _enum_name(member: object, prefix: str = "") -> str:
    name = getattr(member, "name", str(member))
    return name.removeprefix(prefix)


@dataclass(frozen=True)
class Format:
    pixel_format: str
    width: int
    height: int
    fps: int
    raw: qx.QxFormat

    @property
    def label(self) -> str:
        return f"{self.pixel_format} {self.width}x{self.height}@{self.fps}"

    def as_dict(self) -> dict[str, object]:
        return {"pixel_format": self.pixel_format, "width": self.width, "height": self.height,
                "fps": self.fps, "label": self.label}


@dataclass
class Control:
    name: str
    kind: str  # "uvc" or "isp"
    minimum: int
    maximum: int
    step: int
    default: int
    value: int
    automatic: bool

    def as_dict(self) -> dict[str, object]:
        return {"name": self.name, "kind": self.kind, "min": self.minimum, "max": self.maximum,
                "step": self.step, "default": self.default, "value": self.value,
                "automatic": self.automatic}

    def check(self, value: int) -> None:
        """ValueError unless `value` is one the camera takes: in the range, on the step grid."""
        if not self.minimum <= value <= self.maximum:
            raise ValueError(f"{self.name} takes {self.minimum} to {self.maximum}, not {value}")
        if self.step > 0 and (value - self.minimum) % self.step:
            raise ValueError(f"{self.name} moves in steps of {self.step} from {self.minimum}; {value} is off them")


def _properties(enumeration: type) -> list:
    members = enumeration.__members__.values()  # type: ignore[attr-defined]
    return sorted((m for m in members if not m.name.endswith("PROP_MAX")), key=int)


_UVC = {_enum_name(p, "UVC_IMAGE_").lower(): p for p in _properties(qx.QX_UVC_IMAGE_PROPERTIES)}
# ISP controls carry a prefix: brightness, contrast, ... exist in both families.
_ISP = {"isp_" + _enum_name(p, "ISP_").removeprefix("IMAGE_").lower(): p
        for p in _properties(qx.QX_ISP_IMAGE_PROPERTIES)}

_UVC_AUTOMATIC, _UVC_MANUAL = 1, 2

_FX3_TARGET = qx.FW_TARGET_SPI


class Device:
    """One camera, opened by the viewer for as long as the viewer runs.

    Calls that change the camera's state (format, streaming, firmware) are serialised by
    `lock`; frame reads are not, so a control can change while a read waits.
    """

    def __init__(self, index: int) -> None:
        self.index = index
        self.lock = threading.RLock()
        handle = qx.QxInitialCameraDevice(index)
        if handle is None:
            raise LookupError(f"no camera {index}")
        self._handle = handle
        _check("QxOpen", qx.QxOpen(handle))
        self._open = True
        self._firmware: dict[str, str | None] | None = None
        try:
            status, formats = qx.QxGetFormatList(handle)
            _check("QxGetFormatList", status)
            self.formats = [
                Format(_enum_name(f.format, "QX_IMAGE_FORMAT_"), f.width, f.height, f.framerate, f)
                for f in formats
            ]
            self.info = self._read_info()
            self._ranges = self._read_ranges()
            self._auto_capable = {name for name, control in self._read_controls().items() if control.automatic}
        except BaseException:
            self.close()
            raise
        self.format = self.formats[0] if self.formats else None  # the library selects the first

    def _read_info(self) -> dict[str, object]:
        h = self._handle
        name = qx.QxGetDeviceName(h)[1]
        return {
            "index": self.index,
            "name": name,
            "path": qx.QxGetDevicePath(h)[1],
            "interface": _enum_name(qx.QxGetDeviceInterfaceType(h)[1], "INTERFACE_"),
            "product": _enum_name(qx.QxGetDeviceProductType(h)[1], "QXCAM_PRODUCT_TYPE_"),
            "hardware_id": qx.QxGetHardwareID(h)[1],
            "usb_speed": _enum_name(qx.QxGetUSBDeviceSpeed(h)[1], "USB_DEVICE_SPEED_"),
            "quorvex": qx.QxIsQuorvexCamera(h) == 1,
            "imu": qx.QxGetSensorWorkMode(h)[0] == 0,
        }

    # Formats and frames

    def find_format(self, pixel_format: str, width: int, height: int, fps: int) -> Format:
        for candidate in self.formats:
            if (candidate.pixel_format, candidate.width, candidate.height, candidate.fps) == (
                    pixel_format.upper(), width, height, fps):
                return candidate
        offered = ", ".join(f.label for f in self.formats)
        raise LookupError(f"camera {self.index} has no format {pixel_format} {width}x{height}@{fps}; it offers {offered}")

    def start(self, fmt: Format) -> None:
        with self.lock:
            _check("QxSetFormat", qx.QxSetFormat(self._handle, fmt.raw))
            self.format = fmt
            _check("QxStartStreaming", qx.QxStartStreaming(self._handle))

    def stop(self) -> None:
        with self.lock:
            if self._open:
                qx.QxStopStreaming(self._handle)  # "not streaming" is as good as stopped

    def read(self, fmt: Format, timeout: float) -> Pixels | None:
        """The next frame of the stream started with `fmt`, or None when none came in time."""
        # The buffer is sized from the format the stream was started with, never another one.
        result, frame = qx.QxGetImage(self._handle, max(1, min(65535, round(timeout * 1000))), fmt.raw)
        if result == qx.QX_SUCCESS:
            return frame
        if result == qx.QX_TIMEOUT:
            return None
        raise DeviceError("QxGetImage", _enum_name(result))

    # Controls

    def _read_ranges(self) -> dict[str, tuple[str, int, int, int, int]]:
        """The controls the camera has, with their ranges, which never change: asked once."""
        ranges: dict[str, tuple[str, int, int, int, int]] = {}
        for kind, table, get_range in (("uvc", _UVC, qx.QxGetUVCImageProcessingRange),
                                       ("isp", _ISP, qx.QxGetISPImageProcessingRange)):
            for name, prop in table.items():
                status, minimum, maximum, step, default = get_range(self._handle, prop)
                if status == 0:
                    ranges[name] = (kind, minimum, maximum, step, default)
        return ranges

    def _read_controls(self) -> dict[str, Control]:
        controls: dict[str, Control] = {}
        for name, (kind, minimum, maximum, step, default) in self._ranges.items():
            if kind == "uvc":
                status, value, flag = qx.QxGetUVCImageProcessing(self._handle, _UVC[name])
            else:
                status, value, flag = qx.QxGetISPImageProcessing(self._handle, _ISP[name])
            if status == 0:
                automatic = kind == "uvc" and flag == _UVC_AUTOMATIC
                controls[name] = Control(name, kind, minimum, maximum, step, default, value, automatic)
        return controls

    def controls(self) -> dict[str, Control]:
        with self.lock:
            return self._read_controls()

    def control(self, name: str) -> Control:
        control = self.controls().get(name)
        if control is None:
            raise KeyError(f"camera {self.index} has no control {name!r}")
        return control

    def set_control(self, name: str, value: int) -> Control:
        control = self.control(name)
        control.check(value)
        with self.lock:
            if control.kind == "uvc":
                _check("QxSetUVCImageProcessing", qx.QxSetUVCImageProcessing(self._handle, _UVC[name], value, _UVC_MANUAL))
            else:
                _check("QxSetISPImageProcessing", qx.QxSetISPImageProcessing(self._handle, _ISP[name], value))
        return self.control(name)

    def reset_control(self, name: str) -> Control:
        control = self.set_control(name, self.control(name).default)
        if name in self._auto_capable:
            with self.lock:
                _check("QxSetUVCImageProcessing",
                       qx.QxSetUVCImageProcessing(self._handle, _UVC[name], control.default, _UVC_AUTOMATIC))
            control = self.control(name)
        return control

    # Firmware

    def firmware(self) -> dict[str, str | None]:
        """The firmware versions, None for firmware the camera lacks; they change only by an
        upgrade, so they are asked once and again after each upgrade."""
        with self.lock:
            if self._firmware is None:
                versions: dict[str, str | None] = {}
                for key, getter in (("usb", qx.QxGetUSBFirmwareVersion), ("zena", qx.QxGetZENAFirmwareVersion),
                                    ("sensor", qx.QxGetSensorFirmwareVersion)):
                    status, version = getter(self._handle)
                    versions[key] = version if status == 0 else None
                self._firmware = versions
            return dict(self._firmware)

    def upgrade(self, target: str, image_path: str, progress: Callable[[int], None]) -> None:
        """Programs the USB controller ("usb") or the sensor ("sensor") from an image file.

        The caller stops streaming first; the library refuses a sensor upgrade while streaming.
        """
        with self.lock:
            self._firmware = None
            if target == "usb":
                _check("QxGotoUSBProgramMode", qx.QxGotoUSBProgramMode(self._handle))
                status = qx.QxUpgradeFX3FW(_FX3_TARGET, image_path, progress)
                if status != 0:
                    qx.QxResetUVC(self._handle)  # back out of the bootloader with the old firmware
                    raise DeviceError("QxUpgradeFX3FW", status, _upgrade_message(status))
            elif target == "sensor":
                result = qx.QxUpgradeSensorFW(self._handle, image_path, progress)
                if result != qx.QX_UPGRADE_SUCCESS:
                    name = _enum_name(result, "QX_UPGRADE_")
                    raise DeviceError("QxUpgradeSensorFW", name, f"the sensor refused the image: {name.lower()}")
            else:
                raise ValueError(f"firmware target is 'usb' or 'sensor', not {target!r}")

    # IMU

    def imu_sample(self) -> dict[str, object]:
        """One accelerometer and gyroscope reading; starts the IMU when it is not running."""
        h = self._handle
        with self.lock:
            status, mode = qx.QxGetSensorWorkMode(h)
            _check("QxGetSensorWorkMode", status)
            if mode == qx.STANDBY:
                _check("QxEnableIMUMode", qx.QxEnableIMUMode(h, qx.ISPU))
            status, seconds = qx.QxGetIMUSensorTime(h)
            _check("QxGetIMUSensorTime", status)
            status, acceleration = qx.QxGetIMUAccData(h, qx.NORMAL)
            _check("QxGetIMUAccData", status)
            status, rotation = qx.QxGetIMUGyrData(h, qx.NORMAL)
            _check("QxGetIMUGyrData", status)
        return {"t": seconds, "acc": [float(v) for v in acceleration[:3]],
                "gyr": [float(v) for v in rotation[:3]]}

    def close(self) -> None:
        with self.lock:
            if self._open:
                self._open = False
                if self.info.get("imu") if hasattr(self, "info") else False:
                    qx.QxEnableIMUMode(self._handle, qx.DISABLE)
                qx.QxClose(self._handle)


def _upgrade_message(status: int) -> str:
    return f"the USB controller refused the image (status {status})"


def report_errors_only() -> None:
    """Keeps the library's log to errors: the viewer reports what a camera lacks on its own."""
    qx.QxSetLogLevel(qx.QX_LOG_LEVEL_ERROR)


def camera_count() -> int:
    status, names = qx.QxDiscoverCameraDevices()
    _check("QxDiscoverCameraDevices", status)
    return len(names)


# Pixels


def _yuv_to_rgb(y: Pixels, u: Pixels, v: Pixels) -> Pixels:
    luma = (y.astype(np.float32) - 16.0) * 1.164
    cb = u.astype(np.float32) - 128.0
    cr = v.astype(np.float32) - 128.0
    rgb = np.stack([luma + 1.596 * cr, luma - 0.392 * cb - 0.813 * cr, luma + 2.017 * cb], axis=-1)
    return np.clip(rgb, 0, 255).astype(np.uint8)


def to_rgb(frame: Pixels, fmt: Format) -> Pixels:
    """The frame as an H x W x 3 RGB array."""
    w, h, pixel = fmt.width, fmt.height, fmt.pixel_format
    if pixel in ("YUY2", "UYVY"):
        quads = frame[: w * h * 2].reshape(h, w // 2, 4)
        y_at = 0 if pixel == "YUY2" else 1
        c_at = 1 - y_at
        y = quads[..., [y_at, y_at + 2]].reshape(h, w)
        return _yuv_to_rgb(y, np.repeat(quads[..., c_at], 2, axis=1), np.repeat(quads[..., c_at + 2], 2, axis=1))
    if pixel == "NV12":
        y = frame[: w * h].reshape(h, w)
        uv = frame[w * h: w * h * 3 // 2].reshape(h // 2, w // 2, 2).repeat(2, axis=0).repeat(2, axis=1)
        return _yuv_to_rgb(y, uv[..., 0], uv[..., 1])
    if pixel == "RGB16":
        value = frame[: w * h * 2].view("<u2").reshape(h, w)
        r, g, b = (value >> 11) & 0x1F, (value >> 5) & 0x3F, value & 0x1F
        return np.stack([(r << 3) | (r >> 2), (g << 2) | (g >> 4), (b << 3) | (b >> 2)], axis=-1).astype(np.uint8)
    if pixel in ("BGRA", "BGRX"):
        return frame[: w * h * 4].reshape(h, w, 4)[..., 2::-1]
    if pixel == "BGR":
        return frame[: w * h * 3].reshape(h, w, 3)[..., ::-1]
    if pixel == "RGB":
        return frame[: w * h * 3].reshape(h, w, 3)
    if pixel == "MJPG":
        from PIL import Image

        with Image.open(io.BytesIO(frame.tobytes())) as picture:
            return np.asarray(picture.convert("RGB"))
    raise ValueError(f"no conversion for pixel format {pixel}")


def to_jpeg(frame: Pixels, fmt: Format, quality: int = 85) -> bytes:
    """The frame as JPEG: a camera's own JPEG as it came, anything else converted and encoded."""
    if fmt.pixel_format == "MJPG":
        return frame.tobytes()
    from PIL import Image

    buffer = io.BytesIO()
    Image.fromarray(np.ascontiguousarray(to_rgb(frame, fmt))).save(buffer, "JPEG", quality=quality)
    return buffer.getvalue()


def to_png(frame: Pixels, fmt: Format) -> bytes:
    from PIL import Image

    buffer = io.BytesIO()
    Image.fromarray(np.ascontiguousarray(to_rgb(frame, fmt))).save(buffer, "PNG", compress_level=1)
    return buffer.getvalue()
