"""Recording from streams: a writer thread that never holds up capture, and record().

`Recorder.add()` hands a frame to a writer thread through a bounded queue and counts the frames
it had to drop when the disk falls behind; one Recorder takes the frames of several cameras into
one file. The file itself is recording_file's.
"""

import contextlib
import dataclasses
import importlib
import math
import os
import pathlib
import threading
import time
import warnings
from collections import deque
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from types import TracebackType
from typing import TYPE_CHECKING, Any, cast

from ._files import check_target
from .frame import Frame
from .progress import Progress, as_callback
from . import errors
from .errors import NotSupportedError, QuorvexError
from .recording_file import MAX_CAMERAS, ControlChange, ImuSample, RecordingWriter

if TYPE_CHECKING:
    from .camera import Camera
    from .formats import Format
    from .stream import Stream

# Bytes of frames waiting for the writer thread, by default: a few seconds of 1080p video.
DEFAULT_QUEUE_BYTES = 256 << 20


class _QueuedWriter:
    """A writer thread behind a bounded queue, so that adding a frame never waits for the
    writing: a frame that does not fit in `queue_bytes` is dropped and counted. Frames are added
    per lane (a camera of the file); other items (control values, IMU samples) are not bounded.
    A subclass writes an item in _write(), False for a damaged frame left out (`rejected`),
    starts `_thread` once its output is ready, and ends with _finish_writing() (what is queued
    is written) or _stop_writing() (it is thrown away)."""

    path: pathlib.Path

    def __init__(self, queue_bytes: int, lanes: int, name: str) -> None:
        if queue_bytes <= 0:
            raise ValueError(f"queue_bytes must be above 0, not {queue_bytes}")
        self.queue_bytes = queue_bytes
        self._added = [0] * lanes
        self._dropped = [0] * lanes  # the queue was full, or a write failed
        self._rejected = [0] * lanes
        self._queue: deque[tuple[int | None, Any, int]] = deque()  # lane (None: no frame), item, bytes
        self._queued_bytes = 0
        self._condition = threading.Condition()
        self._closing = False
        self._failure: BaseException | None = None
        self._thread = threading.Thread(target=self._run, name=name, daemon=True)

    @property
    def added(self) -> int:
        return sum(self._added)

    @property
    def dropped(self) -> int:
        """Frames dropped because the queue was full, or left unwritten after a failed write."""
        return sum(self._dropped)

    @property
    def rejected(self) -> int:
        """Damaged frames left out."""
        return sum(self._rejected)

    def _add_frame(self, lane: int, frame: Frame) -> bool:
        self._raise_failure()
        size = int(frame.data.nbytes)
        with self._condition:
            if self._closing:
                raise RuntimeError(f"the recording {self.path} is closed")
            self._added[lane] += 1
            # An empty queue takes any frame, so one frame larger than the bound still records.
            if self._queue and self._queued_bytes + size > self.queue_bytes:
                self._dropped[lane] += 1
                return False
            self._queue.append((lane, frame, size))
            self._queued_bytes += size
            self._condition.notify()
        return True

    def _put(self, item: object) -> None:
        self._raise_failure()
        with self._condition:
            if self._closing:
                raise RuntimeError(f"the recording {self.path} is closed")
            self._queue.append((None, item, 0))
            self._condition.notify()

    def _raise_failure(self) -> None:
        if self._failure is not None:
            raise OSError(f"writing the recording {self.path} failed: {self._failure}") from self._failure

    def _write(self, lane: int | None, item: Any) -> bool:
        raise NotImplementedError

    def _run(self) -> None:
        while True:
            with self._condition:
                while not self._queue and not self._closing:
                    self._condition.wait()
                if not self._queue:
                    return
                lane, item, size = self._queue.popleft()
            try:
                if not self._write(lane, item) and lane is not None:
                    with self._condition:
                        self._rejected[lane] += 1
            except BaseException as failure:  # noqa: BLE001 - reported to the capturing thread
                with self._condition:
                    self._failure = failure
                    for queued in (lane, *(entry[0] for entry in self._queue)):
                        if queued is not None:
                            self._dropped[queued] += 1
                    self._queue.clear()
                    self._queued_bytes = 0
                    self._closing = True
                return
            finally:
                if size:
                    with self._condition:
                        self._queued_bytes = max(0, self._queued_bytes - size)

    def _finish_writing(self) -> None:
        """Lets the thread write what is queued, and waits for it."""
        with self._condition:
            self._closing = True
            self._condition.notify()
        if self._thread.is_alive():
            self._thread.join()

    def _stop_writing(self) -> None:
        """Throws away what is queued and waits for the thread."""
        with self._condition:
            self._closing = True
            self._queue.clear()
            self._queued_bytes = 0
            self._condition.notify()
        if self._thread.is_alive():
            self._thread.join()

    def close(self) -> None:
        raise NotImplementedError

    def discard(self) -> None:
        raise NotImplementedError

    def __exit__(
        self, kind: type[BaseException] | None, value: BaseException | None, traceback: TracebackType | None
    ) -> None:
        if kind is None or issubclass(kind, KeyboardInterrupt):
            self.close()  # Ctrl-C is how a recording of no set length ends: it is kept
        else:
            self.discard()


