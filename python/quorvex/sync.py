"""Several cameras in step: frames of several streams matched by time into one tuple each."""

import asyncio
import math
import threading
import time
from collections import deque
from collections.abc import AsyncIterator, Iterable, Iterator, Sequence
from types import TracebackType
from typing import Literal, Protocol

from ._library import qx
from .errors import QuorvexError, error
from .frame import Frame

Clock = Literal["device", "host"]

# Readers wait for a frame in steps this long, so that close() ends them soon.
_READ_STEP = 0.1
# How long close() waits for the reader threads at most (a loaded machine may need seconds).
_JOIN_LIMIT = 5.0
# A frame's camera time may run ahead of the host's time since the reset by this much (the camera
# is asked for its time after the frame arrived).
_CLOCK_SLACK = 0.1
# Frames the camera captured before its clock was reset (held in its buffer) that a stream may
# show; a stream with more has a clock the reset did not set, and host time is used instead.
_STALE_LIMIT = 8


class _Readable(Protocol):
    """What synchronized() needs of a stream (quorvex.Stream has it)."""

    def read(self, timeout: float | None = ...) -> Frame: ...

    async def aread(self, timeout: float | None = ...) -> Frame: ...


class FrameGroup(tuple[Frame, ...]):
    """Frames of several streams taken at about the same time, one per stream in the streams'
    order. `clock` is the time they were matched by: "device" (the cameras' clocks, reset
    together) or "host" (the time each frame arrived); `skew` is the largest minus the smallest
    of those times within the group, in seconds."""

    clock: Clock
    skew: float

    def __new__(cls, frames: Iterable[Frame], clock: Clock, skew: float) -> "FrameGroup":
        group = super().__new__(cls, frames)
        group.clock = clock
        group.skew = skew
        return group

    def __reduce__(self) -> tuple[type["FrameGroup"], tuple[tuple[Frame, ...], Clock, float]]:
        return FrameGroup, (tuple(self), self.clock, self.skew)

    def __repr__(self) -> str:
        return f"FrameGroup({', '.join(map(repr, self))}; {self.clock} clock, skew {self.skew * 1000:.1f} ms)"


class _Matcher:
    """The matching core, without threads or tasks: frames go in per stream, groups come out.

    Each stream has a queue of at most `size` frames, oldest first. A group forms around the
    latest of the queues' heads (the pivot): heads older than the pivot by more than the
    tolerance never get a partner and are dropped as unmatched; a head is also dropped when the
    frame behind it lies closer to the pivot. The group is emitted once every stream has a frame
    at or after the pivot, so that no later frame could be the closer one. A frame pushed into a
    full queue pushes its oldest out, unmatched too."""

    def __init__(self, count: int, tolerance: float, clock: Clock, size: int) -> None:
        self.tolerance = tolerance
        self.clock: Clock = clock
        self.size = size
        self.queues: list[deque[Frame]] = [deque() for _ in range(count)]
        self.unmatched = [0] * count
        # Set by reset(): when each stream's camera clock was reset, on the host's monotonic clock.
        self._reset_at: list[float | None] = [None] * count
        self._stale = [0] * count
        # Streams that ended (their read raised EOFError: a recording played to its end): no
        # frame is still to come from them.
        self.ended: set[int] = set()
        self._wall_offset = time.time() - time.monotonic()

    def reset(self, index: int, at: float) -> None:
        self._reset_at[index] = at

    def _time(self, frame: Frame) -> float:
        if self.clock == "device":
            assert frame.device_timestamp is not None
            return frame.device_timestamp
        if frame.host_time is not None:
            return frame.host_time
        return frame.timestamp + self._wall_offset

    def push(self, index: int, frame: Frame) -> None:
        if self.clock == "device":
            if frame.device_timestamp is None:
                self.clock = "host"
            elif self._captured_before_reset(index, frame):
                self.unmatched[index] += 1
                return
        queue = self.queues[index]
        if len(queue) >= self.size:
            queue.popleft()
            self.unmatched[index] += 1
        queue.append(frame)

    def _captured_before_reset(self, index: int, frame: Frame) -> bool:
        # Frames the camera held in its buffer at the reset carry a time of the clock's earlier
        # count (as the latest head, one would push every other stream's frames out as too old),
        # or none after the reset: 0 or less.
        reset_at = self._reset_at[index]
        if reset_at is None:
            return False
        assert frame.device_timestamp is not None
        if 0 < frame.device_timestamp <= frame.timestamp - reset_at + _CLOCK_SLACK:
            return False
        self._stale[index] += 1
        if self._stale[index] > _STALE_LIMIT:
            self.clock = "host"
            return False
        return True

    def take(self) -> FrameGroup | None:
        """The next group, or None until more frames come."""
        queues = self.queues
        while all(queues):
            heads = [self._time(queue[0]) for queue in queues]
            pivot = max(heads)
            dropped = False
            for index, queue in enumerate(queues):
                head = heads[index]
                behind = self._time(queue[1]) if len(queue) > 1 else None
                if head < pivot - self.tolerance or (behind is not None and abs(behind - pivot) < pivot - head):
                    queue.popleft()
                    self.unmatched[index] += 1
                    dropped = True
            if dropped:
                continue
            if any(self._time(queue[-1]) < pivot for index, queue in enumerate(queues) if index not in self.ended):
                return None  # a frame still to come may lie closer to the pivot
            frames = [queue.popleft() for queue in queues]
            return FrameGroup(frames, self.clock, pivot - min(heads))
        return None

    @property
    def exhausted(self) -> bool:
        """Whether no group can form any more: a stream that ended has no frame left."""
        return any(not self.queues[index] for index in self.ended)


