"""Compressed recording: frames encoded as H.264 (or MJPG frames kept as they are) into an MP4
file, from a writer thread, with the recorded timing. Needs PyAV (`pyQuorvexSDK[export]`).

`VideoRecorder` has Recorder's interface: add() hands a frame to the writer thread through a
bounded queue and never waits for the encoder; a frame that does not fit is dropped and counted.
Each frame's arrival time (`Frame.timestamp`) becomes its presentation time, in a 1/90000 s time
base, counted from the first frame and kept strictly rising (MP4 refuses two frames at one time).
"""

import json
import os
import pathlib
import warnings
from collections.abc import Mapping
from fractions import Fraction
from typing import Any

import numpy as np

from ._files import OutputFile
from .export import _missing
from .formats import Format
from .frame import Frame
from .recording import CODECS as RECORD_CODECS, DEFAULT_QUEUE_BYTES, _QueuedWriter

TIME_BASE = Fraction(1, 90_000)

# The codecs of quorvex.record() that make a video (the others make a recording).
CODECS = tuple(codec for codec in RECORD_CODECS if codec != "raw")

# H.264 encoders PyAV may be built with, best first: the software ones need no device.
H264_ENCODERS = ("libx264", "libopenh264", "h264_videotoolbox", "h264_mf", "h264_nvenc", "h264_qsv",
                 "h264_amf", "h264_vaapi", "h264_v4l2m2m")

# Pixel formats PyAV's converter (libswscale) takes as they are, by ours: converting them
# straight to yuv420p costs 1-2 ms a 1080p frame, through RGB (quorvex.pixels, then RGB to
# yuv420p) about 10 (benchmarks.md).
_SWSCALE_INPUTS = {"YUY2": "yuyv422", "UYVY": "uyvy422", "NV12": "nv12", "BGRA": "bgra", "BGRX": "bgra",
                   "BGR": "bgr24", "RGB": "rgb24"}


def _import_av() -> Any:
    try:
        import av
    except ImportError as missing:
        raise _missing("PyAV", "compressed recording") from missing
    return av


def h264_encoder(av: Any = None) -> str:
    """The name of the H.264 encoder VideoRecorder uses: libx264 where PyAV has it, else the
    first of the others that opens here (a hardware encoder is listed whether or not its device
    is there). LookupError when none does."""
    av = av or _import_av()
    available = av.codecs_available
    for name in H264_ENCODERS:
        if name not in available:
            continue
        if name == "libx264":
            return name
        try:
            probe = av.CodecContext.create(name, "w")
            probe.width, probe.height, probe.pix_fmt, probe.time_base = 64, 64, "yuv420p", TIME_BASE
            probe.open()
        except Exception:  # noqa: BLE001 - not an encoder this machine can run
            continue
        return name
    raise LookupError("PyAV has no H.264 encoder that runs here (it was built without libx264)")


