"""Recording from a stream: a writer thread that never holds up capture, and record().

`Recorder.add()` hands a frame to a writer thread through a bounded queue and counts the frames
it had to drop when the disk falls behind. The file itself is recording_file's.
"""

import dataclasses
import os
import pathlib
import threading
import time
import warnings
from collections import deque
from collections.abc import Mapping
from dataclasses import dataclass
from types import TracebackType
from typing import TYPE_CHECKING

from ._files import check_target
from .frame import Frame
from .progress import Progress, as_callback
from .recording_file import ControlChange, ImuSample, RecordingWriter

if TYPE_CHECKING:
    from .camera import Camera
    from .formats import Format
    from .stream import Stream

# Bytes of frames waiting for the writer thread, by default: a few seconds of 1080p video.
DEFAULT_QUEUE_BYTES = 256 << 20


class Recorder:
    """Records frames from a writer thread: `add(frame)` never waits for the disk.

    Frames wait in a queue of at most `queue_bytes` bytes; a frame that does not fit is dropped
    and counted (`dropped`), and the count ends up in the file's summary and in a warning at
    close(). Use it as a context manager or call close(), which writes what is queued and gives
    the file its name (RecordingWriter: `overwrite`, the temporary name). A failed write, or an
    exception other than KeyboardInterrupt leaving the `with` block, removes the file instead.
    """

    def __init__(
        self,
        path: str | os.PathLike[str],
        info: Mapping[str, object] | None = None,
        *,
        controls: Mapping[str, int] | None = None,
        queue_bytes: int = DEFAULT_QUEUE_BYTES,
        overwrite: bool = False,
    ) -> None:
        if queue_bytes <= 0:
            raise ValueError(f"queue_bytes must be above 0, not {queue_bytes}")
        self._writer = RecordingWriter(path, info, overwrite=overwrite)
        self.path = self._writer.path
        self.queue_bytes = queue_bytes
        self.dropped = 0  # the queue was full
        self.rejected = 0  # frames no reader would take (wrong length for their format)
        self.added = 0
        self._queue: deque[Frame | ControlChange | ImuSample] = deque()
        self._queued_bytes = 0
        self._condition = threading.Condition()
        self._closing = False
        self._failure: BaseException | None = None
        self._controls = dict(controls) if controls is not None else None
        if self._controls is not None:
            try:
                self._writer.write_controls(time.monotonic(), self._controls)
            except BaseException:
                self._writer.discard()
                raise
        self._thread = threading.Thread(target=self._run, name="quorvex-recorder", daemon=True)
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
        """A Recorder whose file starts with the camera's information, the format it streams,
        the program writing it, and the camera's control values."""
        info = {"camera": dataclasses.asdict(camera.info), "format": str(format), "writer": writer}
        return cls(path, info, controls=camera.controls.snapshot(), queue_bytes=queue_bytes, overwrite=overwrite)

    @property
    def written(self) -> int:
        """Frames in the file so far."""
        return self._writer.frames

    @property
    def bytes_written(self) -> int:
        return self._writer.bytes_written

    def add(self, frame: Frame) -> bool:
        """Queues a quorvex.Frame for writing; False (and counted) when the queue is full."""
        self._raise_failure()
        size = int(frame.data.nbytes)
        with self._condition:
            if self._closing:
                raise RuntimeError(f"the recording {self.path} is closed")
            self.added += 1
            # An empty queue takes any frame, so one frame larger than the bound still records.
            if self._queue and self._queued_bytes + size > self.queue_bytes:
                self.dropped += 1
                return False
            self._queue.append(frame)
            self._queued_bytes += size
            self._condition.notify()
        return True

    def add_controls(self, values: Mapping[str, int], timestamp: float | None = None) -> None:
        """Records the control values when they differ from the last recorded ones."""
        if self._controls == dict(values):
            return
        self._controls = dict(values)
        self._put(ControlChange(time.monotonic() if timestamp is None else timestamp, self._controls))

    def add_imu(self, sample: ImuSample) -> None:
        self._put(sample)

    def _put(self, item: ControlChange | ImuSample) -> None:
        self._raise_failure()
        with self._condition:
            if self._closing:
                raise RuntimeError(f"the recording {self.path} is closed")
            self._queue.append(item)
            self._condition.notify()

    def _raise_failure(self) -> None:
        if self._failure is not None:
            raise OSError(f"writing the recording {self.path} failed: {self._failure}") from self._failure

    def _run(self) -> None:
        while True:
            with self._condition:
                while not self._queue and not self._closing:
                    self._condition.wait()
                if not self._queue:
                    return
                item = self._queue.popleft()
            try:
                if isinstance(item, Frame):
                    try:
                        self._writer.write_frame(
                            item.format.pixel_format, item.width, item.height, item.format.fps, item.index,
                            item.timestamp, item.data,
                        )
                    except ValueError:
                        # A damaged frame (a camera's short transfer) is left out, not the recording.
                        with self._condition:
                            self.rejected += 1
                elif isinstance(item, ControlChange):
                    self._writer.write_controls(item.timestamp, item.values)
                else:
                    self._writer.write_imu(item)
            except BaseException as failure:  # noqa: BLE001 - reported to the capturing thread
                with self._condition:
                    self._failure = failure
                    self.dropped += sum(1 for queued in (item, *self._queue) if isinstance(queued, Frame))
                    self._queue.clear()
                    self._queued_bytes = 0
                    self._closing = True
                return
            finally:
                if isinstance(item, Frame):
                    with self._condition:
                        self._queued_bytes = max(0, self._queued_bytes - int(item.data.nbytes))

    def close(self) -> None:
        """Writes what is queued, ends the file and reports drops (a warning). Idempotent."""
        with self._condition:
            self._closing = True
            self._condition.notify()
        self._thread.join()
        if self._failure is not None:
            self._writer.discard()
        if not self._writer.closed:
            self._writer.close({"dropped": self.dropped, "rejected": self.rejected})
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
        with self._condition:
            self._closing = True
            self._queue.clear()
            self._queued_bytes = 0
            self._condition.notify()
        self._thread.join()
        self._writer.discard()

    def __exit__(
        self, kind: type[BaseException] | None, value: BaseException | None, traceback: TracebackType | None
    ) -> None:
        if kind is None or issubclass(kind, KeyboardInterrupt):
            self.close()  # Ctrl-C is how a recording of no set length ends: it is kept
        else:
            self.discard()


