"""Exporting recordings for common tools: MP4 (H.264, through PyAV) for video players, MCAP with
Foxglove schemas for robotics log viewers. Both need the optional extra `pyQuorvexSDK[export]`.

The output is written under a temporary name beside the target and takes its name only when the
export succeeded: a failed export leaves nothing behind. An existing target is refused
(FileExistsError) unless `overwrite=True`; the recording itself, under any name, always is.
A damaged recording raises RecordingError."""

import os
import pathlib
from collections.abc import Callable, Iterator
from fractions import Fraction
from typing import Any, TypedDict, Unpack

import numpy as np

from ._files import OutputFile, check_target
from .formats import Format
from .frame import Frame
from .progress import Progress, as_callback
from .recording_file import Recording, RecordingError, open_recording

# Frames whose bytes Foxglove's RawImage shows as they are, by its encoding names; others are
# converted to RGB first.
_RAW_ENCODINGS = {"YUY2": ("yuyv", 2), "UYVY": ("uyvy", 2), "NV12": ("nv12", 1), "BGRA": ("bgra8", 4),
                  "BGRX": ("bgra8", 4), "BGR": ("bgr8", 3), "RGB": ("rgb8", 3)}

IMAGE_TOPIC = "/camera/image"
COMPRESSED_TOPIC = "/camera/image/compressed"
ACCELERATION_TOPIC = "/imu/acceleration"
ROTATION_TOPIC = "/imu/angular_velocity"



def _missing(package: str, purpose: str) -> ImportError:
    return ImportError(f"{purpose} needs {package}: pip install 'pyQuorvexSDK[export]'")


def _recording(
    source: "Recording | str | os.PathLike[str]", target: str | os.PathLike[str], overwrite: bool
) -> tuple[Recording, OutputFile]:
    """The recording, and the output file to write (checked first, so that nothing is read for
    an output that would be refused)."""
    check_target(target, overwrite=overwrite, inputs=[source.path if isinstance(source, Recording) else source])
    recording = source if isinstance(source, Recording) else open_recording(source)
    if not len(recording):
        raise RecordingError(f"{recording.path} holds no frames"
                             + (f": it is {recording.problem}" if recording.problem else ""))
    return recording, OutputFile(target, overwrite=overwrite, inputs=[recording.path])


def _pick_format(recording: Recording, pixel_format: str | None) -> Format:
    formats = recording.formats
    if not formats:
        raise ValueError(f"{recording.path} holds no frames")
    if pixel_format is None:
        return formats[0]
    for candidate in formats:
        if str(candidate).startswith(pixel_format.upper()):
            return candidate
    listed = ", ".join(str(f) for f in formats)
    raise LookupError(f"{recording.path} holds no {pixel_format} frames; it holds {listed}")


def export_mp4(
    source: "Recording | str | os.PathLike[str]",
    target: str | os.PathLike[str],
    *,
    pixel_format: str | None = None,
    crf: int = 18,
    copy: bool = False,
    progress: Progress | None = None,
    overwrite: bool = False,
) -> int:
    """Writes the frames of one recorded format (the first, or the one `pixel_format` names, e.g.
    "MJPG" or "YUY2:640x480") as H.264 video, each frame at its recorded time. Sizes are cut to
    even numbers, as H.264 in 4:2:0 needs. With `copy`, MJPG frames go into the file as they
    are, without decoding (Motion JPEG in MP4: lossless and quick, but fewer players show it).
    Returns the number of frames written."""
    try:
        import av
    except ImportError as missing:
        raise _missing("PyAV", "exporting MP4") from missing
    recording, output = _recording(source, target, overwrite)
    with output:
        chosen = _pick_format(recording, pixel_format)
        if copy and chosen.pixel_format != "MJPG":
            raise ValueError(f"only MJPG frames can be copied into an MP4 file, not {chosen.pixel_format}")
        return _write_mp4(av, recording, chosen, output.path, crf, copy, as_callback(progress, len(recording)))


def _write_mp4(
    av: Any, recording: Recording, chosen: Format, target: pathlib.Path, crf: int, copy: bool,
    progress: Callable[[int], object] | None,
) -> int:
    width, height, fps = chosen.width, chosen.height, chosen.fps
    even_width, even_height = width & ~1, height & ~1
    time_base = Fraction(1, 90_000)
    period = round(Fraction(1, fps) / time_base)
    written = 0
    with av.open(os.fspath(target), "w") as container:
        if copy:
            stream = container.add_stream("mjpeg", rate=fps)
            stream.width, stream.height, stream.pix_fmt = width, height, "yuvj422p"
            stream.time_base = time_base
        else:
            stream = container.add_stream("libx264", rate=fps, options={"crf": str(crf), "preset": "veryfast"})
            stream.width, stream.height, stream.pix_fmt = even_width, even_height, "yuv420p"
            stream.codec_context.time_base = time_base
        first: float | None = None
        last_pts = -1
        for frame in _frames_of(recording, chosen):
            first = frame.timestamp if first is None else first
            # Recorded times, on a strictly rising clock (the muxer refuses equal timestamps).
            pts = max(last_pts + 1, round((frame.timestamp - first) / time_base))
            if copy:
                packet = av.Packet(frame.data.tobytes())
                packet.stream, packet.pts, packet.dts = stream, pts, pts
                packet.time_base, packet.duration = time_base, period
                container.mux(packet)
            else:
                picture = av.VideoFrame.from_ndarray(
                    np.ascontiguousarray(frame.to_rgb()[:even_height, :even_width]), format="rgb24"
                )
                picture.pts, picture.time_base = pts, time_base
                container.mux(stream.encode(picture))
            last_pts = pts
            written += 1
            if progress is not None:
                progress(written)
        if not copy:
            container.mux(stream.encode(None))
    return written


