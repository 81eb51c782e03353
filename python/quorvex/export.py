"""Exporting recordings for common tools: MP4 (H.264, through PyAV) for video players, MCAP with
Foxglove schemas for robotics log viewers. Both need the optional extra `pyQuorvexSDK[export]`.

The output is written under a temporary name beside the target and takes its name only when the
export succeeded: a failed export leaves nothing behind. An existing target is refused
(FileExistsError) unless `overwrite=True`; the recording itself, under any name, always is.
A damaged recording raises RecordingError."""

import heapq
import os
import pathlib
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from fractions import Fraction
from typing import Any, NamedTuple, TypedDict, Unpack

import numpy as np

from ._files import OutputFile, check_target
from .calibration import Intrinsics
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
CALIBRATION_TOPIC = "/camera/calibration"
ACCELERATION_TOPIC = "/imu/acceleration"
ROTATION_TOPIC = "/imu/angular_velocity"


def _missing(package: str, purpose: str) -> ImportError:
    return ImportError(f"{purpose} needs {package}: pip install 'pyQuorvexSDK[export]'")


def _load_av() -> Any:
    try:
        import av
    except ImportError as missing:
        raise _missing("PyAV", "exporting MP4") from missing
    return av


def _load_mcap() -> "_Schemas":
    try:
        from foxglove_schemas_protobuf.CameraCalibration_pb2 import CameraCalibration
        from foxglove_schemas_protobuf.CompressedImage_pb2 import CompressedImage
        from foxglove_schemas_protobuf.RawImage_pb2 import RawImage
        from foxglove_schemas_protobuf.Vector3_pb2 import Vector3
        from mcap_protobuf.writer import Writer
    except ImportError as missing:
        raise _missing("mcap-protobuf-support and foxglove-schemas-protobuf", "exporting MCAP") from missing
    return _Schemas(CameraCalibration, CompressedImage, RawImage, Vector3, Writer)


def require(target: str | os.PathLike[str]) -> None:
    """ImportError, saying what to install, when the packages that exporting to `target` (by its
    suffix) needs are missing; so that a command finds out before it starts."""
    loaders = {".mp4": _load_av, ".mcap": _load_mcap}
    loader = loaders.get(pathlib.Path(target).suffix.lower())
    if loader is not None:
        loader()


def _recording(
    source: "Recording | str | os.PathLike[str]", target: str | os.PathLike[str], overwrite: bool,
    camera: int | None = None, *, several: bool = True,
) -> tuple[Recording, OutputFile]:
    """The recording (camera `camera`'s view of it, when given), and the output file to write
    (checked first, so that nothing is read for an output that would be refused). Without
    `several`, a recording of several cameras needs `camera`."""
    check_target(target, overwrite=overwrite, inputs=[source.path if isinstance(source, Recording) else source])
    recording = source if isinstance(source, Recording) else open_recording(source)
    if camera is not None:
        count = recording.camera_count
        if not 0 <= camera < count:
            held = "1 camera (0)" if count == 1 else f"{count} cameras (0 to {count - 1})"
            raise LookupError(f"{recording.path} holds {held}; there is no camera {camera}")
        if count > 1:
            recording = recording.view(camera)
    elif not several and _is_whole_file(recording):
        count = recording.camera_count
        raise ValueError(f"{recording.path} holds {count} cameras and the output shows one:"
                         f" choose it with camera= (--camera), 0 to {count - 1}")
    if not len(recording):
        raise RecordingError(f"{recording.path} holds no frames"
                             + (f": it is {recording.problem}" if recording.problem else ""))
    return recording, OutputFile(target, overwrite=overwrite, inputs=[recording.path])