class Recorder(_QueuedWriter):
    """Records frames from a writer thread: `add(frame)` never waits for the disk.

    Frames wait in a queue of at most `queue_bytes` bytes; a frame that does not fit is dropped
    and counted (`dropped`), and the count ends up in the file's summary and in a warning at
    close(). Use it as a context manager or call close(), which writes what is queued and gives
    the file its name (RecordingWriter: `overwrite`, the temporary name). A failed write, or an
    exception other than KeyboardInterrupt leaving the `with` block, removes the file instead.

    `cameras` above 1 records several cameras into one file (for_cameras() makes one): each
    add names its camera's number, and `dropped`, `rejected` and `added` are totals, with the
    figures of each camera in `counts`.
    """

    def __init__(
        self,
        path: str | os.PathLike[str],
        info: Mapping[str, object] | None = None,
        *,
        controls: Mapping[str, int] | Sequence[Mapping[str, int] | None] | None = None,
        queue_bytes: int = DEFAULT_QUEUE_BYTES,
        overwrite: bool = False,
        cameras: int = 1,
    ) -> None:
        super().__init__(queue_bytes, cameras, "quorvex-recorder")
        initial = [controls] if controls is None or isinstance(controls, Mapping) else list(controls)
        self._writer = RecordingWriter(path, info, overwrite=overwrite, cameras=cameras)
        self.path = self._writer.path
        self.cameras = cameras
        self._controls: list[dict[str, int] | None] = [None] * cameras
        now = time.monotonic()
        try:
            for camera, values in enumerate(initial[:cameras]):
                if values is not None:
                    self._controls[camera] = dict(values)
                    self._writer.write_controls(now, values, camera)
        except BaseException:
            self._writer.discard()
            raise
        self._thread.start()

    @classmethod
    def for_camera(
        cls,
        path: str | os.PathLike[str],
        camera: "Camera",
        format: "Format",
        *,
        writer: str = "quorvex",
        queue_bytes: int = DEFAULT_QUEUE_BYTES,
        overwrite: bool = False,
    ) -> "Recorder":
        """A Recorder whose file starts with the camera's information and calibration, the
        format it streams, the program writing it, and the camera's control values."""
        return cls(path, {**camera_info(camera, format), "writer": writer}, controls=camera.controls.snapshot(),
                   queue_bytes=queue_bytes, overwrite=overwrite)

    @classmethod
    def for_cameras(
        cls,
        path: str | os.PathLike[str],
        cameras: "Sequence[tuple[Camera, Format]]",
        *,
        writer: str = "quorvex",
        queue_bytes: int = DEFAULT_QUEUE_BYTES,
        overwrite: bool = False,
    ) -> "Recorder":
        """A Recorder of several cameras in one file, numbered in the order given: each camera's
        information, calibration, format and control values go first. One camera is for_camera()."""
        if not cameras:
            raise ValueError("for_cameras() needs at least one (camera, format) pair")
        if len(cameras) == 1:
            return cls.for_camera(path, *cameras[0], writer=writer, queue_bytes=queue_bytes, overwrite=overwrite)
        if len(cameras) > MAX_CAMERAS:
            raise ValueError(f"a recording holds at most {MAX_CAMERAS} cameras, not {len(cameras)}")
        entries = [camera_info(camera, format) for camera, format in cameras]
        info = {**entries[0], "writer": writer, "cameras": entries}
        return cls(path, info, controls=[camera.controls.snapshot() for camera, _ in cameras], queue_bytes=queue_bytes,
                   overwrite=overwrite, cameras=len(cameras))

    @property
    def written(self) -> int:
        """Frames in the file so far."""
        return self._writer.frames

    @property
    def bytes_written(self) -> int:
        return self._writer.bytes_written

    @property
    def counts(self) -> list[dict[str, int]]:
        """For each camera: frames added, written, dropped and rejected."""
        return [{"added": self._added[k], "written": self._writer.camera_frames[k], "dropped": self._dropped[k],
                 "rejected": self._rejected[k]} for k in range(self.cameras)]

    def _check_camera(self, camera: int) -> None:
        if type(camera) is not int or not 0 <= camera < self.cameras:
            raise ValueError(f"camera {camera!r} is not one of the {self.cameras} camera(s) of {self.path}")

    def add(self, frame: Frame, camera: int = 0) -> bool:
        """Queues a quorvex.Frame of camera number `camera` for writing, with what it tells
        (device timestamp, sequence, ...); False (and counted) when the queue is full."""
        self._check_camera(camera)
        return self._add_frame(camera, frame)

    def add_controls(self, values: Mapping[str, int], timestamp: float | None = None, camera: int = 0) -> None:
        """Records the control values of camera number `camera` when they differ from the last
        recorded ones."""
        self._check_camera(camera)
        if self._controls[camera] == dict(values):
            return
        self._controls[camera] = dict(values)
        self._put(ControlChange(time.monotonic() if timestamp is None else timestamp, dict(values), camera))

    def add_imu(self, sample: ImuSample, camera: int | None = None) -> None:
        """Records an IMU sample of camera number `camera` (by default the sample's own)."""
        if camera is not None and camera != sample.camera:
            self._check_camera(camera)
            sample = dataclasses.replace(sample, camera=camera)
        else:
            self._check_camera(sample.camera)
        self._put(sample)

    def _write(self, lane: int | None, item: Any) -> bool:
        if lane is not None:
            try:
                self._writer.write_frame(item.format.pixel_format, item.width, item.height, item.format.fps,
                                         item.index, item.timestamp, item.data, camera=lane, meta=item)
            except ValueError:
                return False  # a damaged frame (a camera's short transfer) is left out, not the recording
        elif isinstance(item, ControlChange):
            self._writer.write_controls(item.timestamp, item.values, item.camera)
        else:
            self._writer.write_imu(item)
        return True

    def close(self) -> None:
        """Writes what is queued, ends the file and reports drops (a warning). Idempotent."""
        self._finish_writing()
        if self._failure is not None:
            self._writer.discard()
        if not self._writer.closed:
            summary: dict[str, object] = {"dropped": self.dropped, "rejected": self.rejected}
            if self.cameras > 1:
                summary["cameras"] = [{"dropped": d, "rejected": r} for d, r in zip(self._dropped, self._rejected)]
            self._writer.close(summary)
            if self.dropped and self._failure is None:
                warnings.warn(
                    f"{self.dropped} of {self.added} frames were dropped: writing {self.path} fell behind",
                    RuntimeWarning,
                    stacklevel=2,
                )
            if self.rejected:
                warnings.warn(f"{self.rejected} damaged frames were left out of {self.path}", RuntimeWarning, stacklevel=2)
        self._raise_failure()

    def __enter__(self) -> "Recorder":
        return self

    def discard(self) -> None:
        """Stops writing and removes the file. Idempotent."""
        self._stop_writing()
        self._writer.discard()


