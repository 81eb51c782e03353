"""A recording played as a camera: quorvex.open("session.qxrec") gives a RecordedCamera, whose
streams deliver the recorded frames at their recorded pace, with seek, pause, resume and step.

Frames are read from the file one at a time (Recording.frame), so a recording of any length
plays in the memory of one frame. Everything a stream's controls change is kept under one
condition variable, so that another thread (the viewer's request handlers) may seek, pause,
resume or step while a read waits, and the waiting read takes the change into account at once.
"""

import asyncio
import dataclasses
import os
import pathlib
import threading
import time
import weakref
from bisect import bisect_right
from collections.abc import AsyncIterator, Iterator, Mapping
from types import TracebackType
from . import recording_file
from ._library import qx
from .calibration import Intrinsics
from .camera import CameraInfo
from .errors import QuorvexError, error
from .formats import Format, FormatQuery, choose_format, find_format
from .frame import Frame
from .stream import STREAM_TIMEOUT, _deadline, _StreamTimeout
from .recording_file import SUFFIX, Recording

# A pause in a recording longer than this plays as this long (seconds); the viewer's own.
MAX_GAP = 2.0

# The library's statuses these errors carry (errors.STATUS_NAMES).
_NOT_OPEN = -3
_NOT_SUPPORTED = -7
_NOT_STREAMING = -10


class EndOfRecording(QuorvexError, EOFError):
    """A stream of a recording played without `loop` has delivered its last frame. Iterating
    the stream ends there; read() and aread() raise this."""

    def __init__(self, detail: str) -> None:
        super().__init__("RecordedStream.read", _NOT_STREAMING, "QXE_NOT_STREAMING", detail)


class SeekError(ValueError, IndexError):
    """A seek outside the recording (a ValueError and an IndexError)."""


def _not_supported(what: str) -> QuorvexError:
    return error("RecordedCamera", _NOT_SUPPORTED, what)


def is_recording_path(which: object) -> bool:
    """Whether quorvex.open() takes `which` for a recording: text or a path ending in .qxrec."""
    if isinstance(which, os.PathLike):
        which = os.fspath(which)
    return isinstance(which, str) and which.lower().endswith(SUFFIX)


def _camera_info(recorded: object, camera: int) -> CameraInfo:
    """The recorded camera information as a CameraInfo; what was not recorded is None."""
    fields = recorded if isinstance(recorded, dict) else {}
    known = {field.name for field in dataclasses.fields(CameraInfo)}
    values = {key: value for key, value in fields.items() if key in known}
    values.setdefault("index", camera)
    values.setdefault("name", "")
    values["is_quorvex"] = bool(values.get("is_quorvex", False))
    for name in known - values.keys():
        values[name] = None
    return CameraInfo(**values)


class RecordedControl:
    """A control as recorded: its value at the playback position. Setting it raises
    NotSupportedError; the recording holds no range."""

    kind = "recorded"
    min = max = step = default = None
    auto = False

    def __init__(self, camera: "RecordedCamera", name: str) -> None:
        self._camera = camera
        self.name = name

    @property
    def value(self) -> int:
        return self._camera._controls_now()[self.name]

    @value.setter
    def value(self, value: int) -> None:
        raise _not_supported(f"{self.name} of a recording cannot be set")

    def reset(self) -> None:
        raise _not_supported(f"{self.name} of a recording cannot be set")

    def __repr__(self) -> str:
        return f"<quorvex.RecordedControl {self.name}>"


class RecordedControls(Mapping[str, RecordedControl]):
    """The recorded controls by name, with the values in force at the playback position."""

    def __init__(self, camera: "RecordedCamera") -> None:
        self._camera = camera
        names: dict[str, None] = {}
        for change in camera.recording.controls:
            names.update(dict.fromkeys(change.values))
        self._names = list(names)

    def __getitem__(self, name: str) -> RecordedControl:
        if name not in self._names:
            raise KeyError(f"the recording has no control {name!r}; it has: {', '.join(self._names) or 'none'}")
        return RecordedControl(self._camera, name)

    def __iter__(self) -> Iterator[str]:
        return iter(self._names)

    def __len__(self) -> int:
        return len(self._names)

    def snapshot(self) -> dict[str, int]:
        """Every recorded control's value at the playback position, by name."""
        return dict(self._camera._controls_now())

    def reset_isp(self) -> None:
        raise _not_supported("a recording's controls cannot be set")


