"""Conversion of frame bytes to RGB or BGR arrays, by the native quorvex._pixels."""

import numpy as np
import numpy.typing as npt

from . import _pixels

Pixels = npt.NDArray[np.uint8]


def _as_bytes(data: Pixels | bytes | bytearray | memoryview) -> Pixels:
    array = np.frombuffer(data, dtype=np.uint8) if not isinstance(data, np.ndarray) else data
    if array.dtype != np.uint8 or array.ndim != 1:
        raise ValueError(f"frame data must be a one-dimensional uint8 array, not {array.dtype} of shape {array.shape}")
    return array


def to_rgb(data: Pixels | bytes | bytearray | memoryview, pixel_format: str, width: int, height: int) -> Pixels:
    """A (height, width, 3) uint8 array in R, G, B order from a frame of any pixel format.
    ValueError when the data does not hold such a frame."""
    return _pixels.to_rgb(_as_bytes(data), pixel_format, width, height)


def to_bgr(data: Pixels | bytes | bytearray | memoryview, pixel_format: str, width: int, height: int) -> Pixels:
    """As to_rgb, in B, G, R order (OpenCV's)."""
    return _pixels.to_bgr(_as_bytes(data), pixel_format, width, height)