def _frames_of(recording: Recording, chosen: Format) -> Iterator[Frame]:
    for frame in recording:
        if frame.format == chosen:
            yield frame


def export_mcap(
    source: "Recording | str | os.PathLike[str]",
    target: str | os.PathLike[str],
    *,
    progress: Progress | None = None,
    overwrite: bool = False,
) -> int:
    """Writes every frame as a Foxglove image message (foxglove.CompressedImage "jpeg" for MJPG,
    foxglove.RawImage with the frame's own bytes where Foxglove knows the encoding, RGB otherwise)
    and the IMU samples as foxglove.Vector3 messages, each at its recorded time (log and publish
    time, and the image's own timestamp, in nanoseconds since 1970). Returns the number of image
    messages."""
    try:
        from foxglove_schemas_protobuf.CompressedImage_pb2 import CompressedImage
        from foxglove_schemas_protobuf.RawImage_pb2 import RawImage
        from foxglove_schemas_protobuf.Vector3_pb2 import Vector3
        from mcap_protobuf.writer import Writer
    except ImportError as missing:
        raise _missing("mcap-protobuf-support and foxglove-schemas-protobuf", "exporting MCAP") from missing
    recording, output = _recording(source, target, overwrite)
    with output:
        return _write_mcap(recording, output.path, as_callback(progress, len(recording)),
                           (CompressedImage, RawImage, Vector3, Writer))


def _write_mcap(
    recording: Recording, target: pathlib.Path, progress: Callable[[int], object] | None, types: tuple[Any, ...]
) -> int:
    CompressedImage, RawImage, Vector3, Writer = types  # noqa: N806 - the schema's class names
    frame_id = (recording.info.get("camera") or {}).get("name") or "camera"
    written = 0
    with open(target, "wb") as file, Writer(file) as writer:
        for frame, time_ns in recording.timed_frames():
            stamp = recording.unix_ns(time_ns)
            if frame.pixel_format == "MJPG":
                message: Any = CompressedImage(frame_id=frame_id, format="jpeg", data=frame.data.tobytes())
                topic = COMPRESSED_TOPIC
            else:
                encoding, row_bytes = _RAW_ENCODINGS.get(frame.pixel_format, ("rgb8", 3))
                pixels = frame.data if frame.pixel_format in _RAW_ENCODINGS else frame.to_rgb()
                message = RawImage(frame_id=frame_id, width=frame.width, height=frame.height, encoding=encoding,
                                   step=frame.width * row_bytes, data=np.ascontiguousarray(pixels).tobytes())
                topic = IMAGE_TOPIC
            message.timestamp.FromNanoseconds(stamp)
            writer.write_message(topic, message, log_time=stamp, publish_time=stamp)
            written += 1
            if progress is not None:
                progress(written)
        for sample in recording.imu:
            stamp = recording.unix_ns(sample.time_ns if sample.time_ns is not None else sample.timestamp)
            for topic, (x, y, z) in ((ACCELERATION_TOPIC, sample.acceleration), (ROTATION_TOPIC, sample.angular_velocity)):
                writer.write_message(topic, Vector3(x=x, y=y, z=z), log_time=stamp, publish_time=stamp)
    return written


EXPORTERS = (".mp4", ".mcap")


class ExportOptions(TypedDict, total=False):
    """What export() passes on: all of them to export_mp4, `progress` and `overwrite` to
    export_mcap."""

    pixel_format: str | None
    crf: int
    copy: bool
    progress: Progress | None
    overwrite: bool


def export(
    source: "Recording | str | os.PathLike[str]", target: str | os.PathLike[str], **options: Unpack[ExportOptions]
) -> int:
    """Exports by the target's suffix: .mp4 (export_mp4) or .mcap (export_mcap, which takes no
    `pixel_format`, `crf` or `copy`)."""
    suffix = pathlib.Path(target).suffix.lower()
    if suffix == ".mp4":
        return export_mp4(source, target, **options)
    if suffix == ".mcap":
        if options.get("pixel_format") is not None or options.get("copy") or "crf" in options:
            raise ValueError("pixel_format, crf and copy apply to MP4 files only")
        return export_mcap(source, target, progress=options.get("progress"), overwrite=options.get("overwrite", False))
    raise ValueError(f"cannot export to {suffix or 'a file without suffix'}: use one of {', '.join(EXPORTERS)}")