def camera_info(camera: "Camera", format: "Format") -> dict[str, object]:
    """What a recording tells of a camera: its information, the format it streams and, where
    the camera has one, its lens calibration."""
    info: dict[str, object] = {"camera": dataclasses.asdict(camera.info), "format": str(format)}
    try:
        intrinsics = camera.calibration.intrinsics
    except QuorvexError:  # a camera without a calibration (NotSupportedError) or one that cannot tell now
        return info
    info["calibration"] = {**dataclasses.asdict(intrinsics), "coeffs": list(intrinsics.coeffs)}
    return info


# How often record() looks for changed control values while it captures.
CONTROL_POLL_SECONDS = 0.5


@dataclass(frozen=True)
class CameraResult:
    """What record() did with one camera's stream."""

    frames: int
    written: int
    dropped: int
    rejected: int


@dataclass(frozen=True)
class RecordResult:
    """What record() did: frames read from the cameras, written to the file and dropped (totals;
    `cameras` has the figures of each stream, in the order given)."""

    path: pathlib.Path
    frames: int
    written: int
    dropped: int
    rejected: int
    bytes_written: int
    seconds: float
    cameras: tuple[CameraResult, ...] = ()

    def __str__(self) -> str:
        rate = self.bytes_written / self.seconds / 1e6 if self.seconds > 0 else 0.0
        dropped = f", {self.dropped} dropped (the disk fell behind)" if self.dropped else ""
        dropped += f", {self.rejected} damaged left out" if self.rejected else ""
        several = f" from {len(self.cameras)} cameras" if len(self.cameras) > 1 else ""
        return (f"{self.path}: {self.written} of {self.frames} frames{several} in {self.seconds:.1f} s, "
                f"{self.bytes_written / 1e6:.1f} MB ({rate:.1f} MB/s){dropped}")


