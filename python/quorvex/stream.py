"""Streams: one format set on a camera, started, read frame by frame, and always stopped."""

import asyncio
import concurrent.futures
import math
import os
import threading
import time
from collections.abc import AsyncIterator, Iterator
from types import TracebackType
from typing import TYPE_CHECKING, Any

from ._library import qx
from .errors import TimeoutError, check, error
from .formats import Format
from .frame import Frame

if TYPE_CHECKING:
    from .camera import Camera
    from .recording import RecordResult

# Longer waits are made of steps this long (the library takes at most 65535 ms), so that stop()
# ends a wait running on another thread soon.
_WAIT_STEP_MS = 500


class Stream:
    """Frames of one format from one camera; use it as a context manager (Camera.stream).

    `read()` waits for the next frame; `for frame in stream` reads forever (slice it, e.g.
    itertools.islice); `await stream.aread()` and `async for` wait off the event loop. Frames are
    always fetched with the format this stream set.
    """

    def __init__(self, camera: "Camera", format: Format, timeout: float | None = 1.0) -> None:
        self.camera = camera
        self.format = format
        self.timeout = timeout
        self._frames = 0
        self._streaming = False
        self._lock = threading.Lock()
        self._executor: concurrent.futures.ThreadPoolExecutor | None = None
        # A read an async caller gave up on (cancelled); its frame goes to the next read.
        self._abandoned: concurrent.futures.Future[Frame] | None = None

    @property
    def is_streaming(self) -> bool:
        return self._streaming

    @property
    def frames_read(self) -> int:
        return self._frames

    def start(self) -> "Stream":
        """Sets the format and starts streaming (the context manager does this)."""
        if self._streaming:
            return self
        handle = self.camera.handle
        check("QxSetFormat", qx.QxSetFormat(handle, self.format.qx_format), str(self.format))
        check("QxStartStreaming", qx.QxStartStreaming(handle))
        self._streaming = True
        self.camera._stream_started(self)
        return self

    def stop(self) -> None:
        """Stops streaming; waits for a read still running in the background. Idempotent."""
        if not self._streaming:
            return
        self._streaming = False
        executor, self._executor = self._executor, None
        if executor is not None:
            executor.shutdown(wait=True, cancel_futures=True)
        self._abandoned = None
        self.camera._stream_stopped(self)
        if self.camera.is_open:
            with self._lock:
                check("QxStopStreaming", qx.QxStopStreaming(self.camera.handle))

    def __enter__(self) -> "Stream":
        return self.start()

    def __exit__(
        self, kind: type[BaseException] | None, value: BaseException | None, traceback: TracebackType | None
    ) -> None:
        self.stop()

    def read(self, timeout: float | None = 1.0) -> Frame:
        """The next frame, waiting up to `timeout` seconds (None or math.inf: no limit);
        quorvex.TimeoutError when none came, ValueError for a negative or NaN timeout."""
        abandoned, self._abandoned = self._abandoned, None
        if abandoned is not None:
            frame = _frame_of(abandoned)
            if frame is not None:
                return frame
        return self._read(timeout)

    def _read(self, timeout: float | None) -> Frame:
        if timeout is not None and not timeout >= 0:  # NaN included
            raise ValueError(f"timeout must be at least 0 seconds, not {timeout}")
        if timeout == math.inf:
            timeout = None
        deadline = None if timeout is None else time.monotonic() + timeout
        with self._lock:
            while True:
                if not self._streaming:
                    raise RuntimeError(f"the {self.format} stream is stopped")
                wait_ms = _WAIT_STEP_MS
                if deadline is not None:
                    wait_ms = min(wait_ms, max(0, round((deadline - time.monotonic()) * 1000)))
                result, data = qx.QxGetImage(self.camera.handle, wait_ms, self.format.qx_format)
                if result == qx.QX_SUCCESS:
                    frame = Frame(data, self.format, self._frames, time.monotonic())
                    self._frames += 1
                    return frame
                more_time = deadline is None or deadline - time.monotonic() > 0.0005
                if result != qx.QX_TIMEOUT or not more_time:
                    raise error("QxGetImage", result, f"{self.format}, timeout {timeout} s")

    def __iter__(self) -> Iterator[Frame]:
        while True:
            yield self.read(self.timeout)

    async def aread(self, timeout: float | None = 1.0) -> Frame:
        """As read(), waiting on a worker thread so that the event loop runs on. Cancelling it is
        safe: the wait finishes in the background and its frame is the next one read."""
        abandoned, self._abandoned = self._abandoned, None
        if abandoned is not None:
            try:
                return await self._wait_for(abandoned)
            except Exception:
                pass  # the wait given up on failed (timed out): nothing to hand on
        if self._executor is None:
            self._executor = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="quorvex-read")
        return await self._wait_for(self._executor.submit(self._read, timeout))

    async def _wait_for(self, job: "concurrent.futures.Future[Frame]") -> Frame:
        # Shielded: cancelling the caller leaves the library call running to its end.
        waiting = asyncio.wrap_future(job)
        try:
            return await asyncio.shield(waiting)
        except asyncio.CancelledError:
            # Its outcome goes to the next read, if any; stop() may still end it with an error
            # that no one awaits here, which must not be reported as lost.
            waiting.add_done_callback(_settle)
            self._abandoned = job
            raise

    def __aiter__(self) -> AsyncIterator[Frame]:
        return self._frames_async()

    async def _frames_async(self) -> AsyncIterator[Frame]:
        while True:
            yield await self.aread(self.timeout)

    def record(self, path: "str | os.PathLike[str]", **options: Any) -> "RecordResult":
        """Records frames into a file the emulated library can replay: quorvex.record(self, path,
        frames=N or seconds=S, imu=..., progress=...)."""
        from .recording import record

        return record(self, path, **options)

    def __repr__(self) -> str:
        state = "streaming" if self._streaming else "stopped"
        return f"<quorvex.Stream {self.format} {state}, {self._frames} frames read>"


def _settle(waiting: "asyncio.Future[Frame]") -> None:
    if not waiting.cancelled():
        waiting.exception()


def _frame_of(job: "concurrent.futures.Future[Frame]") -> Frame | None:
    """The frame of a background read left behind, or None when it failed or was cancelled."""
    try:
        return job.result()
    except (Exception, concurrent.futures.CancelledError):
        return None
