"""Recordings made for the playback tests, frame by frame with chosen times, and the reader's
random access for a reader that lacks it (Recording.frame, time_ns, camera views): added only
where the reader does not have them, so nothing changes once it does."""

import os

import numpy as np

from quorvex import recording_file
from quorvex.calibration import Intrinsics
from quorvex.frame import Frame

WIDTH, HEIGHT = 32, 16
SIZE = WIDTH * HEIGHT * 3


def pixels(position):
    """The bytes of frame `position`: every byte tells which frame it is."""
    return np.full(SIZE, position % 251, np.uint8)


def write(path, times, *, info=None, controls=(), imu=(), start_ns=10**12):
    """An RGB recording whose frame k arrived at start + times[k] seconds; `controls` are
    (seconds, values) and `imu` (seconds, acceleration, rotation) pairs on the same clock."""
    info = {"started_unix_ns": 1_700_000_000 * 10**9, "started_monotonic_ns": start_ns,
            "camera": {"name": "Recorded", "index": 3, "path": "/dev/video3"}, **(info or {})}
    writer = recording_file.RecordingWriter(path, info)
    start = start_ns / 1e9
    for seconds, values in controls:
        writer.write_controls(start + seconds, values)
    for seconds, acceleration, rotation in imu:
        writer.write_imu(recording_file.ImuSample(start + seconds, acceleration, rotation))
    for position, seconds in enumerate(times):
        writer.write_frame("RGB", WIDTH, HEIGHT, 30, 100 + position, start + seconds, pixels(position))
    writer.close()
    return path


def _frame(self, index):
    entry = self._frames[index]
    with recording_file._open_regular(self.path) as file:
        file.seek(entry.offset)
        data = np.frombuffer(file.read(entry.length), np.uint8).copy()
    key = (entry.pixel_format, entry.width, entry.height, entry.fps)
    return Frame(data, recording_file._recorded_format(*key), entry.sequence, entry.time_ns / 1e9)


def _calibration(self):
    recorded = self.info.get("calibration")
    if recorded is None:
        return None
    return Intrinsics(**{**recorded, "coeffs": tuple(recorded["coeffs"])})


def _view(self, camera):
    if camera != 0:
        raise LookupError(f"{self.path} holds 1 camera; there is no camera {camera}")
    return self


def install_reader_stub():
    cls = recording_file.Recording
    if hasattr(cls, "frame"):
        return
    cls.frame = _frame
    cls.time_ns = lambda self, index: self._frames[index].time_ns
    cls.calibration = property(_calibration)
    cls.camera_count = 1
    cls.camera = 0
    cls.view = _view
    cls.close = lambda self: None
    opened = recording_file.open_recording

    def open_recording(path: os.PathLike[str] | str, *, warn: bool = True, camera: int | None = None):
        recording = opened(path, warn=warn)
        return recording if camera is None else recording.view(camera)

    recording_file.open_recording = open_recording