CODECS = ("raw", "h264", "copy")
# How long a capture thread waits for a frame at a time, so that it sees a stop between waits.
_STOP_CHECK_SECONDS = 0.25


def record(
    streams: "Stream | Sequence[Stream]",
    path: str | os.PathLike[str],
    *,
    frames: int | None = None,
    seconds: float | None = None,
    imu: bool = False,
    codec: str | None = None,
    progress: Progress | None = None,
    queue_bytes: int = DEFAULT_QUEUE_BYTES,
    timeout: float | None = 5.0,
    overwrite: bool = False,
) -> RecordResult:
    """Records `frames` frames of each stream, or for `seconds` seconds, from a quorvex.Stream or
    a list of them (started here and stopped after when not streaming yet). Several streams go
    into one recording, numbered in the order given, each read by a thread of its own so that
    one camera's wait never holds up another. The cameras' information, calibration and control
    values go first; changed control values are recorded as they are seen (twice a second); with
    `imu` one IMU sample follows each frame of every camera that has an IMU (switched on when it
    is off; NotSupportedError when none has one). `progress` (a callable or a tqdm-style bar)
    follows the number of frames read from all streams. `seconds` may be math.inf: recording
    until Ctrl-C.

    `codec` "h264" (or "copy", an MJPG stream's JPEG frames as they are) records one stream
    into a video file (quorvex.recording_video.VideoRecorder, e.g. `take.mp4`) instead; None or
    "raw" writes a recording.

    The file takes its name when the recording ends, and on Ctrl-C (KeyboardInterrupt) with what
    was read, after which the exception propagates; any other exception, in any stream, stops
    every stream and removes it. An existing file at `path` is refused (FileExistsError) unless
    `overwrite` (RecordingWriter)."""
    if (frames is None) == (seconds is None):
        raise ValueError("record() needs frames or seconds (one of them)")
    if frames is not None and frames < 0 or seconds is not None and not seconds >= 0:
        raise ValueError(f"frames and seconds must be 0 or more, not {frames if seconds is None else seconds}")
    several = isinstance(streams, (list, tuple))
    listed = list(cast("Sequence[Stream]", streams)) if several else [cast("Stream", streams)]
    if not listed:
        raise ValueError("record() needs at least one stream")
    if len({id(stream) for stream in listed}) < len(listed):
        raise ValueError("record() was given the same stream twice")
    if len(listed) > MAX_CAMERAS:
        raise ValueError(f"a recording holds at most {MAX_CAMERAS} cameras, not {len(listed)}")
    if codec not in (None, *CODECS):
        raise ValueError(f"codec must be one of {', '.join(CODECS)}, not {codec!r}")
    if codec in ("h264", "copy") and len(listed) > 1:
        raise ValueError(f"codec {codec!r} records one stream, not {len(listed)}; record several raw")
    check_target(path, overwrite=overwrite)  # before the cameras start
    video = None if codec in (None, "raw") else video_recorder(codec)
    with contextlib.ExitStack() as started:
        for stream in listed:
            if not stream.is_streaming:
                started.enter_context(stream)
        with_imu = _start_imus(listed) if imu else [False] * len(listed)
        return _record(listed, path, frames, seconds, with_imu, video, codec, progress, queue_bytes, timeout,
                       overwrite)


