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
from .errors import NO_DEVICE, DisconnectedError, QuorvexError, call, check, error
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
_arrived = Frame._arrived

# How often a reconnecting stream looks for its unplugged camera.
_RECONNECT_POLL = 0.2


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
        if reconnect_timeout is not None and not reconnect_timeout >= 0:  # NaN included
            raise ValueError(f"reconnect_timeout must be at least 0 seconds (None: no limit), not {reconnect_timeout}")
        self.reconnect = reconnect
        self.reconnect_timeout = reconnect_timeout
        self._stopping = threading.Event()  # ends a reconnect's wait when stop() is called
        self._waiting_for_camera = False  # a read waits for the unplugged camera to come back
        self._back_at: float | None = None  # when it last came back (time.monotonic())
        self._unique_id: str | None = None  # the camera's, to know it again after a replug
        self._path: str | None = None
        self._frames = 0
        self._dropped = 0
        self._reconnects = 0
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
        camera = self.camera
        handle = camera.handle
        try:
            call(qx.QxSetFormat, handle, self.format.qx_format, detail=str(self.format))
            call(qx.QxStartStreaming, handle)
        except DisconnectedError:
            camera._connected = False
            info = camera._info
            if not self.reconnect or info is None or not (info.unique_id or info.path):
                raise
            # Unplugged before it started: the first read waits for the camera to come back.
            self._unique_id, self._path = info.unique_id, info.path
        else:
            if self.reconnect:
                self._remember_camera()
        self._stopping.clear()
        self._reset_sequence()
        self._streaming = True
        camera.streams.add(self)
        return self

    def _remember_camera(self) -> None:
        # What tells the camera apart after a replug (read when it opened), and the settings to
        # give it again.
        camera = self.camera
        info = camera.info
        self._unique_id, self._path = info.unique_id, info.path
        if camera._settings is None:
            settings: dict[str, int | bool] = {}
            for name, control in camera.controls.items():
                try:
                    settings[name] = True if control.auto else control.value
                except QuorvexError:
                    continue  # listed but unreadable now: left as the camera has it
            camera._settings = settings

    def stop(self) -> None:
        """Stops streaming; waits for a read still running in the background. Idempotent; also
        after the camera was unplugged."""
        self._stopping.set()
        # A read that found the camera unplugged stopped the stream already, but may have left
        # the worker thread of async reads.
        streaming, self._streaming = self._streaming, False
        executor, self._executor = self._executor, None
        if executor is not None:
            executor.shutdown(wait=True, cancel_futures=True)
        with self._background_lock:
            self._background = None
        if not streaming:
            return
        self.camera.streams.discard(self)
        if self.camera.is_open:
            with self._lock:
                status = qx.QxStopStreaming(self.camera.handle)
            if status != NO_DEVICE:  # unplugged: stopped already
                check(qx.QxStopStreaming.__name__, status)

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
            # Read without the lock: one attribute read is atomic, and an async read may start
            # just after this look whether the lock is taken for it or not.
            background = self._background
            if background is None:
                return self._read(deadline, timeout)
            # A read an async caller left running: its frame is the next one.
            done, _ = concurrent.futures.wait([background], timeout=_remaining(deadline))
            if not done:
                deadline = self._after_reconnecting(timeout)
                if deadline is None:
                    raise self._timed_out(timeout)
                continue
            if self._take(background) and background.exception() is None:
                return background.result()

    def _read(self, deadline: float | None, timeout: float | None) -> Frame:
        # The lock is waited for within the timeout too: another thread's read may hold it for as
        # long as its own timeout.
        lock = self._lock
        if not lock.acquire(False) and not lock.acquire(timeout=-1 if deadline is None else _left(deadline)):
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
                    frame = _arrived(data, self.format, self._frames, arrived, stamp, sequence, host_time, exposure, gain)
                    self._frames += 1
                    return frame
                if result != qx.QX_TIMEOUT and self._unplugged():
                    if not self.reconnect:
                        raise self._disconnected("unplugged")
                    self._reconnect()
                    deadline = _deadline(timeout)  # the wait for a frame begins again
                    continue
                more_time = deadline is None or _left(deadline) > 0.0005
                if result != qx.QX_TIMEOUT or not more_time:
                    raise error("QxGetImage", result, f"{self.format}, timeout {timeout} s")
        finally:
            lock.release()

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

    def _after_reconnecting(self, timeout: float | None) -> float | None:
        """For a read that timed out waiting behind another: its new deadline when the camera
        was away meanwhile (the timeout counts from its return), else None."""
        if self._waiting_for_camera:
            return _deadline(timeout)
        if timeout is not None and self._back_at is not None and self._back_at + timeout > time.monotonic():
            return self._back_at + timeout
        return None

    def _unplugged(self) -> bool:
        # The handle as it is: a camera closed meanwhile answers QXE_NOT_OPEN, not this.
        return qx.QxGetDevicePath(self.camera._handle)[0] == NO_DEVICE

    def _disconnected(self, why: str) -> QuorvexError:
        """Marks the stream stopped and the camera gone; the error to raise."""
        camera = self.camera
        self._streaming = False
        camera.streams.discard(self)
        camera._connected = False
        path = self._path or (camera._info.path if camera._info else None) or "path unknown"
        return error("QxGetImage", NO_DEVICE, f"camera {camera.index} ({path}) {why}")

    def _reconnect(self) -> None:
        """Waits for the unplugged camera to come back, then opens it again with this stream's
        format and the settings it had, and starts streaming; DisconnectedError when it did not
        come back within reconnect_timeout, RuntimeError when stop() was called meanwhile."""
        camera = self.camera
        camera._connected = False
        self._waiting_for_camera = True
        try:
            self._wait_for_camera()
        finally:
            self._waiting_for_camera = False

    def _wait_for_camera(self) -> None:
        camera = self.camera
        deadline = _deadline(self.reconnect_timeout)
        # Handles found to be other cameras: a replugged camera gets a new one, so these are
        # not opened again (and kept, so that the library's handle objects keep their identity).
        others: list[qx.QxCamera] = [camera._handle]
        while True:
            if not self._streaming or self._stopping.is_set():
                raise RuntimeError(f"the {self.format} stream is stopped")
            found = self._find(others)
            if found is not None:
                handle, index = found
                try:
                    self._resume(handle, index)
                except DisconnectedError:
                    pass  # unplugged again at once: wait on
                except LookupError:
                    raise self._disconnected(f"came back without the format {self.format}") from None
                else:
                    camera._connected = True
                    self._back_at = time.monotonic()
                    self._reconnects += 1
                    self._sequence_restarted()
                    return
            if deadline is not None and _left(deadline) <= 0:
                raise self._disconnected(f"was unplugged and did not come back within {self.reconnect_timeout} s")
            wait = _RECONNECT_POLL if deadline is None else min(_RECONNECT_POLL, _left(deadline))
            self._stopping.wait(wait)

    def _find(self, others: list[qx.QxCamera]) -> tuple[qx.QxCamera, int] | None:
        """This stream's camera among those discovered now, opened; None when it is not there."""
        from .camera import _open_with, _registry_lock

        status, names = qx.QxDiscoverCameraDevices()
        if status != 0:
            return None
        for index in range(len(names)):
            handle = qx.QxInitialCameraDevice(index)
            if handle is None or any(handle is other for other in others):
                continue
            with _registry_lock:
                if _open_with(handle) is not None:
                    continue  # one this process uses
                if qx.QxOpen(handle) != 0:
                    continue  # open elsewhere (or not ready yet): looked at again next time
            if self._is_mine(handle):
                return handle, index
            qx.QxClose(handle)
            others.append(handle)
        return None

    def _is_mine(self, handle: qx.QxCamera) -> bool:
        if self._unique_id is not None:
            # Only the sensors of Quorvex cameras have one; asking others only fills the log.
            if qx.QxIsQuorvexCamera(handle) != 1:
                return False
            status, unique_id = qx.QxGetSensorUniqueID(handle)
            return status == 0 and unique_id == self._unique_id
        status, path = qx.QxGetDevicePath(handle)
        return status == 0 and path == self._path

    def _resume(self, handle: qx.QxCamera, index: int) -> None:
        """Streams from the opened `handle` as this stream did before the camera was unplugged."""
        camera = self.camera
        camera._reopen(handle, index)
        wanted = self.format
        same = [f for f in camera.formats if (f.pixel_format, f.width, f.height, f.fps)
                == (wanted.pixel_format, wanted.width, wanted.height, wanted.fps)]
        if not same:
            raise LookupError(wanted)
        self.format = same[0]
        call(qx.QxSetFormat, handle, self.format.qx_format, detail=str(self.format))
        for name, setting in (camera._settings or {}).items():
            control = camera.controls.get(name)
            if control is None:
                continue
            try:
                if setting is True:
                    control.auto = True
                else:
                    control.value = int(setting)
            except DisconnectedError:
                raise
            except (QuorvexError, ValueError):
                continue  # a value the camera no longer takes stays at its default
        if camera._max_fps is not None:
            call(qx.QxSetMaxFPS, handle, camera._max_fps)
        call(qx.QxStartStreaming, handle)

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
                deadline = self._after_reconnecting(timeout)
                if deadline is None:
                    raise self._timed_out(timeout)
                continue
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
        codec: str | None = None,
    ) -> "RecordResult":
        """Records frames into a file the emulated library can replay, or with `codec` into a
        video: quorvex.record(self, ...)."""
        from .recording import DEFAULT_QUEUE_BYTES, record

        return record(self, path, frames=frames, seconds=seconds, imu=imu, progress=progress, timeout=timeout,
                      queue_bytes=DEFAULT_QUEUE_BYTES if queue_bytes is None else queue_bytes, overwrite=overwrite,
                      codec=codec)

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
