"""Conversion of frame bytes to RGB or BGR arrays, by the native quorvex._pixels."""

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from . import _pixels

Pixels = npt.NDArray[np.uint8]


@dataclass(frozen=True)
class PixelFormat:
    """What a frame of a pixel format is made of: `bytes_per_two_pixels` (0 for a compressed
    format, whose frames vary in length) and whether its width and height must be even."""

    name: str
    bytes_per_two_pixels: int
    even_width: bool
    even_height: bool

    @property
    def compressed(self) -> bool:
        return self.bytes_per_two_pixels == 0

    def frame_length(self, width: int, height: int) -> int | None:
        """The bytes of a width x height frame; None for a compressed format."""
        return None if self.compressed else width * height * self.bytes_per_two_pixels // 2

    def size_problem(self, width: int, height: int) -> str | None:
        """Why a frame of this format cannot be width x height (an odd side), or None."""
        if (self.even_width and width % 2) or (self.even_height and height % 2):
            return f"{self.name} {width}x{height} needs an even width" + (" and height" if self.even_height else "")
        return None


# Every pixel format of the library, by name, in its order: the one table of these facts.
PIXEL_FORMATS: dict[str, PixelFormat] = {entry[0]: PixelFormat(*entry) for entry in _pixels.PIXEL_FORMATS}


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