class Synchronized:
    """Groups of frames from several streams, matched by time: quorvex.synchronized(...).

    Iterate it (`for group in ...`: a reader thread per stream) or iterate it asynchronously
    (`async for`: a reader task per stream); use it as a context manager, or call close(), to
    stop the readers. The streams themselves are left running."""

    def __init__(
        self,
        streams: Iterable[_Readable],
        tolerance: float,
        *,
        reset_clocks: bool = True,
        clock: Clock | None = None,
        queue_size: int = 8,
    ) -> None:
        self.streams: tuple[_Readable, ...] = tuple(streams)
        if not self.streams:
            raise ValueError("synchronized() needs at least one stream")
        if len({id(stream) for stream in self.streams}) != len(self.streams):
            raise ValueError("synchronized() got the same stream more than once")
        tolerance = float(tolerance)
        if not 0 < tolerance < math.inf:
            raise ValueError(f"tolerance must be a positive, finite number of seconds, not {tolerance}")
        if clock not in (None, "device", "host"):
            raise ValueError(f"clock must be 'device', 'host' or None, not {clock!r}")
        if isinstance(queue_size, bool) or not isinstance(queue_size, int) or queue_size < 2:
            raise ValueError(f"queue_size must be an int of at least 2, not {queue_size!r}")
        self.tolerance = tolerance
        self.reset_clocks = reset_clocks and clock != "host"
        wanted: Clock = clock or ("device" if reset_clocks else "host")
        self._matcher = _Matcher(len(self.streams), tolerance, wanted, queue_size)
        self._lock = threading.Condition()
        self._error: BaseException | None = None
        self._started: Literal["threads", "tasks"] | None = None
        self._closed = False
        self._stopping = threading.Event()
        self._threads: list[threading.Thread] = []
        self._tasks: list[asyncio.Task[None]] = []
        self._wakeup: asyncio.Event | None = None

    @property
    def clock(self) -> Clock:
        """The time frames are matched by: "device" or "host" (from the start on: "host" where a
        camera's clock could not be reset or a frame came without the camera's time)."""
        return self._matcher.clock

    @property
    def unmatched(self) -> tuple[int, ...]:
        """Per stream, in the streams' order: frames read that are in no group (no partner within
        the tolerance, or pushed out of a full queue while the consumer fell behind)."""
        with self._lock:
            return tuple(self._matcher.unmatched)

    # -- starting

    def _reset(self) -> None:
        if not self.reset_clocks:
            return
        done: set[int] = set()
        for index, stream in enumerate(self.streams):
            camera = getattr(stream, "camera", None)
            at = time.monotonic()
            try:
                if camera is None:
                    raise AttributeError("a stream without a camera")
                if id(camera) not in done:
                    camera.reset_timestamp()
                    done.add(id(camera))
            except (QuorvexError, AttributeError):
                self._matcher.clock = "host"
                return
            self._matcher.reset(index, at)

    def _begin(self, how: Literal["threads", "tasks"]) -> bool:
        """Whether this caller starts the readers (False: started already, the same way)."""
        if self._started == how:
            return False
        if self._started is not None:
            raise RuntimeError("a synchronized() object is iterated either with for or with async for, not both")
        self._started = how
        return True

    def start(self) -> "Synchronized":
        """Resets the cameras' clocks and starts a reader thread per stream (the first `next()`
        and `with` do this)."""
        if self._closed or not self._begin("threads"):
            return self
        self._reset()
        for index, stream in enumerate(self.streams):
            thread = threading.Thread(target=self._read_thread, args=(index, stream), daemon=True,
                                      name=f"quorvex-sync-{index}")
            self._threads.append(thread)
            thread.start()
        return self

    async def astart(self) -> "Synchronized":
        """As start(), with a reader task per stream (the first `anext()` and `async with`)."""
        if self._closed or not self._begin("tasks"):
            return self
        self._wakeup = asyncio.Event()
        await asyncio.to_thread(self._reset)
        self._tasks = [asyncio.create_task(self._read_task(index, stream), name=f"quorvex-sync-{index}")
                       for index, stream in enumerate(self.streams)]
        return self

    # -- reading

    def _read_thread(self, index: int, stream: _Readable) -> None:
        timeout = getattr(stream, "timeout", None)
        limit = None if timeout is None or timeout == math.inf else float(timeout)
        waited = 0.0
        try:
            while not self._stopping.is_set():
                # Short waits, so that stopping is seen soon; the stream's own timeout still holds.
                step = _READ_STEP if limit is None else min(_READ_STEP, max(0.0, limit - waited))
                began = time.monotonic()
                try:
                    frame = stream.read(step)
                except EOFError:
                    self._end(index)
                    return
                except TimeoutError:
                    waited += time.monotonic() - began
                    if limit is not None and waited >= limit:
                        format = getattr(stream, "format", "stream")
                        raise error("QxGetImage", qx.QX_TIMEOUT, f"{format}, timeout {timeout} s") from None
                    continue
                waited = 0.0
                with self._lock:
                    if self._stopping.is_set():
                        return
                    self._matcher.push(index, frame)
                    self._lock.notify_all()
        except BaseException as failure:
            self._fail(failure)

    async def _read_task(self, index: int, stream: _Readable) -> None:
        assert self._wakeup is not None
        try:
            while True:
                try:
                    frame = await stream.aread()
                except EOFError:
                    self._end(index)
                    self._wakeup.set()
                    return
                with self._lock:
                    self._matcher.push(index, frame)
                self._wakeup.set()
        except asyncio.CancelledError:
            raise
        except BaseException as failure:
            self._fail(failure)
            self._wakeup.set()

    def _end(self, index: int) -> None:
        with self._lock:
            self._matcher.ended.add(index)
            self._lock.notify_all()

    def _fail(self, failure: BaseException) -> None:
        with self._lock:
            if self._error is None and not self._closed:
                self._error = failure
            self._lock.notify_all()

    def __iter__(self) -> Iterator[FrameGroup]:
        return self

    def __next__(self) -> FrameGroup:
        self.start()
        with self._lock:
            while True:
                if self._closed:
                    raise StopIteration
                # An error wins over frames still queued: the consumer learns at once.
                failure = self._error
                if failure is not None:
                    break
                group = self._matcher.take()
                if group is not None:
                    return group
                if self._matcher.exhausted:
                    break
                self._lock.wait()
        self.close()
        if failure is None:
            raise StopIteration
        raise failure

    def __aiter__(self) -> AsyncIterator[FrameGroup]:
        return self

    async def __anext__(self) -> FrameGroup:
        await self.astart()
        assert self._wakeup is not None
        while not self._closed:
            self._wakeup.clear()
            with self._lock:
                failure = self._error
                group = None if failure is not None else self._matcher.take()
                exhausted = group is None and self._matcher.exhausted
            if failure is not None:
                await self.aclose()
                raise failure
            if group is not None:
                return group
            if exhausted:
                await self.aclose()
                break
            await self._wakeup.wait()
        raise StopAsyncIteration

    # -- stopping

    def close(self) -> None:
        """Stops the readers (a read in progress ends within a fraction of a second, its frame
        dropped). Idempotent; the streams are not stopped."""
        with self._lock:
            self._closed = True
            self._stopping.set()
            self._lock.notify_all()
        for task in self._tasks:
            task.cancel()
        if self._wakeup is not None:
            self._wakeup.set()
        # A stream's read returns within one step; a library call stuck far beyond it is left
        # to end on its own (the threads are daemons) rather than hang the caller.
        deadline = time.monotonic() + _JOIN_LIMIT
        current = threading.current_thread()
        for thread in self._threads:
            if thread is not current:
                thread.join(timeout=max(0.0, deadline - time.monotonic()))

    async def aclose(self) -> None:
        """As close(), waiting for the reader tasks to end."""
        tasks = list(self._tasks)
        if self._threads:
            await asyncio.to_thread(self.close)
        else:
            self.close()
        await asyncio.gather(*tasks, return_exceptions=True)

    def __enter__(self) -> "Synchronized":
        return self.start()

    def __exit__(
        self, kind: type[BaseException] | None, value: BaseException | None, traceback: TracebackType | None
    ) -> None:
        self.close()

    async def __aenter__(self) -> "Synchronized":
        return await self.astart()

    async def __aexit__(
        self, kind: type[BaseException] | None, value: BaseException | None, traceback: TracebackType | None
    ) -> None:
        await self.aclose()

    def __repr__(self) -> str:
        state = "closed" if self._closed else "open"
        return (f"<quorvex.Synchronized {len(self.streams)} streams, {self.clock} clock, tolerance "
                f"{self.tolerance} s, {state}>")


