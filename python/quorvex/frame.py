"""Frames: the bytes a camera delivered, with their format, counted and timed by the stream."""

import os
import pathlib
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from . import pixels
from .formats import Format

_new = object.__new__
_set = object.__setattr__

if TYPE_CHECKING:
    from PIL import Image


@dataclass(frozen=True, eq=False)
class Frame:
    """One frame. `data` is the uint8 array the library filled, owned by this frame alone;
    `index` counts the stream's frames from 0; `timestamp` is time.monotonic() at arrival.

    What the camera tells about it: `device_timestamp`, the camera's clock at capture in seconds;
    `sequence`, the camera's frame counter, unwrapped so that it only grows within a stream (a
    gap is frames the camera produced that were never read); `exposure` (microseconds) and `gain`
    where the stream asked for them. `host_time` is time.time() at arrival. Each is None where
    the library did not tell it."""

    data: pixels.Pixels = field(repr=False)
    format: Format
    index: int
    timestamp: float
    device_timestamp: float | None = None
    sequence: int | None = None
    host_time: float | None = None
    exposure: int | None = None
    gain: int | None = None

    @classmethod
    def _arrived(
        cls,
        data: pixels.Pixels,
        format: Format,
        index: int,
        timestamp: float,
        device_timestamp: float | None,
        sequence: int | None,
        host_time: float | None,
        exposure: int | None,
        gain: int | None,
    ) -> "Frame":
        """The frame a stream just read, made as __init__ makes it, all fields given. Streams make
        one per frame, and the frozen __init__, which sets each field through object.__setattr__,
        costs about a microsecond more: a sizeable share of reading a small frame."""
        frame = _new(cls)
        _set(frame, "__dict__", {"data": data, "format": format, "index": index, "timestamp": timestamp,
                                 "device_timestamp": device_timestamp, "sequence": sequence,
                                 "host_time": host_time, "exposure": exposure, "gain": gain})
        return frame

    @property
    def width(self) -> int:
        return self.format.width

    @property
    def height(self) -> int:
        return self.format.height

    @property
    def pixel_format(self) -> str:
        return self.format.pixel_format

    def to_rgb(self) -> pixels.Pixels:
        """A new (height, width, 3) uint8 array, R, G, B."""
        return pixels.to_rgb(self.data, self.format.pixel_format, self.width, self.height)

    def to_bgr(self) -> pixels.Pixels:
        """A new (height, width, 3) uint8 array, B, G, R (as OpenCV expects)."""
        return pixels.to_bgr(self.data, self.format.pixel_format, self.width, self.height)

    def to_image(self) -> "Image.Image":
        """A Pillow RGB image of the frame; needs Pillow (pip install pillow)."""
        try:
            from PIL import Image
        except ImportError as missing:
            raise ImportError("Frame.to_image needs Pillow: pip install pillow") from missing
        return Image.fromarray(self.to_rgb(), "RGB")

    def save(self, path: str | os.PathLike[str], *, overwrite: bool = False) -> pathlib.Path:
        """Saves the frame as a picture, its type from the suffix (Pillow's formats). An MJPG
        frame saved as .jpg/.jpeg is written as delivered, without decoding; .raw writes the
        bytes of any frame. The file appears whole or not at all; an existing one is refused
        (FileExistsError) unless `overwrite`. Returns the path."""
        from ._files import OutputFile

        target = pathlib.Path(path)
        suffix = target.suffix.lower()
        with OutputFile(target, overwrite=overwrite) as output:
            if suffix == ".raw" or (suffix in (".jpg", ".jpeg") and self.format.pixel_format == "MJPG"):
                output.path.write_bytes(self.data.tobytes())
            else:
                self.to_image().save(output.path)
        return target

    def __repr__(self) -> str:
        sequence = "" if self.sequence is None else f", sequence {self.sequence}"
        return f"Frame(#{self.index} {self.format}, {self.data.nbytes} bytes, t={self.timestamp:.3f}{sequence})"