def video_recorder(codec: str) -> Any:
    """The VideoRecorder class; ImportError, saying what to install, when it cannot be had."""
    try:
        # Imported here: PyAV only for those who record video. Asked for now, so that a missing
        # PyAV is told before any camera starts.
        video = importlib.import_module(f"{__package__}.recording_video")
        video._import_av()
        return video.VideoRecorder
    except ImportError as missing:
        raise ImportError(f"recording with codec {codec!r} needs PyAV: pip install 'pyQuorvexSDK[export]'"
                          f" ({missing})") from missing


def _start_imus(streams: "list[Stream]") -> list[bool]:
    """Which of the streams' cameras record IMU samples, after switching on those that are off;
    NotSupportedError when none has an IMU."""
    with_imu: list[bool] = []
    missing: NotSupportedError | None = None
    for stream in streams:
        imu = stream.camera.imu
        try:
            if not imu.running:
                imu.enable()
        except NotSupportedError as failure:
            missing = failure
            with_imu.append(False)
        else:
            with_imu.append(True)
    if missing is not None and not any(with_imu):
        raise missing
    return with_imu


def _open_recorder(
    streams: "list[Stream]", path: str | os.PathLike[str], video_class: Any, codec: str | None, queue_bytes: int,
    overwrite: bool,
) -> Recorder:
    if video_class is None:
        return Recorder.for_cameras(path, [(stream.camera, stream.format) for stream in streams],
                                    queue_bytes=queue_bytes, overwrite=overwrite)
    (stream,) = streams
    info = {**camera_info(stream.camera, stream.format), "writer": "quorvex"}
    video = video_class(path, stream.format, codec=codec, overwrite=overwrite, queue_bytes=queue_bytes,
                                       info=info)
    try:
        video.add_controls(stream.camera.controls.snapshot(), time.monotonic())
    except BaseException:
        video.discard()
        raise
    return video  # type: ignore[no-any-return]


def _record(
    streams: "list[Stream]",
    path: str | os.PathLike[str],
    frames: int | None,
    seconds: float | None,
    with_imu: list[bool],
    video_class: Any,
    codec: str | None,
    progress: Progress | None,
    queue_bytes: int,
    timeout: float | None,
    overwrite: bool,
) -> RecordResult:
    report = as_callback(progress, None if frames is None else frames * len(streams))
    started = time.monotonic()
    with _open_recorder(streams, path, video_class, codec, queue_bytes, overwrite) as recorder:
        captures = [_Capture(stream, number, recorder, with_imu[number], timeout) for number, stream in
                    enumerate(streams)]
        if len(captures) == 1:
            # One stream is read right here: progress sees each frame as it is read.
            capture = captures[0]
            while capture.wanted(frames, seconds, started):
                capture.step(None)
                if report is not None:
                    report(capture.read)
        else:
            _run_captures(captures, frames, seconds, started, report)
    elapsed = time.monotonic() - started
    counts = getattr(recorder, "counts", None) or [{"written": recorder.written, "dropped": recorder.dropped,
                                                    "rejected": recorder.rejected}]
    per_camera = tuple(CameraResult(capture.read, count["written"], count["dropped"], count["rejected"])
                       for capture, count in zip(captures, counts))
    return RecordResult(recorder.path, sum(c.read for c in captures), recorder.written, recorder.dropped,
                        recorder.rejected, recorder.bytes_written, elapsed, per_camera)


