"""Turns a frame from pyQuorvexSDK.QxGetImage into an RGB picture.

QxGetImage hands out the frame's bytes as a flat uint8 array; how to read them depends on the
pixel format of the QxFormat the camera streams. `to_rgb` returns an array of shape
(height, width, 3), dtype uint8, for each of the nine formats.
"""

import io

import numpy as np
import numpy.typing as npt

import pyQuorvexSDK as qx

Bytes = npt.NDArray[np.uint8]


def _yuv_to_rgb(y: Bytes, u: Bytes, v: Bytes) -> Bytes:
    """BT.601 limited range (Y 16..235, chroma 16..240) to 8-bit RGB."""
    luma = (y.astype(np.float32) - 16.0) * 1.164
    cb = u.astype(np.float32) - 128.0
    cr = v.astype(np.float32) - 128.0
    rgb = np.stack([luma + 1.596 * cr, luma - 0.392 * cb - 0.813 * cr, luma + 2.017 * cb], axis=-1)
    return np.clip(np.rint(rgb), 0, 255).astype(np.uint8)


def _packed_422(frame: Bytes, width: int, height: int, y_offset: int) -> Bytes:
    """YUY2 (Y0 U Y1 V, y_offset 0) and UYVY (U Y0 V Y1, y_offset 1)."""
    quads = frame[: width * height * 2].reshape(height, width // 2, 4)
    c_offset = 1 - y_offset
    y = quads[..., [y_offset, y_offset + 2]].reshape(height, width)
    u = np.repeat(quads[..., c_offset], 2, axis=1)
    v = np.repeat(quads[..., c_offset + 2], 2, axis=1)
    return _yuv_to_rgb(y, u, v)


def _nv12(frame: Bytes, width: int, height: int) -> Bytes:
    y = frame[: width * height].reshape(height, width)
    uv = frame[width * height : width * height * 3 // 2].reshape(height // 2, width // 2, 2)
    uv = uv.repeat(2, axis=0).repeat(2, axis=1)
    return _yuv_to_rgb(y, uv[..., 0], uv[..., 1])


def _rgb565(frame: Bytes, width: int, height: int) -> Bytes:
    value = frame[: width * height * 2].view("<u2").reshape(height, width)
    r = (value >> 11) & 0x1F
    g = (value >> 5) & 0x3F
    b = value & 0x1F
    rgb = np.stack([(r << 3) | (r >> 2), (g << 2) | (g >> 4), (b << 3) | (b >> 2)], axis=-1)
    return rgb.astype(np.uint8)


def _jpeg(frame: Bytes) -> Bytes:
    from PIL import Image  # Pillow decodes the camera's JPEG frames

    with Image.open(io.BytesIO(frame.tobytes())) as picture:
        return np.asarray(picture.convert("RGB"))


def to_rgb(frame: Bytes, fmt: qx.QxFormat) -> Bytes:
    """The frame as an RGB array of shape (fmt.height, fmt.width, 3)."""
    width, height, pixel = fmt.width, fmt.height, fmt.format
    if pixel == qx.QX_IMAGE_FORMAT_YUY2:
        return _packed_422(frame, width, height, y_offset=0)
    if pixel == qx.QX_IMAGE_FORMAT_UYVY:
        return _packed_422(frame, width, height, y_offset=1)
    if pixel == qx.QX_IMAGE_FORMAT_NV12:
        return _nv12(frame, width, height)
    if pixel == qx.QX_IMAGE_FORMAT_RGB16:
        return _rgb565(frame, width, height)
    if pixel in (qx.QX_IMAGE_FORMAT_BGRA, qx.QX_IMAGE_FORMAT_BGRX):
        return frame[: width * height * 4].reshape(height, width, 4)[..., 2::-1].copy()
    if pixel == qx.QX_IMAGE_FORMAT_BGR:
        return frame[: width * height * 3].reshape(height, width, 3)[..., ::-1].copy()
    if pixel == qx.QX_IMAGE_FORMAT_RGB:
        return frame[: width * height * 3].reshape(height, width, 3).copy()
    if pixel == qx.QX_IMAGE_FORMAT_MJPG:
        return _jpeg(frame)
    raise ValueError(f"no conversion for pixel format {pixel}")


def frame_length(fmt: qx.QxFormat) -> int | None:
    """Bytes of one uncompressed frame of `fmt`; None for MJPG, whose frames vary."""
    per_pixel = {
        qx.QX_IMAGE_FORMAT_YUY2: 2, qx.QX_IMAGE_FORMAT_UYVY: 2, qx.QX_IMAGE_FORMAT_RGB16: 2,
        qx.QX_IMAGE_FORMAT_NV12: 1.5, qx.QX_IMAGE_FORMAT_BGRA: 4, qx.QX_IMAGE_FORMAT_BGRX: 4,
        qx.QX_IMAGE_FORMAT_BGR: 3, qx.QX_IMAGE_FORMAT_RGB: 3,
    }
    for pixel, size in per_pixel.items():
        if fmt.format == pixel:
            return int(fmt.width * fmt.height * size)
    return None
