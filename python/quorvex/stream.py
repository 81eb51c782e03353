"""Streams: one format set on a camera, started, read frame by frame, and always stopped."""

import asyncio
import concurrent.futures
import math
import os
import threading
import time
import weakref
from collections.abc import AsyncIterator, Iterator
from types import TracebackType
from typing import TYPE_CHECKING

from ._library import qx
from .errors import QuorvexError, call, error
from .formats import Format
from .frame import Frame

if TYPE_CHECKING:
    from .camera import Camera
    from .progress import Progress
    from .recording import RecordResult


class _StreamTimeout:
    """The default of read() and aread(): the timeout the stream was made with."""

    def __repr__(self) -> str:
        return "<the stream's timeout>"


STREAM_TIMEOUT = _StreamTimeout()

# Longer waits are made of steps this long (the library takes at most 65535 ms), so that stop()
# ends a wait running on another thread soon.
_WAIT_STEP_MS = 500

# Looked up once: every frame makes these calls.
_get_timestamp = qx.QxGetTimestamp
_get_frame_count = qx.QxGetFrameCount
_get_exposure = qx.QxGetCurrentExposure
_get_gain = qx.QxGetCurrentGain


class Stream:
    """Frames of one format from one camera; use it as a context manager (Camera.stream).

    `read()` waits for the next frame; `for frame in stream` reads forever (slice it, e.g.
    itertools.islice); `await stream.aread()` and `async for` wait off the event loop. Frames are
    always fetched with the format this stream set.
    """

    def __init__(
        self,
        camera: "Camera",
        format: Format,
        timeout: float | None = 1.0,
        *,
        exposure_and_gain: bool = False,
        reconnect: bool = False,
        reconnect_timeout: float | None = 10.0,
    ) -> None:
        self.camera = camera
        self.format = format
        self.timeout = timeout
        self.exposure_and_gain = exposure_and_gain
        # False only in benchmarks/metadata_benchmark.py, which measures what the metadata costs.
        self._metadata = True
        self.reconnect = reconnect
        self.reconnect_timeout = reconnect_timeout
        self._frames = 0
        self._dropped = 0
        self._reconnects = 0
        # The frame counter's unwrapping: the previous frame's raw counter (None: no frame yet)
        # and clock, the last sequence.
        # The frame counter's unwrapping, one tuple so that a frame reads and writes it at once:
        # the previous frame's raw counter (None: no frame yet), its clock, its sequence, and the
        # seconds between two frames in a row by the camera's clock (0: not known).
        self._counter: tuple[int | None, float | None, int, float] = (None, None, 0, 0.0)
        self._turn = math.inf
        self._reset_sequence()
        self._streaming = False
        self._lock = threading.Lock()  # held by the thread inside the library's wait
        self._executor: concurrent.futures.ThreadPoolExecutor | None = None
        # The one read running on the worker thread, or done and not yet taken: every async read
        # waits on it rather than queueing a read of its own, so readers that give up (cancelled,
        # timed out) leave at most this one behind, and its frame goes to the next reader.
        self._background: concurrent.futures.Future[Frame] | None = None
        self._background_lock = threading.Lock()
        _live_streams.add(self)

    @property
    def is_streaming(self) -> bool:
        return self._streaming

    @property
    def frames_read(self) -> int:
        return self._frames

    @property
    def dropped(self) -> int:
        """Frames the camera produced that this stream never read, as the frames' sequence shows."""
        return self._dropped

    @property
    def reconnects(self) -> int:
        """How many times the stream opened its camera again after it was unplugged."""
        return self._reconnects

    def start(self) -> "Stream":
        """Sets the format and starts streaming (the context manager does this)."""
        if self._streaming:
            return self
        handle = self.camera.handle
        call(qx.QxSetFormat, handle, self.format.qx_format, detail=str(self.format))
        call(qx.QxStartStreaming, handle)
        self._reset_sequence()
        self._streaming = True
        self.camera.streams.add(self)
        return self

    def stop(self) -> None:
        """Stops streaming; waits for a read still running in the background. Idempotent."""
        if not self._streaming:
            return
        self._streaming = False
        executor, self._executor = self._executor, None
        if executor is not None:
            executor.shutdown(wait=True, cancel_futures=True)
        with self._background_lock:
            self._background = None
        self.camera.streams.discard(self)
        if self.camera.is_open:
            with self._lock:
                call(qx.QxStopStreaming, self.camera.handle)

    def __enter__(self) -> "Stream":
        return self.start()

    def __exit__(
        self, kind: type[BaseException] | None, value: BaseException | None, traceback: TracebackType | None
    ) -> None:
        self.stop()

    def read(self, timeout: float | None | _StreamTimeout = STREAM_TIMEOUT) -> Frame:
        """The next frame, waiting up to `timeout` seconds (by default the stream's timeout;
        None or math.inf: no limit); quorvex.TimeoutError when none came, ValueError for a
        negative or NaN timeout."""
        if isinstance(timeout, _StreamTimeout):
            timeout = self.timeout
        deadline = _deadline(timeout)
        while True:
            with self._background_lock:
                background = self._background
            if background is None:
                return self._read(deadline, timeout)
            # A read an async caller left running: its frame is the next one.
            done, _ = concurrent.futures.wait([background], timeout=_remaining(deadline))
            if not done:
                raise self._timed_out(timeout)
            if self._take(background) and background.exception() is None:
                return background.result()

    def _read(self, deadline: float | None, timeout: float | None) -> Frame:
        # The lock is waited for within the timeout too: another thread's read may hold it for as
        # long as its own timeout.
        if not self._lock.acquire(timeout=-1 if deadline is None else _left(deadline)):
            raise self._timed_out(timeout)
        try:
            while True:
                if not self._streaming:
                    raise RuntimeError(f"the {self.format} stream is stopped")
                wait_ms = _WAIT_STEP_MS
                if deadline is not None:
                    wait_ms = min(wait_ms, round(_left(deadline) * 1000))
                result, data = qx.QxGetImage(self.camera.handle, wait_ms, self.format.qx_format)
                if result == qx.QX_SUCCESS:
                    arrived, host_time = time.monotonic(), time.time()
                    handle = self.camera._handle
                    stamp = sequence = exposure = gain = None
                    if self._metadata:
                        try:
                            status, stamp = _get_timestamp(handle)
                            if status:
                                stamp = None
                            status, count = _get_frame_count(handle)
                            if not status:
                                previous, last_stamp, sequence, _ = self._counter
                                if ((count - 1) & 0xFF == previous and stamp is not None and last_stamp is not None
                                        and (period := stamp - last_stamp) < self._turn):
                                    # The usual case, kept short: the next frame, no stall.
                                    sequence += 1
                                    self._counter = (count, stamp, sequence, period)
                                else:
                                    sequence = self._next_sequence(count, stamp)
                            if self.exposure_and_gain:
                                status, exposure = _get_exposure(handle)
                                if status:
                                    exposure = None
                                status, gain = _get_gain(handle)
                                if status:
                                    gain = None
                        except Exception:
                            pass  # what the camera would not tell stays None; the frame is here
                    frame = Frame(data, self.format, self._frames, arrived, stamp, sequence, host_time, exposure, gain)
                    self._frames += 1
                    return frame
                more_time = deadline is None or _left(deadline) > 0.0005
                if result != qx.QX_TIMEOUT or not more_time:
                    raise error("QxGetImage", result, f"{self.format}, timeout {timeout} s")
        finally:
            self._lock.release()

    def _next_sequence(self, count: int, stamp: float | None) -> int:
        """The unwrapped sequence of a frame whose 8-bit counter reads `count`, taken by the
        camera's clock at `stamp`; counts the frames skipped since the previous one as dropped."""
        previous, last_stamp, sequence, period = self._counter
        if previous is None:
            sequence = count
        else:
            step = (count - previous) & 0xFF
            if stamp is not None and last_stamp is not None:
                # A reader that stalled for seconds: the counter may have wrapped, more than once
                # even, which only the camera's clock tells; at the rate the camera keeps, which
                # may be below the format's (a long exposure).
                fps = min(self.format.fps, 1 / period) if period > 0 else self.format.fps
                expected = (stamp - last_stamp) * fps
                if expected > 255:
                    step += 256 * max(0, round((expected - step) / 256))
            if step > 1:
                self._dropped += step - 1
            sequence += step
        self._counter = (count, stamp, sequence, period)
        return sequence

    def _reset_sequence(self) -> None:
        self._counter = (None, None, 0, 0.0)
        # Seconds in which the counter turns once at the stream's rate: a longer gap between two
        # frames may hide whole turns.
        self._turn = 255 / self.format.fps if self.format.fps > 0 else math.inf

    def _sequence_restarted(self) -> None:
        """The device's counter and clock start again (a camera opened anew after unplugging):
        the next frame's counter is taken as counting from 0 after the last sequence, so frames
        produced before it was read count as dropped, and no estimate from the clock spans it."""
        previous, _, sequence, period = self._counter
        if previous is not None:
            self._counter = (0, None, sequence, period)

    def _timed_out(self, timeout: float | None) -> QuorvexError:
        return error("QxGetImage", qx.QX_TIMEOUT, f"{self.format}, timeout {timeout} s")

    def _take(self, background: "concurrent.futures.Future[Frame]") -> bool:
        """Whether this caller gets the finished background read (else another reader took it)."""
        with self._background_lock:
            if self._background is not background:
                return False
            self._background = None
            return True

    def __iter__(self) -> Iterator[Frame]:
        while True:
            yield self.read(self.timeout)

    async def aread(self, timeout: float | None | _StreamTimeout = STREAM_TIMEOUT) -> Frame:
        """As read(), waiting on a worker thread so that the event loop runs on. Cancelling it is
        safe: the wait finishes in the background and its frame is the next one read."""
        if isinstance(timeout, _StreamTimeout):
            timeout = self.timeout
        deadline = _deadline(timeout)
        while True:
            with self._background_lock:
                mine = self._background is None
                if self._background is None:
                    if not self._streaming:
                        raise RuntimeError(f"the {self.format} stream is stopped")
                    if self._executor is None:
                        self._executor = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="quorvex-read")
                    self._background = self._executor.submit(self._read, deadline, timeout)
                background = self._background
            waiting = asyncio.wrap_future(background)
            # Whoever gives up on it, its error (stop() ends it with one) is not a lost one.
            waiting.add_done_callback(_settle)
            # Not cancelled when this caller is: the library call runs to its end either way.
            done, _ = await asyncio.wait([waiting], timeout=_remaining(deadline))
            if not done:
                raise self._timed_out(timeout)
            if not self._take(background):
                continue  # another reader took its frame: wait for the next one
            if mine or background.exception() is None:
                return background.result()
            # A read left by a caller that gave up failed (timed out on that caller's timeout):
            # nothing to hand on, so this caller reads for itself.

    def __aiter__(self) -> AsyncIterator[Frame]:
        return self._frames_async()

    async def _frames_async(self) -> AsyncIterator[Frame]:
        while True:
            yield await self.aread(self.timeout)

    def record(
        self,
        path: "str | os.PathLike[str]",
        *,
        frames: int | None = None,
        seconds: float | None = None,
        imu: bool = False,
        progress: "Progress | None" = None,
        timeout: float | None = 5.0,
        queue_bytes: int | None = None,
        overwrite: bool = False,
    ) -> "RecordResult":
        """Records frames into a file the emulated library can replay: quorvex.record(self, ...)."""
        from .recording import DEFAULT_QUEUE_BYTES, record

        return record(self, path, frames=frames, seconds=seconds, imu=imu, progress=progress, timeout=timeout,
                      queue_bytes=DEFAULT_QUEUE_BYTES if queue_bytes is None else queue_bytes, overwrite=overwrite)

    async def __aenter__(self) -> "Stream":
        """`async with`: starts the stream on a worker thread, so that the event loop runs on."""
        return await asyncio.to_thread(self.start)

    async def __aexit__(
        self, kind: type[BaseException] | None, value: BaseException | None, traceback: TracebackType | None
    ) -> None:
        await asyncio.to_thread(self.stop)

    def __repr__(self) -> str:
        state = "streaming" if self._streaming else "stopped"
        return f"<quorvex.Stream {self.format} {state}, {self._frames} frames read>"


def _deadline(timeout: float | None) -> float | None:
    if timeout is not None and not timeout >= 0:  # NaN included
        raise ValueError(f"timeout must be at least 0 seconds, not {timeout}")
    return None if timeout is None or timeout == math.inf else time.monotonic() + timeout


def _left(deadline: float) -> float:
    return max(0.0, deadline - time.monotonic())


def _remaining(deadline: float | None) -> float | None:
    return None if deadline is None else _left(deadline)


def _settle(waiting: "asyncio.Future[Frame]") -> None:
    if not waiting.cancelled():
        waiting.exception()


# Every stream alive, so that a forked child can renew their locks (below).
_live_streams: "weakref.WeakSet[Stream]" = weakref.WeakSet()


def _after_fork_in_child() -> None:
    # Only the forking thread lives on in the child: a lock another thread held at the fork (a
    # read waiting for a frame) would stay held for ever, and the worker thread of async reads
    # is gone, with the read it was running.
    for stream in list(_live_streams):
        stream._lock = threading.Lock()
        stream._background_lock = threading.Lock()
        stream._executor = None
        stream._background = None


os.register_at_fork(after_in_child=_after_fork_in_child)
