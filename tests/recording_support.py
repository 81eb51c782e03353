"""Recordings written byte by byte, for the tests of damaged files: the reader, the export
command and the viewer all meet the same table."""

import json
import struct
import zlib

HEADER = b"QXRECORD" + struct.pack("<II", 1, 0)
START = {"started_unix_ns": 1_700_000_000 * 10**9, "started_monotonic_ns": 10**9, "camera": {"name": "Cam"}}


def record(kind, payload):
    head = struct.pack("<4sI", kind, len(payload))
    return head + payload + struct.pack("<I", zlib.crc32(payload, zlib.crc32(head)))


def frame(time_ns=2 * 10**9, sequence=0, camera=0):
    return record(b"FRAM", struct.pack("<8sHHHHQq", b"RGB", 32, 16, 30, camera, sequence, time_ns) + bytes(32 * 16 * 3))


def meta(camera=0, flags=0b11111, stamp=1.5, sequence=7, host_ns=1_700_000_002 * 10**9, exposure=300, gain=16):
    return record(b"META", struct.pack("<HHIdQqqq", camera, 0, flags, stamp, sequence, host_ns, exposure, gain))


def recording_bytes(info=None, end=None, middle=b"", raw_info=None, raw_end=None):
    """A small RGB recording of two frames; `info`/`end` replace its INFO and END fields (JSON),
    `raw_info`/`raw_end` their whole payloads, `middle` goes between the frames."""
    info_payload = raw_info if raw_info is not None else json.dumps({**START, **(info or {})}).encode()
    end_payload = raw_end if raw_end is not None else json.dumps({"frames": 2, "dropped": 0, **(end or {})}).encode()
    return (HEADER + record(b"INFO", info_payload) + frame() + middle + frame(3 * 10**9, 1)
            + record(b"END ", end_payload))


HEADER_2 = b"QXRECORD" + struct.pack("<II", 2, 0)
CAMERAS = [{"camera": {"name": name}, "format": "RGB:32x16@30"} for name in ("Left", "Right")]


def cameras_bytes(info=None, end=None, middle=b"", first=None):
    """A recording of two cameras, a frame of each (`middle` between them); `info`/`end` replace
    fields of its INFO and END, `first` goes before its INFO."""
    info_payload = json.dumps({**START, "cameras": CAMERAS, **(info or {})}).encode()
    counts = {"frames": 1, "dropped": 0, "rejected": 0}
    end_payload = json.dumps({"frames": 2, "dropped": 0, "cameras": [counts, counts], **(end or {})}).encode()
    return (HEADER_2 + (first or b"") + record(b"INFO", info_payload) + frame(camera=0) + middle
            + frame(3 * 10**9, 0, camera=1) + record(b"END ", end_payload))


# (id, file content, what the error says)
DAMAGED = [
    ("dropped-infinity", recording_bytes(raw_end=b'{"frames": 2, "dropped": Infinity}'), "Infinity"),
    ("dropped-string", recording_bytes(end={"dropped": "3"}), "'dropped' is '3'"),
    ("dropped-float-overflow", recording_bytes(raw_end=b'{"frames": 2, "dropped": 1e999}'), "'dropped' is inf"),
    ("dropped-huge", recording_bytes(end={"dropped": 10**40}), "'dropped' is 1000"),
    ("dropped-negative", recording_bytes(end={"dropped": -1}), "'dropped' is -1"),
    ("frames-bool", recording_bytes(end={"frames": True}), "'frames' is True"),
    ("info-deep", recording_bytes(raw_info=b"[" * 200_000 + b"]" * 200_000), "malformed"),
    ("info-nested", recording_bytes(info={"extra": json.loads("[" * 40 + "]" * 40)}), "nested more than"),
    ("camera-list", recording_bytes(info={"camera": ["Cam"]}), "'camera' is a list"),
    ("camera-name-number", recording_bytes(info={"camera": {"name": 5}}), "'name' is not a string"),
    ("start-string", recording_bytes(info={"started_unix_ns": "now"}), "'started_unix_ns' is 'now'"),
    ("before-1970", recording_bytes(info={"started_unix_ns": 0, "started_monotonic_ns": 5 * 10**9}),
     "outside the range a clock shows"),
    ("past-2262", recording_bytes(info={"started_unix_ns": 2**63 - 1}), "outside the range a clock shows"),
    ("frame-time-negative", HEADER + record(b"INFO", json.dumps(START).encode()) + frame(-5), "is negative"),
    ("imu-time-negative", recording_bytes(middle=record(b"IMU ", struct.pack("<q3d3d", -1, *[0.0] * 6))),
     "is negative"),
    ("controls-list", recording_bytes(middle=record(b"CTRL", b'{"time_ns": 1, "values": [["a", 1]]}')),
     "'values' is not an object"),
    ("control-value-float", recording_bytes(middle=record(b"CTRL", b'{"time_ns": 1, "values": {"gain": 1.5}}')),
     "'gain' is 1.5"),
    ("control-time-missing", recording_bytes(middle=record(b"CTRL", b'{"values": {}}')), "'time_ns' is None"),
]

# Damaged in its first frame: it opens (with a warning) but holds no frame to export or play.
NO_FRAMES = HEADER + record(b"INFO", json.dumps(START).encode()) + frame()[:-1] + b"\0"
