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

from quorvex import Frame, Recorder, Recording, RecordingError, open_recording
from quorvex.recording_file import SUFFIX

from .capture import RETRY_AFTER, Picture, Publisher
from .pictures import to_jpeg

if TYPE_CHECKING:
    from .live import LiveCamera

MAX_GAP = 2.0  # seconds; a longer pause in a recording plays as this long
LOOP_PAUSE = 0.5  # seconds between the last frame and the first when playback starts over


class Folder:
    """The server-side folder the viewer records into, made on first use."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self._lock = threading.Lock()
        self._checked: dict[str, tuple[tuple[int, int, int], str | None]] = {}

    def names(self) -> list[str]:
        if not self.path.is_dir():
            return []
        # Links are left out: they could lead a download anywhere on the server. Hidden names
        # are recordings still being written under their temporary names.
        return sorted(entry.name for entry in self.path.iterdir()
                      if entry.suffix == SUFFIX and not entry.name.startswith(".") and entry.is_file()
                      and not entry.is_symlink())

    def damage(self, name: str) -> str | None:
        """Why the recording of this name cannot be played, or None; read once per version of
        the file (its size, time and inode)."""
        path = self.path / name
        status = path.stat()
        key = (status.st_ino, status.st_size, status.st_mtime_ns)
        known = self._checked.get(name)
        if known is not None and known[0] == key:
            return known[1]
        problem: str | None = None
        try:
            if not len(open_recording(path, warn=False)):  # one cut short plays what it holds
                problem = "it holds no frame"
        except (RecordingError, OSError) as error:
            problem = str(error).removeprefix(f"{path}: ").removeprefix(f"{path} ")
        self._checked[name] = (key, problem)
        return problem

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
    """Plays a recording's frames at their recorded pace, over and over, while watched."""

    def __init__(self, number: int, path: Path) -> None:
        super().__init__(f"quorvex-viewer-recording{number}")
        self.number = number
        self.recording: Recording = open_recording(path, warn=False)  # a problem shows in the page, not as a warning
        if not len(self.recording):
            raise ValueError(f"{path.name} holds no frame")
        self.current: Shown | None = None
        self.loops = 0
        self.error: str | None = None

    def _stream(self) -> None:
        try:
            self._play_once()
        except Exception as error:  # a file changed under the viewer: shown in the page
            self.error = str(error) or type(error).__name__
            self._stop.wait(RETRY_AFTER)

    def _play_once(self) -> None:
        sequence = self.latest.sequence if self.latest else 0
        previous_ns: int | None = None
        due = time.monotonic()
        for position, (frame, time_ns) in enumerate(self.recording.timed_frames()):
            if previous_ns is not None:
                due += min(max(time_ns - previous_ns, 0) / 1e9, MAX_GAP)
            previous_ns = time_ns
            if self._stop.wait(max(0.0, due - time.monotonic())):
                return
            jpeg = to_jpeg(frame.data, frame.format)
            sequence += 1
            self.current = Shown(position, frame, time_ns)
            self._publish(Picture(sequence, frame.data, frame.format, jpeg, time.monotonic()))
        self.loops += 1
        self._stop.wait(LOOP_PAUSE)