class VideoRecorder(_QueuedWriter):
    """Records frames of one format into an MP4 file from a writer thread.

    `codec="h264"` encodes each frame (converted to yuv420p, its size cut to even numbers as
    4:2:0 needs) with `crf` and `preset` (libx264's: lower crf is better and bigger; faster
    presets keep up with more frames); `codec="copy"` stores MJPG frames as they are (Motion
    JPEG in MP4). Frames of another size (or, copying, another pixel format) and, encoding, MJPG
    frames that are no readable JPEG are left out and counted in `rejected`. `info` (the camera, the format, the writer: what Recorder keeps) goes
    into the file's comment as JSON. add_imu() and add_controls() take what a Recorder takes and
    ignore it: MP4 keeps the pictures only.

    The file is written under a hidden temporary name beside `path` and takes its name at
    close(); discard(), a failed write or an exception other than KeyboardInterrupt leaving the
    `with` block removes it. An existing file at `path` is refused (FileExistsError) unless
    `overwrite`. ValueError for a codec other than "h264" or "copy", "copy" of frames that are
    not MJPG, or a name not ending in .mp4; ImportError without PyAV; LookupError when PyAV has
    no H.264 encoder that runs here. `bytes_written` counts the encoded pictures (the file adds
    its index at close()).
    """

    def __init__(
        self,
        path: str | os.PathLike[str],
        format: Format,
        *,
        codec: str = "h264",
        overwrite: bool = False,
        queue_bytes: int = DEFAULT_QUEUE_BYTES,
        info: Mapping[str, object] | None = None,
        crf: int = 23,
        preset: str = "veryfast",
    ) -> None:
        av = _import_av()
        if codec not in CODECS:
            raise ValueError(f"codec must be one of {', '.join(CODECS)}, not {codec!r}")
        if codec == "copy" and format.pixel_format != "MJPG":
            raise ValueError(f"only MJPG frames can be copied into an MP4 file, not {format.pixel_format}")
        super().__init__(queue_bytes, 1, "quorvex-video-recorder")
        target = pathlib.Path(path)
        if target.suffix.lower() != ".mp4":
            raise ValueError(f"a compressed recording is an MP4 file: name it NAME.mp4, not {target.name}")
        self.format = format
        self.codec = codec
        self.written = 0
        self.bytes_written = 0
        self._width, self._height = (format.width, format.height) if codec == "copy" else (
            format.width & ~1, format.height & ~1)
        self._output = OutputFile(target, overwrite=overwrite)
        self.path = self._output.target
        try:
            self._container = av.open(os.fspath(self._output.path), "w", format="mp4")
            try:
                self._stream = self._add_stream(av, crf, preset)
                if info:
                    self._container.metadata["comment"] = json.dumps(dict(info), default=str)
            except BaseException:
                self._container.close()
                raise
        except BaseException:
            self._output.abort()
            raise
        self._av = av
        self._finished = False
        self._first: float | None = None
        self._last_pts = -1
        self._period = max(1, round(Fraction(1, max(1, format.fps)) / TIME_BASE))
        self._thread.start()

    def _add_stream(self, av: Any, crf: int, preset: str) -> Any:
        if self.codec == "copy":
            stream = self._container.add_stream("mjpeg", rate=self.format.fps)
            stream.pix_fmt = "yuvj422p"
        else:
            encoder = h264_encoder(av)
            options = {"crf": str(crf), "preset": preset} if encoder == "libx264" else {}
            stream = self._container.add_stream(encoder, rate=self.format.fps, options=options)
            stream.pix_fmt = "yuv420p"
            stream.codec_context.time_base = TIME_BASE
        stream.width, stream.height = self._width, self._height
        # The file's clock is the recorded times' own, whatever the muxer would pick.
        stream.time_base = TIME_BASE
        return stream

    def add(self, frame: Frame) -> bool:
        """Queues a quorvex.Frame for writing; False (and counted in `dropped`) when the queue is
        full. Never waits for the encoder."""
        return self._add_frame(0, frame)

    def add_imu(self, sample: object) -> None:
        """Takes an IMU sample as Recorder does; MP4 does not keep it."""

    def add_controls(self, values: Mapping[str, int], timestamp: float | None = None) -> None:
        """Takes control values as Recorder does; MP4 does not keep them."""

    def _write(self, lane: int | None, item: Any) -> bool:
        """Encodes the frame; False for one left out: of another size or format, or a damaged
        JPEG (as a recording leaves out a damaged frame)."""
        return self._fits(item) and self._encode(item)

    def _fits(self, frame: Frame) -> bool:
        if (frame.width, frame.height) != (self.format.width, self.format.height):
            return False
        return self.codec != "copy" or frame.pixel_format == "MJPG"

    def _pts(self, frame: Frame) -> int:
        if self._first is None:
            self._first = frame.timestamp
        pts = max(self._last_pts + 1, round((frame.timestamp - self._first) * TIME_BASE.denominator))
        self._last_pts = pts
        return pts

    def _encode(self, frame: Frame) -> bool:
        av = self._av
        if self.codec == "copy":
            data = frame.data.tobytes()
            packet = av.Packet(data)
            pts = self._pts(frame)
            packet.stream, packet.pts, packet.dts = self._stream, pts, pts
            packet.time_base, packet.duration = TIME_BASE, self._period
            self._container.mux(packet)
            self.bytes_written += len(data)
        else:
            try:
                picture = self._picture(frame)
            except ValueError:
                return False
            picture.pts, picture.time_base = self._pts(frame), TIME_BASE
            self._mux(self._stream.encode(picture))
        self.written += 1
        return True

    def _picture(self, frame: Frame) -> Any:
        """The frame as a picture of the stream's size for the encoder: its bytes as they are
        where the converter takes them (a copy into the picture, then one pass to yuv420p),
        else through RGB (MJPG, odd sizes, formats the converter has no name for)."""
        av = self._av
        width, height = self._width, self._height
        source = _SWSCALE_INPUTS.get(frame.pixel_format)
        if source is not None and (width, height) == (frame.width, frame.height):
            picture = av.VideoFrame(width, height, source)
            planes = picture.planes
            # Rows padded for alignment would need a copy row by row: RGB is as quick then.
            if sum(plane.buffer_size for plane in planes) == frame.data.nbytes:
                offset = 0
                for plane in planes:
                    plane.update(frame.data[offset: offset + plane.buffer_size])
                    offset += plane.buffer_size
                return picture.reformat(format="yuv420p")
        rgb = np.ascontiguousarray(frame.to_rgb()[:height, :width])
        return av.VideoFrame.from_ndarray(rgb, format="rgb24").reformat(format="yuv420p")

    def _mux(self, packets: Any) -> None:
        for packet in packets:
            self.bytes_written += packet.size
            self._container.mux(packet)

    def close(self) -> None:
        """Writes what is queued, ends the file and gives it its name; reports drops (a
        warning). OSError, and no file, when writing failed. Idempotent."""
        self._finish_writing()
        if self._finished:
            self._raise_failure()
            return
        self._finished = True
        if self._failure is None:
            try:
                if self.codec != "copy":
                    self._mux(self._stream.encode(None))
                if not self.written:
                    self._container.start_encoding()  # an MP4 file without pictures, rather than no MP4 at all
                self._container.close()
                self._output.commit()
            except BaseException as failure:
                self._failure = failure
        if self._failure is not None:
            self._abandon()
            self._raise_failure()
        if self.dropped:
            warnings.warn(f"{self.dropped} of {self.added} frames were dropped: encoding {self.path} fell behind",
                          RuntimeWarning, stacklevel=2)
        if self.rejected:
            warnings.warn(f"{self.rejected} frames of another format, or damaged, were left out of {self.path}",
                          RuntimeWarning, stacklevel=2)

    def discard(self) -> None:
        """Stops writing and removes the file. Idempotent."""
        self._stop_writing()
        if not self._finished:
            self._finished = True
            self._abandon()

    def _abandon(self) -> None:
        try:
            self._container.close()
        except Exception:  # noqa: BLE001 - the file goes anyway
            pass
        finally:
            self._output.abort()

    def __enter__(self) -> "VideoRecorder":
        return self

    def __repr__(self) -> str:
        return f"<quorvex.VideoRecorder {self.path} {self.codec} {self.format}, {self.written} frames>"