def _is_whole_file(recording: Recording) -> bool:
    """Whether the recording is a file of several cameras read whole (not one camera's view)."""
    return recording.camera_count > 1 and recording.camera is None


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
    camera: int | None = None,
) -> int:
    """Writes the frames of one recorded format (the first, or the one `pixel_format` names, e.g.
    "MJPG" or "YUY2:640x480") of one camera as H.264 video, each frame at its recorded time:
    presentation times in a 1/90000 s time base from the first frame's arrival, kept strictly
    rising. Sizes are cut to even numbers, as H.264 in 4:2:0 needs. With `copy`, MJPG frames go
    into the file as they are, without decoding (Motion JPEG in MP4: lossless and quick, but
    fewer players show it). A recording of several cameras needs `camera` (LookupError for a
    camera it does not hold). Returns the number of frames written."""
    av = _load_av()
    recording, output = _recording(source, target, overwrite, camera, several=False)
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
    camera: int | None = None,
) -> int:
    """Writes every frame as a Foxglove image message (foxglove.CompressedImage "jpeg" for MJPG,
    foxglove.RawImage with the frame's own bytes where Foxglove knows the encoding, RGB otherwise),
    the camera's lens calibration, where the recording holds one, as one foxglove.CameraCalibration
    message at the camera's first frame, and the IMU samples as foxglove.Vector3 messages. Returns
    the number of image messages.

    Topics: /camera/image (or /camera/image/compressed), /camera/calibration, /imu/acceleration
    and /imu/angular_velocity; for a recording of several cameras each camera K has its own,
    /cameraK/image, /cameraK/image/compressed, /cameraK/calibration, /cameraK/imu/acceleration
    and /cameraK/imu/angular_velocity (`camera` exports one camera, under the names of one).
    The images' and the calibration's `frame_id` is the camera's name (with " (K)" where two
    cameras of the file share one).

    Times, in nanoseconds: an image's log time and its own `timestamp` are the host's wall clock
    at the frame's arrival (the recorded arrival on the monotonic clock, put on the wall clock by
    the recording's start; IMU samples and the calibration are on the same clock, so the viewers
    line them up). The camera's own clock is another time line, of another origin, which a
    viewer cannot show beside the others; it is kept as the image's publish time, exactly
    (Frame.device_timestamp in ns), where the frame has one, and the publish time is the log time
    where it has not. The file's metadata record "quorvex" says which ("publish_time")."""
    schemas = _load_mcap()
    recording, output = _recording(source, target, overwrite, camera)
    with output:
        return _write_mcap(recording, output.path, as_callback(progress, len(recording)), schemas)


class _Schemas(NamedTuple):
    CameraCalibration: Any
    CompressedImage: Any
    RawImage: Any
    Vector3: Any
    Writer: Any


@dataclass
class _Camera:
    """One camera's part of an MCAP export: its topics, frame_id and calibration."""

    view: Recording
    prefix: str  # "/camera" or "/cameraK"
    imu_prefix: str  # "" or "/cameraK"
    frame_id: str
    calibrated: bool = False


def _mcap_cameras(recording: Recording) -> list[_Camera]:
    if not _is_whole_file(recording):
        return [_Camera(recording, "/camera", "", _camera_name(recording) or "camera")]
    views = [recording.view(k) for k in range(recording.camera_count)]
    names = [_camera_name(view) or f"camera{k}" for k, view in enumerate(views)]
    # Two cameras of one model share a name; a frame_id names one camera.
    return [_Camera(view, f"/camera{k}", f"/camera{k}",
                    name if names.count(name) == 1 else f"{name} ({k})") for k, (view, name) in enumerate(zip(views, names))]


def _camera_name(recording: Recording) -> str | None:
    camera = recording.info.get("camera")
    name = camera.get("name") if isinstance(camera, dict) else None
    return name if isinstance(name, str) and name else None


def _write_mcap(recording: Recording, target: pathlib.Path, progress: Callable[[int], object] | None,
                schemas: _Schemas) -> int:
    cameras = _mcap_cameras(recording)
    whole = len(cameras) > 1
    imu = heapq.merge(*(_imu_messages(camera, schemas.Vector3) for camera in cameras), key=lambda item: item[0])
    pending_imu = next(imu, None)
    written = 0
    with open(target, "wb") as file, schemas.Writer(file) as writer:
        writer.add_metadata("quorvex", {
            "publish_time": "images: the camera's clock at capture in ns where the frame has one, else the log time",
            "log_time": "the host's wall clock at arrival in ns",
        })
        for index, (frame, time_ns) in enumerate(recording.timed_frames()):
            camera = cameras[recording.camera_of(index)] if whole else cameras[0]
            stamp = camera.view.unix_ns(time_ns)
            # IMU samples in between, so that the file is in time order for readers that need it.
            while pending_imu is not None and pending_imu[0] <= stamp:
                _, topic, message = pending_imu
                writer.write_message(topic, message, log_time=pending_imu[0], publish_time=pending_imu[0])
                pending_imu = next(imu, None)
            if not camera.calibrated:
                camera.calibrated = True
                calibration = _calibration_message(camera, frame, schemas.CameraCalibration)
                if calibration is not None:
                    calibration.timestamp.FromNanoseconds(stamp)
                    writer.write_message(f"{camera.prefix}/calibration", calibration, log_time=stamp,
                                         publish_time=stamp)
            topic, message = _image_message(camera, frame, schemas)
            message.timestamp.FromNanoseconds(stamp)
            device = frame.device_timestamp
            published = round(device * 1e9) if device is not None and 0 <= device < _MAX_SECONDS else stamp
            writer.write_message(topic, message, log_time=stamp, publish_time=published)
            written += 1
            if progress is not None:
                progress(written)
        while pending_imu is not None:
            _, topic, message = pending_imu
            writer.write_message(topic, message, log_time=pending_imu[0], publish_time=pending_imu[0])
            pending_imu = next(imu, None)
    return written