# How often record() looks for changed control values while it captures.
CONTROL_POLL_SECONDS = 0.5


@dataclass(frozen=True)
class RecordResult:
    """What record() did: frames read from the camera, written to the file and dropped."""

    path: pathlib.Path
    frames: int
    written: int
    dropped: int
    rejected: int
    bytes_written: int
    seconds: float

    def __str__(self) -> str:
        rate = self.bytes_written / self.seconds / 1e6 if self.seconds > 0 else 0.0
        dropped = f", {self.dropped} dropped (the disk fell behind)" if self.dropped else ""
        dropped += f", {self.rejected} damaged left out" if self.rejected else ""
        return (f"{self.path}: {self.written} of {self.frames} frames in {self.seconds:.1f} s, "
                f"{self.bytes_written / 1e6:.1f} MB ({rate:.1f} MB/s){dropped}")


def record(
    stream: "Stream",
    path: str | os.PathLike[str],
    *,
    frames: int | None = None,
    seconds: float | None = None,
    imu: bool = False,
    progress: Progress | None = None,
    queue_bytes: int = DEFAULT_QUEUE_BYTES,
    timeout: float | None = 5.0,
    overwrite: bool = False,
) -> RecordResult:
    """Records `frames` frames, or for `seconds` seconds, from a quorvex.Stream (started here and
    stopped after when it is not streaming yet). The camera's information and control values
    go first; changed control values are recorded as they are seen (twice a second); with `imu`
    one IMU sample follows each frame (the IMU is switched on when it is off). `progress` (a
    callable or a tqdm-style bar) follows the number of frames read. `seconds` may be math.inf: recording until Ctrl-C.

    The file takes its name when the recording ends, and on Ctrl-C (KeyboardInterrupt) with what
    was read, after which the exception propagates; any other exception removes it. An existing
    file at `path` is refused (FileExistsError) unless `overwrite` (RecordingWriter)."""
    if (frames is None) == (seconds is None):
        raise ValueError("record() needs frames or seconds (one of them)")
    if frames is not None and frames < 0 or seconds is not None and not seconds >= 0:
        raise ValueError(f"frames and seconds must be 0 or more, not {frames if seconds is None else seconds}")
    check_target(path, overwrite=overwrite)  # before the camera starts
    if not stream.is_streaming:
        with stream:
            return record(stream, path, frames=frames, seconds=seconds, imu=imu, progress=progress,
                          queue_bytes=queue_bytes, timeout=timeout, overwrite=overwrite)
    camera = stream.camera
    report = as_callback(progress, frames)
    if imu and not camera.imu.running:
        camera.imu.enable()
    read = 0
    started = time.monotonic()
    with Recorder.for_camera(path, camera, stream.format, queue_bytes=queue_bytes, overwrite=overwrite) as recorder:
        next_poll = started + CONTROL_POLL_SECONDS
        while (frames is None or read < frames) and (seconds is None or time.monotonic() - started < seconds):
            recorder.add(stream.read(timeout))
            read += 1
            now = time.monotonic()
            if imu:
                recorder.add_imu(ImuSample(now, camera.imu.acceleration(), camera.imu.rotation_rate()))
            if now >= next_poll:
                recorder.add_controls(camera.controls.snapshot(), now)
                next_poll = now + CONTROL_POLL_SECONDS
            if report is not None:
                report(read)
    return RecordResult(recorder.path, read, recorder.written, recorder.dropped, recorder.rejected, recorder.bytes_written,
                        time.monotonic() - started)
