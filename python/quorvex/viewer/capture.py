"""One capture loop per camera, shared by every client that watches it.

A loop runs in a thread of its own while at least one client watches: it reads frames, turns
each into JPEG and keeps only the latest. Clients never wait on the camera: they wait for the
loop to announce a new frame, so ten clients cost one capture and ten cheap copies of a
reference. When the last client leaves, the loop stops streaming and its thread ends.

A client slower than the camera skips to the latest picture; each subscription counts what it
delivered and passed over, so that a page can be told what it gets rather than what the camera
gives.
"""

from __future__ import annotations

import asyncio
import contextlib
import itertools
import threading
import time
from collections import deque
from collections.abc import AsyncIterator
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from quorvex import Format, Frame, Recorder
from quorvex.pixels import Pixels

from .pictures import to_jpeg

if TYPE_CHECKING:
    from .live import LiveCamera

READ_TIMEOUT = 0.25  # seconds; bounds how long stopping a loop can take
RETRY_AFTER = 1.0  # seconds between attempts to restart a failing camera
STATS_WINDOW = 2.0  # seconds of frames the rates are measured over


class Window:
    """What happened over the last STATS_WINDOW seconds: each delivered frame's time, size and
    the frames lost just before it. Bounded by the window; cleared when `key` (the format
    measured) changes, so that a new format starts from nothing."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._events: deque[tuple[float, int, int]] = deque()  # (time, bytes, frames lost before it)
        self._started: float | None = None  # the first frame's time since the window was last emptied
        self.key: object = None

    def add(self, at: float, size: int, lost: int = 0, key: object = None) -> None:
        with self._lock:
            events = self._events
            if key != self.key:
                events.clear()
                self._started = None
                self.key = key
            if self._started is None:
                self._started = at
            events.append((at, size, lost))
            while events and events[0][0] < at - STATS_WINDOW:
                events.popleft()

    def clear(self) -> None:
        with self._lock:
            self._events.clear()
            self._started = None

    def rates(self, key: object = None) -> tuple[float, float, int]:
        """Frames and bytes per second, and frames lost, over the last STATS_WINDOW seconds;
        nothing while the window measures another key than `key`.

        The rates divide by the time measured up to now, not by the span between the first and
        last frame: frames that come in bursts (a client behind full socket buffers) count at
        the pace they really came, and a stall lowers the rate while it lasts."""
        with self._lock:
            if key != self.key or self._started is None:
                return 0.0, 0.0, 0
            now = time.monotonic()
            recent = [event for event in self._events if event[0] >= now - STATS_WINDOW]
            measured = now - self._started
        lost = sum(event[2] for event in recent)
        if measured >= STATS_WINDOW:
            return len(recent) / STATS_WINDOW, sum(event[1] for event in recent) / STATS_WINDOW, lost
        # Less than a window since the first frame: time runs from that frame, which is not counted.
        if len(recent) < 2:
            return 0.0, 0.0, lost
        return (len(recent) - 1) / measured, sum(event[1] for event in recent[1:]) / measured, lost


@dataclass(frozen=True)
class Picture:
    """One frame as the loop publishes it: the raw bytes, their format, and the JPEG made of them;
    `sequence` counts the loop's pictures, the rest is what the camera told about the frame
    (None where it told nothing)."""

    sequence: int
    raw: Pixels
    format: Format
    jpeg: bytes
    arrived: float
    camera_sequence: int | None = None
    device_timestamp: float | None = None
    host_time: float | None = None


@dataclass(eq=False)  # compared and hashed by identity: one per client
class Subscription:
    """A client's claim on a publisher's pictures, from `Publisher.subscribe`; `client` is the
    name the client gave its stream, to find its figures by (see `delivered`)."""

    publisher: Publisher
    loop: asyncio.AbstractEventLoop
    client: str | None = None
    event: asyncio.Event = field(default_factory=asyncio.Event)
    window: Window = field(default_factory=Window)
    order: int = field(default=0, init=False)  # the later of two with one name is the one shown
    sent: int = field(default=0, init=False)  # pictures delivered
    skipped: int = field(default=0, init=False)  # pictures published meanwhile that it never got
    _last: int | None = field(default=None, init=False)  # the sequence delivered last

    def delivered(self, picture: Picture) -> None:
        """Counts `picture` as handed to the client, and the ones it passed over to get it."""
        skipped = picture.sequence - self._last - 1 if self._last is not None else 0
        self._last = picture.sequence
        self.sent += 1
        self.skipped += max(0, skipped)
        self.window.add(time.monotonic(), len(picture.jpeg), max(0, skipped), picture.format)

    async def next_picture(self, after: int) -> Picture | None:
        """The first picture newer than sequence number `after`, waiting for it if need be;
        None once the viewer is shutting down."""
        publisher = self.publisher
        while True:
            if publisher.ended:
                return None
            picture = publisher.latest
            if picture is not None and picture.sequence > after:
                return picture
            await self.event.wait()
            self.event.clear()


class Publisher:
    """Runs `_stream` in a thread of its own while a client watches (or a hold keeps it), and
    wakes the clients for each picture it publishes."""

    def __init__(self, thread_name: str) -> None:
        self._thread_name = thread_name
        self._lock = threading.Lock()
        self._subscriptions: set[Subscription] = set()
        self._order = itertools.count()
        self._thread: threading.Thread | None = None  # the loop's, while it goes on
        self._last_thread: threading.Thread | None = None
        self._stop = threading.Event()
        self._holds = 0  # recordings that keep the loop going with no client watching
        self.ended = False
        self.latest: Picture | None = None

    # Clients

    @property
    def clients(self) -> int:
        with self._lock:
            return len(self._subscriptions)

    @property
    def running(self) -> bool:
        thread = self._last_thread
        return thread is not None and thread.is_alive()

    def subscription(self, client: str) -> Subscription | None:
        """The latest subscription held under the name `client`, while it is held."""
        with self._lock:
            named = [s for s in self._subscriptions if s.client == client]
        return max(named, key=lambda s: s.order) if named else None

    @contextlib.asynccontextmanager
    async def subscribe(self, client: str | None = None) -> AsyncIterator[Subscription]:
        """Keeps the loop running while the subscription is held; `client` names it."""
        subscription = Subscription(self, asyncio.get_running_loop(), client)
        subscription.order = next(self._order)
        with self._lock:
            self._subscriptions.add(subscription)
            self._start_locked()
        try:
            yield subscription
        finally:
            # The loop notices within one read timeout and ends its thread; joining here would
            # hold up the event loop.
            with self._lock:
                self._subscriptions.discard(subscription)
                if not self._subscriptions and not self._holds:
                    self._stop.set()

    def hold(self, held: bool) -> None:
        """Keeps the loop running, clients or not, from hold(True) until hold(False)."""
        with self._lock:
            self._holds = self._holds + 1 if held else max(0, self._holds - 1)
            if self._holds:
                self._start_locked()
            elif not self._subscriptions:
                self._stop.set()

    def _start_locked(self) -> None:
        self._stop.clear()
        if self._thread is not None:
            return  # the running loop decides to go on under this lock, so it sees the clear
        self._thread = threading.Thread(target=self._run, name=self._thread_name, daemon=True)
        self._last_thread = self._thread
        self._thread.start()

    def join(self, timeout: float = 5.0) -> None:
        thread = self._last_thread
        if thread is not None:
            thread.join(timeout)

    def end_clients(self) -> None:
        """Wakes every client with no picture, so that their streams end: a server waiting
        for its responses to finish would otherwise wait for ever on endless streams."""
        with self._lock:
            self.ended = True
            subscriptions = list(self._subscriptions)
        self._wake(subscriptions)

    def shutdown(self) -> None:
        with self._lock:
            self._subscriptions.clear()
            self._holds = 0
            self._stop.set()
        self.join()

    def _publish(self, picture: Picture) -> None:
        self.latest = picture
        with self._lock:
            subscriptions = list(self._subscriptions)
        self._wake(subscriptions)

    @staticmethod
    def _wake(subscriptions: list[Subscription]) -> None:
        for subscription in subscriptions:
            try:
                subscription.loop.call_soon_threadsafe(subscription.event.set)
            except RuntimeError:  # that client's event loop is gone
                pass

    def _run(self) -> None:
        while True:
            with self._lock:
                if self._stop.is_set():
                    self._thread = None
                    return
            self._stream()

    def _stream(self) -> None:
        raise NotImplementedError


class Capture(Publisher):
    def __init__(self, camera: LiveCamera) -> None:
        super().__init__(f"quorvex-viewer-camera{camera.index}")
        self.camera = camera
        self._restart = threading.Event()
        self._paused = 0
        self._streaming = False  # the loop's stream may be on: pause() waits while it is
        self.error: str | None = None
        # The frames of the current stream, and the time and camera sequence of its last one.
        self.window = Window()
        self._previous: tuple[float, int | None] | None = None
        self.frames = 0
        self.dropped = 0  # since the camera was opened; the window has the recent ones
        self.recorder: Recorder | None = None  # fed every frame while set
        self.recording_error: str | None = None

    # Changes that need the stream stopped

    def restart(self) -> None:
        """Starts the stream again with the camera's (new) format from the next frame on."""
        self._restart.set()

    def pause(self) -> None:
        """Stops streaming until `resume`, for work the camera refuses while streaming."""
        with self._lock:
            self._paused += 1
        self._restart.set()
        # Wait until the loop has stopped the stream (it checks at least once per read timeout).
        deadline = time.monotonic() + 5 * READ_TIMEOUT + 1
        while self._streaming and time.monotonic() < deadline:
            time.sleep(0.01)

    def resume(self) -> None:
        with self._lock:
            self._paused = max(0, self._paused - 1)
        self._restart.set()

    # The loop

    def _count(self, arrived: float, size: int, fmt: Format, sequence: int | None) -> None:
        """Counts a frame the camera delivered and those it lost before it: by the camera's
        frame counter where it has one, else by the time since the previous frame."""
        previous, self._previous = self._previous, (arrived, sequence)
        missed = 0
        if previous is not None:
            last_arrived, last_sequence = previous
            if sequence is not None and last_sequence is not None:
                missed = max(0, sequence - last_sequence - 1)
            elif fmt.fps > 0:
                gap = arrived - last_arrived
                # A gap of well over one frame period means frames the camera did not deliver.
                if gap > 1.5 / fmt.fps:
                    missed = max(0, round(gap * fmt.fps) - 1)
        self.dropped += missed
        self.frames += 1
        self.window.add(arrived, size, missed, fmt)

    def rates(self) -> tuple[float, float, int]:
        """Frames and bytes per second, and frames the camera lost, over the last STATS_WINDOW
        seconds of the current format."""
        return self.window.rates(self.camera.format)

    def record_into(self, recorder: Recorder | None) -> str | None:
        """Feeds every frame to `recorder` from now on, keeping the loop running; None stops
        that and returns why the recording failed, if it did."""
        if recorder is not None:
            self.recording_error = None
            self.recorder = recorder
            self.hold(True)
            return None
        self.recorder = None
        self.hold(False)
        return self.recording_error

    def _record(self, frame: Pixels, fmt: Format, sequence: int, arrived: float) -> None:
        # Recorder.add only queues (or counts a drop), so the live picture never waits on the disk.
        recorder = self.recorder
        if recorder is None or self.recording_error is not None:
            return
        try:
            recorder.add(Frame(frame, fmt, sequence, arrived))
        except (OSError, RuntimeError) as error:  # a full disk: the recording stops, the picture goes on
            if self.recorder is recorder:  # not merely stopped while this frame was on its way
                self.recording_error = str(error)

    def _stream(self) -> None:
        """Streams until told to stop or restart; after a failure, returns having waited a while."""
        # Cleared before `_paused` is read: pause() raises `_paused` before it sets `_restart`,
        # so a pause is seen here or ends the stream below, never lost in between.
        self._restart.clear()
        if self._paused:
            self._restart.wait(READ_TIMEOUT)
            return
        fmt = self.camera.format
        if fmt is None:
            self.error = "the camera offers no format"
            self._stop.wait(RETRY_AFTER)
            return
        sequence = self.latest.sequence if self.latest else 0
        self.window.clear()
        self._previous = None
        # Set before starting, so that pause() waits for a stream still being started too.
        self._streaming = True
        failed = False
        try:
            try:
                self.camera.start(fmt)
            except Exception as error:
                raise RuntimeError(f"cannot start streaming: {error}") from error
            while not self._stop.is_set() and not self._restart.is_set():
                captured = self.camera.read(READ_TIMEOUT)
                if captured is None:
                    continue
                frame = captured.data
                arrived = time.monotonic()
                jpeg = to_jpeg(frame, fmt)
                sequence += 1
                self._count(arrived, frame.nbytes, fmt, captured.sequence)
                self.error = None
                self._publish(Picture(sequence, frame, fmt, jpeg, arrived, captured.sequence,
                                      captured.device_timestamp, captured.host_time))
                self._record(frame, fmt, sequence, arrived)
        except Exception as error:  # a failing camera is shown in the page; the viewer carries on
            self.error = str(error) or type(error).__name__
            failed = True
        finally:
            self.camera.stop()
            self._streaming = False
        if failed:
            self._stop.wait(RETRY_AFTER)