# Device times past this many seconds do not fit an MCAP time (64-bit nanoseconds).
_MAX_SECONDS = ((1 << 64) - 1) / 1e9


def _image_message(camera: _Camera, frame: Frame, schemas: _Schemas) -> tuple[str, Any]:
    if frame.pixel_format == "MJPG":
        message = schemas.CompressedImage(frame_id=camera.frame_id, format="jpeg", data=frame.data.tobytes())
        return f"{camera.prefix}/image/compressed", message
    encoding, row_bytes = _RAW_ENCODINGS.get(frame.pixel_format, ("rgb8", 3))
    pixels = frame.data if frame.pixel_format in _RAW_ENCODINGS else frame.to_rgb()
    message = schemas.RawImage(frame_id=camera.frame_id, width=frame.width, height=frame.height,
                               encoding=encoding, step=frame.width * row_bytes,
                               data=np.ascontiguousarray(pixels).tobytes())
    return f"{camera.prefix}/image", message


def _imu_messages(camera: _Camera, vector3: Any) -> Iterator[tuple[int, str, Any]]:
    """(wall-clock ns, topic, message) of the camera's IMU samples, in time order."""
    samples = sorted(camera.view.imu, key=lambda sample: sample.time_ns if sample.time_ns is not None
                     else sample.timestamp * 1e9)
    for sample in samples:
        stamp = camera.view.unix_ns(sample.time_ns if sample.time_ns is not None else sample.timestamp)
        for topic, (x, y, z) in ((f"{camera.imu_prefix}{ACCELERATION_TOPIC}", sample.acceleration),
                                 (f"{camera.imu_prefix}{ROTATION_TOPIC}", sample.angular_velocity)):
            yield stamp, topic, vector3(x=x, y=y, z=z)


def calibration_fields(intrinsics: Intrinsics, width: int, height: int) -> dict[str, Any]:
    """The fields of a foxglove.CameraCalibration (either schema package's) of `intrinsics` for
    images of width x height, without frame_id and timestamp.

    A calibration made for another size of the same shape (the factory one is for the camera's
    largest format) is scaled to the image's, as image resizing scales intrinsics; one of
    another shape (a crop or binning of the sensor unknown here) is given as it is. The five
    radial-tangential coefficients are what Foxglove calls plumb_bob; no model leaves it empty."""
    calibrated_width, calibrated_height = intrinsics.width, intrinsics.height
    fx, fy, cx, cy = intrinsics.fx, intrinsics.fy, intrinsics.cx, intrinsics.cy
    if (width, height) != (calibrated_width, calibrated_height) and calibrated_width and calibrated_height \
            and width * calibrated_height == height * calibrated_width:
        scale = width / calibrated_width
        fx, fy, cx, cy = fx * scale, fy * scale, cx * scale, cy * scale
    else:
        width, height = calibrated_width, calibrated_height
    radtan = intrinsics.model == "radtan"
    return {"width": width, "height": height, "distortion_model": "plumb_bob" if radtan else "",
            "D": list(intrinsics.coeffs) if radtan else [],
            "K": [fx, 0.0, cx, 0.0, fy, cy, 0.0, 0.0, 1.0],
            "R": [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0],
            "P": [fx, 0.0, cx, 0.0, 0.0, fy, cy, 0.0, 0.0, 0.0, 1.0, 0.0]}


def _calibration_message(camera: _Camera, frame: Frame, camera_calibration: Any) -> Any:
    """The camera's calibration as a foxglove.CameraCalibration for images like `frame`, or None."""
    intrinsics = camera.view.calibration
    if intrinsics is None:
        return None
    return camera_calibration(frame_id=camera.frame_id, **calibration_fields(intrinsics, frame.width, frame.height))


EXPORTERS = (".mp4", ".mcap")


class ExportOptions(TypedDict, total=False):
    """What export() passes on: all of them to export_mp4, `progress`, `overwrite` and `camera`
    to export_mcap."""

    pixel_format: str | None
    crf: int
    copy: bool
    progress: Progress | None
    overwrite: bool
    camera: int | None


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
        return export_mcap(source, target, progress=options.get("progress"), overwrite=options.get("overwrite", False),
                           camera=options.get("camera"))
    raise ValueError(f"cannot export to {suffix or 'a file without suffix'}: use one of {', '.join(EXPORTERS)}")
