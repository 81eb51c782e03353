"""Streaming formats: the library's QxFormat records with readable names, and choosing one."""

import re
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field

from . import pixels
from ._library import qx

PIXEL_FORMATS = tuple(pixels.PIXEL_FORMATS)

# PIXEL:WIDTHxHEIGHT@FPS, each part optional, the colon only between a pixel format and a size.
_SPEC = re.compile(
    r"^(?:(?P<pixel>[A-Za-z][A-Za-z0-9]{2,})(?::(?=\d))?)?(?:(?P<width>\d+)x(?P<height>\d+))?(?:@(?P<fps>\d+))?$"
)


def pixel_format_name(member: qx.QX_IMAGE_FORMAT) -> str:
    """"YUY2" for QX_IMAGE_FORMAT_YUY2."""
    return member.name.removeprefix("QX_IMAGE_FORMAT_")


@dataclass(frozen=True)
class Format:
    """One format a camera streams. `qx_format` is the library's record, passed to it unchanged."""

    pixel_format: str
    width: int
    height: int
    fps: int
    qx_format: qx.QxFormat = field(repr=False, compare=False, hash=False)

    @classmethod
    def from_qx(cls, record: qx.QxFormat) -> "Format":
        return cls(pixel_format_name(record.format), record.width, record.height, record.framerate, record)

    @property
    def size(self) -> tuple[int, int]:
        return self.width, self.height

    def __str__(self) -> str:
        return f"{self.pixel_format}:{self.width}x{self.height}@{self.fps}"


@dataclass(frozen=True)
class FormatQuery:
    """What a caller asks of a format; None leaves a field open."""

    pixel_format: str | None = None
    width: int | None = None
    height: int | None = None
    fps: int | None = None

    @classmethod
    def parse(cls, text: str) -> "FormatQuery":
        """"MJPG:1920x1080@30", "YUY2", "1280x720", "NV12@30", "MJPG:640x480", ..."""
        match = _SPEC.match(text.strip())
        if match is None or not any(match.groups()) or (match["pixel"] and ":" in text and not match["width"]):
            raise ValueError(f"cannot read format {text!r}: expected PIXEL:WIDTHxHEIGHT@FPS, e.g. MJPG:1920x1080@30")
        pixel, width, height, fps = match.group("pixel", "width", "height", "fps")
        return cls(
            pixel.upper() if pixel else None,
            int(width) if width else None,
            int(height) if height else None,
            int(fps) if fps else None,
        )

    @classmethod
    def of(
        cls, pixel_format: str | None = None, width: int | None = None, height: int | None = None, fps: int | None = None
    ) -> "FormatQuery":
        """The query of keyword parts, where `pixel_format` may also be whole format text
        ("MJPG:1920x1080@30"); a part given both ways must agree (ValueError)."""
        if pixel_format is None or pixel_format.strip().upper() in PIXEL_FORMATS:
            return cls(pixel_format, width, height, fps)
        parsed = cls.parse(pixel_format)
        given = {"width": width, "height": height, "fps": fps}
        for name, value in given.items():
            if value is not None and getattr(parsed, name) not in (None, value):
                raise ValueError(f"{pixel_format!r} asks for {name} {getattr(parsed, name)}, the call for {value}")
        return cls(
            parsed.pixel_format,
            parsed.width if width is None else width,
            parsed.height if height is None else height,
            parsed.fps if fps is None else fps,
        )

    def matches(self, candidate: Format) -> bool:
        wanted = (self.pixel_format, self.width, self.height, self.fps)
        actual = (candidate.pixel_format, candidate.width, candidate.height, candidate.fps)
        return all(want is None or want == have for want, have in zip(wanted, actual))

    def __str__(self) -> str:
        parts = [self.pixel_format or "any format"]
        if self.width is not None and self.height is not None:
            parts.append(f"{self.width}x{self.height}")
        elif self.width is not None or self.height is not None:
            parts.append(f"width {self.width}" if self.width is not None else f"height {self.height}")
        if self.fps is not None:
            parts.append(f"@ {self.fps} fps")
        return " ".join(parts)


def find_format(formats: Iterable[Format], query: FormatQuery) -> Format:
    """The best format matching the query: the largest picture, then the highest frame rate,
    then the first listed. LookupError, naming the formats there are, when none matches."""
    available = list(formats)
    if query.pixel_format is not None and query.pixel_format.upper() not in PIXEL_FORMATS:
        raise LookupError(f"unknown pixel format {query.pixel_format!r}; pixel formats: {', '.join(PIXEL_FORMATS)}")
    query = FormatQuery(query.pixel_format.upper() if query.pixel_format else None, query.width, query.height, query.fps)
    ranked = [
        (candidate.width * candidate.height, candidate.fps, -position, candidate)
        for position, candidate in enumerate(available)
        if query.matches(candidate)
    ]
    if not ranked:
        listed = ", ".join(str(candidate) for candidate in available) or "none"
        raise LookupError(f"no format matches {query}; the camera offers: {listed}")
    return max(ranked, key=lambda entry: entry[:3])[3]


def choose_format(formats: Sequence[Format], format: "Format | str | None", owner: str) -> Format:
    """The format a stream of `owner` (a camera, a recording) takes: the first of `formats` for
    None, the best match for text such as "MJPG:1920x1080@30", and for a Format the owner's own
    record equal to it (another camera's record would select something else in the library).
    LookupError when there is none."""
    if format is None:
        return formats[0]
    if isinstance(format, str):
        return find_format(formats, FormatQuery.parse(format))
    for own in formats:
        if own == format:
            return own
    raise LookupError(f"{owner} does not offer {format}")