class RecordedImu:
    """The recorded IMU samples: a reading is the sample recorded nearest to the playback
    position. NotSupportedError when the recording holds none."""

    def __init__(self, camera: "RecordedCamera") -> None:
        self._camera = camera
        self._times = [sample.timestamp for sample in camera.recording.imu]

    @property
    def running(self) -> bool:
        """Whether the recording holds IMU samples."""
        return bool(self._times)

    def _sample(self) -> recording_file.ImuSample:
        if not self._times:
            raise _not_supported(f"{self._camera.recording.path} holds no IMU samples")
        now = self._camera._position_ns / 1e9
        after = bisect_right(self._times, now)
        nearest = min((index for index in (after - 1, after) if 0 <= index < len(self._times)),
                      key=lambda index: abs(self._times[index] - now))
        return self._camera.recording.imu[nearest]

    def acceleration(self) -> tuple[float, float, float]:
        """m/s², x, y, z, as recorded."""
        return tuple(self._sample().acceleration)  # type: ignore[return-value]

    def rotation_rate(self) -> tuple[float, float, float]:
        """°/s, x, y, z, as recorded."""
        return tuple(self._sample().angular_velocity)  # type: ignore[return-value]

    def enable(self, *args: object, **kwargs: object) -> None:
        """Nothing to switch on: a recording with samples plays them."""
        if not self._times:
            self._sample()

    def disable(self) -> None:
        raise _not_supported("a recording's IMU cannot be switched off")


class RecordedCalibration:
    def __init__(self, recording: Recording) -> None:
        self._recording = recording

    @property
    def intrinsics(self) -> Intrinsics:
        """The recorded intrinsics; NotSupportedError when the camera had none."""
        intrinsics = self._recording.calibration
        if intrinsics is None:
            raise _not_supported(f"{self._recording.path} holds no calibration")
        return intrinsics


class RecordedCamera:
    """Camera `camera` of a recording, offering what a program uses of a quorvex.Camera: `info`,
    `formats`, `find_format`, `stream()`, `controls`, `imu`, `calibration`, `timestamp`. Its
    controls, IMU and timestamp follow the playback position: the frame a stream of it
    delivered last (before any, the first frame). quorvex.open("x.qxrec") returns one open;
    `with` closes it."""

    def __init__(self, path: str | os.PathLike[str], *, camera: int = 0, paced: bool = True,
                 loop: bool = False, warn: bool = True) -> None:
        if isinstance(camera, bool) or not isinstance(camera, int):
            raise TypeError(f"camera is a camera's number in the recording, not {camera!r}")
        # `warn`: open_recording's (a recording cut short warns unless False).
        self.recording: Recording = recording_file.open_recording(path, warn=warn, camera=camera)
        if not len(self.recording):
            self.recording.close()
            raise recording_file.RecordingError(f"{self.recording.path} holds no frame of camera {camera}")
        self.index = camera
        self.paced = bool(paced)
        self.loop = bool(loop)
        self._open = True
        self._position_ns = self.recording.time_ns(0)
        self.streams: weakref.WeakSet[RecordedStream] = weakref.WeakSet()
        self._file_lock = threading.Lock()  # one frame read from the file at a time
        self._control_times = [change.timestamp for change in self.recording.controls]

    @property
    def path(self) -> pathlib.Path:
        return self.recording.path

    @property
    def is_open(self) -> bool:
        return self._open

    @property
    def is_connected(self) -> bool:
        return self._open

    @property
    def info(self) -> CameraInfo:
        """The recorded camera information."""
        return _camera_info(self.recording.info.get("camera"), self.index)

    @property
    def formats(self) -> list[Format]:
        """The formats of the recorded frames, in order of first appearance."""
        return self.recording.formats

    def find_format(self, pixel_format: str | None = None, width: int | None = None, height: int | None = None,
                    fps: int | None = None) -> Format:
        """As Camera.find_format, among the recorded formats."""
        return find_format(self.formats, FormatQuery.of(pixel_format, width, height, fps))

    def stream(self, format: Format | str | None = None, timeout: float | None = 1.0, *,
               exposure_and_gain: bool = False, reconnect: bool = False,
               reconnect_timeout: float | None = 10.0) -> "RecordedStream":
        """A stream of the recording's frames, from the playback position on. `format` must be
        a recorded one (None: the first); a recording whose format changed plays every frame,
        each with its own format. `exposure_and_gain`, `reconnect` and `reconnect_timeout` are
        accepted for a live stream's sake and change nothing: frames carry what was recorded,
        and a recording is never unplugged."""
        if not self._open:
            raise error("RecordedCamera", _NOT_OPEN, f"{self.path} is closed")
        chosen = choose_format(self.formats, format, str(self.path))
        return RecordedStream(self, chosen, timeout)

    @property
    def controls(self) -> RecordedControls:
        return RecordedControls(self)

    @property
    def imu(self) -> RecordedImu:
        return RecordedImu(self)

    @property
    def calibration(self) -> RecordedCalibration:
        return RecordedCalibration(self.recording)

    @property
    def timestamp(self) -> float:
        """Seconds from the first frame to the playback position, by the recorded host times."""
        return (self._position_ns - self.recording.time_ns(0)) / 1e9

    def reset_timestamp(self) -> None:
        """A recording's clock cannot be reset: NotSupportedError (synchronized() then matches
        frames by their recorded host times, which the cameras of one recording share)."""
        raise _not_supported("a recording's clock cannot be reset")

    def _controls_now(self) -> dict[str, int]:
        changes = self.recording.controls
        if not changes:
            return {}
        at = bisect_right(self._control_times, self._position_ns / 1e9)
        return dict(changes[max(at - 1, 0)].values)

    def _frame(self, position: int) -> Frame:
        with self._file_lock:
            return self.recording.frame(position)

    def close(self) -> None:
        """Stops its streams and closes the file. Idempotent."""
        if not self._open:
            return
        self._open = False
        for stream in list(self.streams):
            stream.stop()
        self.recording.close()

    def __enter__(self) -> "RecordedCamera":
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "open" if self._open else "closed"
        return f"<quorvex.RecordedCamera {self.index} of {self.path.name} {state}, {len(self.recording)} frames>"