def synchronized(
    streams: Sequence[_Readable] | Iterable[_Readable],
    tolerance: float,
    *,
    reset_clocks: bool = True,
    clock: Clock | None = None,
    queue_size: int = 8,
) -> Synchronized:
    """Frames of several streams matched by time, one FrameGroup (a tuple, one frame per stream
    in the streams' order) per moment all of them caught within `tolerance` seconds.

    With `reset_clocks` (the default) the cameras' clocks are reset back to back at the start
    and frames are matched by `Frame.device_timestamp`; where a reset fails, or a frame comes
    without the camera's time, by `Frame.host_time` (the arrival time) instead. `clock="device"`
    matches by the cameras' clocks without resetting them (the caller did), `clock="host"` by
    arrival. Frames that find no partner are counted in `unmatched`; each stream keeps at most
    `queue_size` frames waiting. A stream's failure (quorvex.TimeoutError, DisconnectedError,
    ...) is raised to the consumer, after the other readers are stopped; a stream that ends
    (its read raises EOFError, as a recording played to its end does) ends the iteration once
    the groups it still takes part in are out.

    Streams of recorded cameras (quorvex.open("x.qxrec")) are matched by their recorded host
    times: a recording's clock cannot be reset, and its cameras' frames share the host's clock.

        with quorvex.synchronized([left, right], tolerance=0.005) as pairs:
            for a, b in itertools.islice(pairs, 100):
                ...
    """
    return Synchronized(streams, tolerance, reset_clocks=reset_clocks, clock=clock, queue_size=queue_size)