class _Capture:
    """Reading one stream into a recorder: its frames, IMU samples and control changes."""

    def __init__(self, stream: "Stream", number: int, recorder: Recorder, imu: bool, timeout: float | None) -> None:
        self.stream = stream
        self.number = number
        self.recorder = recorder
        self.imu = imu
        self.timeout = timeout
        self.read = 0
        self.next_poll = time.monotonic() + CONTROL_POLL_SECONDS

    def wanted(self, frames: int | None, seconds: float | None, started: float) -> bool:
        return (frames is None or self.read < frames) and (seconds is None or time.monotonic() - started < seconds)

    def step(self, stop: threading.Event | None) -> bool:
        """Reads and records one frame; False when `stop` was set while it waited."""
        frame = self._next_frame(stop)
        if frame is None:
            return False
        camera, number = self.stream.camera, self.number
        # A recorder of one camera takes none of the numbers (VideoRecorder has no cameras).
        where = {"camera": number} if number else {}
        self.recorder.add(frame, **where)
        self.read += 1
        now = time.monotonic()
        if self.imu:
            self.recorder.add_imu(ImuSample(now, camera.imu.acceleration(), camera.imu.rotation_rate(), camera=number))
        if now >= self.next_poll:
            self.recorder.add_controls(camera.controls.snapshot(), now, **where)
            self.next_poll = now + CONTROL_POLL_SECONDS
        return True

    def _next_frame(self, stop: threading.Event | None) -> Frame | None:
        if stop is None:
            return self.stream.read(self.timeout)
        # In steps, so that a stop (another stream failed, Ctrl-C) ends the wait; the timeout
        # still counts from the start.
        timeout = self.timeout
        deadline = None if timeout is None or math.isinf(timeout) else time.monotonic() + timeout
        while not stop.is_set():
            left = _STOP_CHECK_SECONDS if deadline is None else min(_STOP_CHECK_SECONDS, deadline - time.monotonic())
            try:
                return self.stream.read(max(left, 0.0))
            except errors.TimeoutError:
                if deadline is not None and time.monotonic() >= deadline:
                    raise self.stream._timed_out(timeout) from None
        return None


def _run_captures(
    captures: list[_Capture],
    frames: int | None,
    seconds: float | None,
    started: float,
    report: "Callable[[int], object] | None",
) -> None:
    """Reads the streams in threads of their own until each has its frames or time; the first
    failure, or an exception here (Ctrl-C, the progress callback's), stops them all and is raised."""
    stop = threading.Event()
    changed = threading.Condition()
    failures: list[BaseException] = []

    def capture_all(capture: _Capture) -> None:
        try:
            while not stop.is_set() and capture.wanted(frames, seconds, started):
                if not capture.step(stop):
                    break
                with changed:
                    changed.notify()
        except BaseException as failure:  # noqa: BLE001 - raised in the calling thread
            with changed:
                failures.append(failure)
            stop.set()
        finally:
            with changed:
                changed.notify()

    threads = [threading.Thread(target=capture_all, args=(capture,), name=f"quorvex-record-{capture.number}",
                                daemon=True) for capture in captures]
    for thread in threads:
        thread.start()
    reported = 0
    try:
        while True:
            with changed:
                running = any(thread.is_alive() for thread in threads)
                total = sum(capture.read for capture in captures)
                if running and total == reported and not failures:
                    changed.wait(_STOP_CHECK_SECONDS)
                    continue
            if report is not None:
                for count in range(reported + 1, total + 1):
                    report(count)
            reported = total
            if failures:
                raise failures[0]
            if not running:
                return
    finally:
        stop.set()
        for thread in threads:
            thread.join()
