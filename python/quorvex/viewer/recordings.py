"""Recordings in the viewer: the server's folder of recordings, made from a camera's capture
loop, and playback of a recording as a picture source of its own.

Names in the folder are made here and only ever looked up in a listing of the folder, so a
name a client sends cannot reach any other file.
"""

from __future__ import annotations

import threading
import time
from dataclasses import dataclass
from datetime import datetime
from pathlib import Path
from typing import TYPE_CHECKING

from quorvex import Frame, RecordedCamera, RecordedStream, Recorder, Recording, RecordingError, open_recording
from quorvex.recording_file import SUFFIX

from .capture import READ_TIMEOUT, RETRY_AFTER, Picture, Publisher
from .pictures import to_jpeg

if TYPE_CHECKING:
    from .live import LiveCamera

LOOP_PAUSE = 0.5  # seconds between the last frame and the first when playback starts over


class Folder:
    """The server-side folder the viewer records into, made on first use."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self._lock = threading.Lock()
        # name -> (the file's version, why it cannot be played or None, its cameras)
        self._checked: dict[str, tuple[tuple[int, int, int], str | None, int]] = {}

    def names(self) -> list[str]:
        if not self.path.is_dir():
            return []
        # Links are left out: they could lead a download anywhere on the server. Hidden names
        # are recordings still being written under their temporary names.
        return sorted(entry.name for entry in self.path.iterdir()
                      if entry.suffix == SUFFIX and not entry.name.startswith(".") and entry.is_file()
                      and not entry.is_symlink())

    def damage(self, name: str) -> tuple[str | None, int]:
        """Why the recording of this name cannot be played (or None), and how many cameras it
        holds; read once per version of the file (its size, time and inode)."""
        path = self.path / name
        status = path.stat()
        key = (status.st_ino, status.st_size, status.st_mtime_ns)
        known = self._checked.get(name)
        if known is not None and known[0] == key:
            return known[1], known[2]
        problem: str | None = None
        cameras = 1
        try:
            with open_recording(path, warn=False) as recording:
                cameras = recording.camera_count
                if not len(recording):  # one cut short plays what it holds
                    problem = "it holds no frame"
        except (RecordingError, OSError) as error:
            problem = str(error).removeprefix(f"{path}: ").removeprefix(f"{path} ")
        self._checked[name] = (key, problem, cameras)
        return problem, cameras

    def find(self, name: str) -> Path | None:
        """The recording of this name, None for any name the listing lacks."""
        return self.path / name if name in self.names() else None

    def recorder(self, camera: LiveCamera) -> Recorder:
        """A Recorder on a new file named after the camera and the time."""
        with self._lock:  # two starts in the same second get two names
            self.path.mkdir(parents=True, exist_ok=True)
            stem = f"camera{camera.index}-{datetime.now():%Y%m%d-%H%M%S}"
            taken = set(self.names())
            name, number = stem + SUFFIX, 1
            while name in taken:
                number += 1
                name = f"{stem}-{number}{SUFFIX}"
            return camera.recorder(self.path / name)


@dataclass
class Session:
    """A camera's recording in progress."""

    recorder: Recorder
    started: float

    @property
    def name(self) -> str:
        return self.recorder.path.name


@dataclass(frozen=True)
class Shown:
    """The frame a playback published last, with its place in the recording."""

    position: int
    frame: Frame
    time_ns: int


class Playback(Publisher):
    """Plays a recording's frames at their recorded pace, over and over, while watched: a
    RecordedStream, which also pauses, seeks and steps on the page's request."""

    def __init__(self, number: int, path: Path, camera: int = 0) -> None:
        super().__init__(f"quorvex-viewer-recording{number}")
        self.number = number
        # A problem shows in the page, not as a warning.
        self.camera = RecordedCamera(path, camera=camera, paced=True, loop=True, warn=False)
        self.recording: Recording = self.camera.recording
        self.stream: RecordedStream = self.camera.stream(timeout=READ_TIMEOUT)
        self.stream.loop_pause = LOOP_PAUSE
        self.current: Shown | None = None
        self.error: str | None = None
        self._show_lock = threading.Lock()  # the loop and a step publish in turn

    @property
    def loops(self) -> int:
        return self.stream.loops

    @property
    def paused(self) -> bool:
        return self.stream.paused

    def showing(self) -> tuple[Picture | None, Shown | None]:
        """The picture published last and the recording's frame it shows, as one."""
        with self._show_lock:
            return self.latest, self.current

    def pause(self) -> None:
        # In turn with the loop's showing: a frame it read just before is given back, not shown
        # after the pause has answered with the frame before it.
        with self._show_lock:
            self.stream.pause()

    def resume(self) -> None:
        self.stream.resume()

    def step(self) -> None:
        """Pauses and shows the next frame."""
        self._show(self.stream.step())

    def seek(self, frame: int | None = None, seconds: float | None = None) -> None:
        """Plays on from the frame asked for; paused, shows it at once."""
        self.stream.seek(frame, seconds=seconds)
        if self.stream.paused:
            self.step()

    def shutdown(self) -> None:
        super().shutdown()
        self.camera.close()

    def _stream(self) -> None:
        # Stopped whenever nobody watches, so that it goes on from where it was, not from where
        # the recorded pace would have brought it meanwhile.
        try:
            self.stream.start()
            while not self._stop.is_set():
                try:
                    frame = self.stream.read(READ_TIMEOUT)
                except TimeoutError:  # paused, or the next frame is not due yet
                    continue
                self._show(frame, played=True)
        except Exception as error:  # a file changed under the viewer: shown in the page
            self.error = str(error) or type(error).__name__
            self._stop.wait(RETRY_AFTER)
        finally:
            self.stream.stop()

    def _show(self, frame: Frame, played: bool = False) -> None:
        """Publishes `frame`; one the loop `played` but a pause or step overtook goes back to
        the stream instead (where the position has not moved on meanwhile)."""
        jpeg = to_jpeg(frame.data, frame.format)
        with self._show_lock:
            if played and self.stream.paused:
                self.stream.put_back(frame)
                return
            sequence = (self.latest.sequence if self.latest else 0) + 1
            self.current = Shown(frame.index, frame, self.recording.time_ns(frame.index))
            self._publish(Picture(sequence, frame.data, frame.format, jpeg, time.monotonic(), frame.sequence,
                                  frame.device_timestamp, frame.host_time))
        self.error = None
