"""Recordings made for the playback tests, frame by frame with chosen times."""

import numpy as np

from quorvex import recording_file

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
