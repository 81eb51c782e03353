"""Frames turned into what a browser shows: JPEG, PNG and a luminance histogram."""

import io

import numpy as np

from quorvex import Format, to_rgb
from quorvex.pixels import Pixels


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