class RecordedStream:
    """The frames of a RecordedCamera, as a quorvex.Stream delivers a camera's.

    Paced (the camera's default), frame k is due `t_k - t_j` after frame j by the recorded host
    times, a gap longer than MAX_GAP seconds counting as MAX_GAP; a frame read late does not
    make the next one later (the pace catches up). Unpaced, frames come as fast as they are read.
    A frame's `index` is its position in the camera's recording (so it starts again at 0 on
    every loop; `loops` counts the loops), `timestamp` the recorded host monotonic time; its
    other metadata is as recorded. `frames_read` counts every frame delivered.

    seek(), pause(), resume() and step() may be called from any thread, also while a read
    waits. Without `loop`, the end of the recording ends iteration; read() raises
    EndOfRecording. Stopping keeps the position: start() plays on from there."""

    def __init__(self, camera: RecordedCamera, format: Format, timeout: float | None = 1.0) -> None:
        self.camera = camera
        self.format = format
        self.timeout = timeout
        self.paced = camera.paced
        self.loop = camera.loop
        # Seconds between the last frame and the first when looping (paced); the viewer's longer.
        self.loop_pause = 1 / format.fps if format.fps > 0 else 0.0
        self._length = len(camera.recording)
        self._condition = threading.Condition()
        self._waiters: set[tuple[asyncio.AbstractEventLoop, asyncio.Event]] = set()
        self._streaming = False
        self._paused = False
        self._next = 0  # the position of the frame the next read delivers
        self._due = 0.0  # when it is due (time.monotonic()), while playing
        self._left = 0.0  # while paused: how long after resume() it is due
        self._frames = 0
        self._loops = 0
        self._moves = 0  # seeks so far: a frame taken before one is not put back after it
        self._taken: tuple[int, int] | None = None  # the frame taken last: (its position, seeks then)

    # -- state

    @property
    def is_streaming(self) -> bool:
        return self._streaming

    @property
    def frames_read(self) -> int:
        return self._frames

    @property
    def dropped(self) -> int:
        """Always 0: a recording's frames are all delivered."""
        return 0

    @property
    def reconnects(self) -> int:
        return 0

    @property
    def position(self) -> int:
        """The position of the frame the next read delivers."""
        return self._next

    @property
    def paused(self) -> bool:
        return self._paused

    @property
    def loops(self) -> int:
        """How many times the stream went from the last frame back to the first."""
        return self._loops

    def __len__(self) -> int:
        return self._length

    def _changed(self) -> None:
        """Wakes every waiting read; call with the condition held."""
        self._condition.notify_all()
        for loop, event in list(self._waiters):
            try:
                loop.call_soon_threadsafe(event.set)
            except RuntimeError:  # that event loop is closed
                self._waiters.discard((loop, event))

    def _gap(self, position: int) -> float:
        """Seconds from the frame at `position` to the one after it, as played."""
        if not self.paced:
            return 0.0
        if position + 1 >= self._length:
            return self.loop_pause
        recording = self.camera.recording
        return min(max(recording.time_ns(position + 1) - recording.time_ns(position), 0) / 1e9, MAX_GAP)

    # -- control

    def start(self) -> "RecordedStream":
        """Starts playing from the position (the context manager does this); the frame there
        is due at once."""
        with self._condition:
            if not self.camera.is_open:
                raise error("RecordedCamera", _NOT_OPEN, f"{self.camera.path} is closed")
            if not self._streaming:
                self._streaming = True
                self._due = time.monotonic()
                self._left = 0.0
                self.camera.streams.add(self)
                self._changed()
        return self

    def stop(self) -> None:
        """Stops the stream; a waiting read raises RuntimeError. Idempotent."""
        with self._condition:
            self._streaming = False
            self.camera.streams.discard(self)
            self._changed()

    def seek(self, frame: int | None = None, *, seconds: float | None = None) -> None:
        """Moves the position to frame `frame` (a position, 0 to len - 1), or to the last frame
        recorded at most `seconds` after the first one (0 to the recording's length in
        seconds); the next read delivers it, at once. SeekError (a ValueError and an
        IndexError) outside the recording; TypeError unless exactly one is given."""
        if (frame is None) == (seconds is None):
            raise TypeError("seek takes a frame or seconds (one of them)")
        recording = self.camera.recording
        if frame is not None:
            if isinstance(frame, bool) or not isinstance(frame, int):
                raise TypeError(f"seek's frame is a whole number, not {frame!r}")
            if not 0 <= frame < self._length:
                raise SeekError(f"frame {frame} is outside the recording: it holds frames 0 to {self._length - 1}")
            target = frame
        else:
            seconds = float(seconds)  # type: ignore[arg-type]
            first = recording.time_ns(0)
            length = (recording.time_ns(self._length - 1) - first) / 1e9
            if not 0 <= seconds <= length:
                raise SeekError(f"{seconds} s is outside the recording: it lasts {length:.3f} s from its first frame")
            limit = first + round(seconds * 1e9)
            low, high = 0, self._length  # the first frame recorded after `limit`
            while low < high:
                middle = (low + high) // 2
                if recording.time_ns(middle) <= limit:
                    low = middle + 1
                else:
                    high = middle
            target = max(low - 1, 0)
        with self._condition:
            self._next = target
            self._due = time.monotonic()
            self._left = 0.0
            self._moves += 1
            self._changed()

    def pause(self) -> None:
        """Holds the position: reads wait (and time out) until resume() or step()."""
        with self._condition:
            if not self._paused:
                self._paused = True
                self._left = max(0.0, self._due - time.monotonic())
                self._changed()

    def resume(self) -> None:
        """Plays on; the next frame is due as long after this as it was after the pause."""
        with self._condition:
            if self._paused:
                self._paused = False
                self._due = time.monotonic() + self._left
                self._changed()

    def step(self) -> Frame:
        """Pauses the stream (if it plays) and returns the next frame at once, also while the
        stream is stopped; EndOfRecording after the last frame without loop."""
        with self._condition:
            self._paused = True
            position = self._claim()
            self._left = self._gap(position)
            self._changed()
        return self._load(position)

    # -- reading

    def _claim(self) -> int:
        """Takes the frame at the position and moves on; call with the condition held."""
        if self._next >= self._length:
            if not self.loop:
                raise EndOfRecording(f"{self.camera.path} ends after its {self._length} frames")
            self._next = 0
            self._loops += 1
        position = self._next
        self._next += 1
        self._frames += 1
        self._taken = position, self._moves
        return position

    def put_back(self, frame: Frame) -> bool:
        """Gives back `frame`, the frame read last, for a reader that will not use it after all:
        the next read or step delivers it again. Whether it could: not once the position has
        moved since (a seek, or another read or step)."""
        with self._condition:
            return self._put_back(frame.index)

    def _put_back(self, position: int) -> bool:
        """put_back() by position; call with the condition held."""
        if self._taken != (position, self._moves) or self._next != position + 1:
            return False
        self._next, self._frames, self._taken = position, self._frames - 1, None
        self._changed()
        return True

    def _try_claim(self) -> tuple[int | None, float | None]:
        """(the position taken, None), or (None, seconds to wait before trying again; None: until
        something changes). Call with the condition held."""
        if not self._streaming:
            raise RuntimeError(f"the {self.format} stream of {self.camera.path.name} is stopped")
        if self._next >= self._length and not self.loop:
            raise EndOfRecording(f"{self.camera.path} ends after its {self._length} frames")
        if self._paused:
            return None, None
        wait = self._due - time.monotonic() if self.paced else 0.0
        if wait > 0:
            return None, wait
        position = self._claim()
        # The pace holds against the due time, not the read: a late reader catches up.
        self._due = max(self._due, time.monotonic() - MAX_GAP) + self._gap(position)
        return position, None

    def _load(self, position: int) -> Frame:
        recorded = self.camera._frame(position)
        self.camera._position_ns = self.camera.recording.time_ns(position)
        return Frame._arrived(recorded.data, recorded.format, position, recorded.timestamp, recorded.device_timestamp,
                              recorded.sequence, recorded.host_time, recorded.exposure, recorded.gain)

    def _timed_out(self, timeout: float | None) -> QuorvexError:
        return error("QxGetImage", qx.QX_TIMEOUT, f"{self.format} of {self.camera.path.name}, timeout {timeout} s")

    def read(self, timeout: float | None | _StreamTimeout = STREAM_TIMEOUT) -> Frame:
        """The next frame, waiting for its time (paced) and while paused, up to `timeout` seconds
        (by default the stream's; None or math.inf: no limit): quorvex.TimeoutError when it did
        not come, EndOfRecording after the last frame without loop, RuntimeError when stopped.
        The stream's own timeout (iteration, read() without one) counts from the time the frame
        is due, so that a pause the recording holds is not taken for a camera that stopped."""
        own = isinstance(timeout, _StreamTimeout)
        if isinstance(timeout, _StreamTimeout):
            timeout = self.timeout
        deadline = _deadline(timeout)
        with self._condition:
            while True:
                position, wait = self._try_claim()
                if position is not None:
                    break
                deadline = _patient(deadline, own, wait, timeout)
                left = None if deadline is None else deadline - time.monotonic()
                if left is not None and left <= 0:
                    raise self._timed_out(timeout)
                self._condition.wait(_least(wait, left))
        return self._load(position)

    async def aread(self, timeout: float | None | _StreamTimeout = STREAM_TIMEOUT) -> Frame:
        """As read(), waiting on the event loop; the file is read on a worker thread. Cancelling
        it is safe: a frame taken but not delivered is taken again by the next read."""
        own = isinstance(timeout, _StreamTimeout)
        if isinstance(timeout, _StreamTimeout):
            timeout = self.timeout
        deadline = _deadline(timeout)
        woken = asyncio.Event()
        waiter = (asyncio.get_running_loop(), woken)
        with self._condition:
            self._waiters.add(waiter)
        try:
            while True:
                woken.clear()
                with self._condition:
                    position, wait = self._try_claim()
                if position is not None:
                    break
                deadline = _patient(deadline, own, wait, timeout)
                left = None if deadline is None else deadline - time.monotonic()
                if left is not None and left <= 0:
                    raise self._timed_out(timeout)
                try:
                    await asyncio.wait_for(woken.wait(), _least(wait, left))
                except asyncio.TimeoutError:
                    pass
        finally:
            with self._condition:
                self._waiters.discard(waiter)
        try:
            return await asyncio.to_thread(self._load, position)
        except asyncio.CancelledError:
            with self._condition:
                self._put_back(position)
            raise

    def __iter__(self) -> Iterator[Frame]:
        while True:
            try:
                frame = self.read()
            except EndOfRecording:
                return
            yield frame

    def __aiter__(self) -> AsyncIterator[Frame]:
        return self._frames_async()

    async def _frames_async(self) -> AsyncIterator[Frame]:
        while True:
            try:
                frame = await self.aread()
            except EndOfRecording:
                return
            yield frame

    def __enter__(self) -> "RecordedStream":
        return self.start()

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.stop()

    async def __aenter__(self) -> "RecordedStream":
        return self.start()

    async def __aexit__(self, kind: type[BaseException] | None, value: BaseException | None,
                        traceback: TracebackType | None) -> None:
        self.stop()

    def __repr__(self) -> str:
        state = "paused" if self._paused else "streaming" if self._streaming else "stopped"
        return (f"<quorvex.RecordedStream {self.format} of {self.camera.path.name} {state}, position "
                f"{self._next} of {self._length}, {self._frames} frames read>")


def _patient(deadline: float | None, own: bool, wait: float | None, timeout: float | None) -> float | None:
    """The deadline of a read waiting `wait` seconds for its frame's recorded time: moved to
    `timeout` after that time for a read with the stream's own timeout."""
    if not own or wait is None or deadline is None or timeout is None:
        return deadline
    return max(deadline, time.monotonic() + wait + timeout)


def _least(*waits: float | None) -> float | None:
    given = [wait for wait in waits if wait is not None]
    return max(0.0, min(given)) if given else None


__all__ = ["MAX_GAP", "EndOfRecording", "RecordedCamera", "RecordedStream", "SeekError"]
