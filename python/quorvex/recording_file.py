"""The recording file: frames as the camera delivered them, with the camera's information, its
control values and IMU samples (emulator/README.md, "Recordings", describes the layout, which
the emulated library replays as a camera). RecordingWriter writes one record by record;
open_recording() reads and checks one.

Files are only ever appended to, so a recording cut short (a crash, Ctrl-C, a killed process)
reads up to its last complete record.
"""

import io
import json
import os
import pathlib
import stat
import struct
import time
import warnings
import zlib
from collections.abc import Buffer, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from ._files import OutputFile
from .formats import Format
from .frame import Frame
from .pixels import PIXEL_FORMATS

MAGIC = b"QXRECORD"
VERSION = 1
SUFFIX = ".qxrec"

_FILE_HEADER = struct.Struct("<8sII")  # magic, version, flags (0)
_RECORD_HEADER = struct.Struct("<4sI")  # type, payload length; then the payload and its CRC-32
_CRC = struct.Struct("<I")
_FRAME_HEADER = struct.Struct("<8sHHHHQq")  # format, width, height, fps, 0, sequence, host time ns

# The limits every reader of the format applies; the emulated library's replay holds the same
# (qx_emulator.limits(), which a test compares with these).
MIN_WIDTH, MIN_HEIGHT, MAX_SIDE, MAX_FPS = 32, 16, 8192, 255
MAX_FRAME_PAYLOAD = _FRAME_HEADER.size + MAX_SIDE * MAX_SIDE * 4
MAX_OTHER_PAYLOAD = 1 << 20
MAX_FRAMES = 1 << 21
MAX_FORMATS = 256
_IMU = struct.Struct("<q3d3d")  # host time ns, accelerometer m/s², gyroscope °/s

_INFO, _CONTROLS, _FRAME, _IMU_SAMPLE, _END = b"INFO", b"CTRL", b"FRAM", b"IMU ", b"END "

# A JSON object of a record: the recording's information, its summary.
JsonObject = dict[str, Any]


class RecordingError(ValueError):
    """A file that is not a recording this version of quorvex can read."""


def _monotonic_ns(seconds: float) -> int:
    return round(seconds * 1e9)


@dataclass(frozen=True)
class ImuSample:
    """One accelerometer (m/s²) and gyroscope (°/s) reading; `timestamp` in time.monotonic() seconds."""

    timestamp: float
    acceleration: tuple[float, float, float]
    angular_velocity: tuple[float, float, float]
    time_ns: int | None = None  # the timestamp exactly, as read from a recording


@dataclass(frozen=True)
class ControlChange:
    """The control values (name -> value) in force from `timestamp` (time.monotonic() seconds) on."""

    timestamp: float
    values: Mapping[str, int]


class RecordingWriter:
    """Writes a recording record by record, in the calling thread; Recorder adds the thread.
    Each record goes to the file in one system call, unbuffered, so that what was written
    survives the process.

    The file is written under a hidden temporary name beside `path` (`.XXXXXXXX.tmp-NAME`) and
    takes its name at close(); discard() removes it instead. An existing file at `path` is
    refused (FileExistsError) unless `overwrite`, which replaces it (a link there is replaced,
    never written through). A process killed while recording leaves the temporary file, readable
    up to its last complete record."""

    def __init__(
        self, path: str | os.PathLike[str], info: Mapping[str, Any] | None = None, *, overwrite: bool = False
    ) -> None:
        self.path = pathlib.Path(path)
        self._output = OutputFile(self.path, overwrite=overwrite)
        self._fd = self._output.fd
        self.frames = 0
        self.bytes_written = 0
        try:
            self._write_all([_FILE_HEADER.pack(MAGIC, VERSION, 0)])
            started = {"started_unix_ns": time.time_ns(), "started_monotonic_ns": time.monotonic_ns()}
            self._record(_INFO, json.dumps({**started, **dict(info or {})}).encode())
        except BaseException:
            self._fd = -1
            self._output.abort()
            raise

    def _write_all(self, parts: Sequence[bytes | memoryview]) -> None:
        size = sum(len(part) for part in parts)
        pending = [memoryview(part).cast("B") for part in parts]
        while pending:  # a short write (a full disk raises instead): write the rest
            written = os.writev(self._fd, pending)
            while pending and written >= len(pending[0]):
                written -= len(pending.pop(0))
            if pending:
                pending[0] = pending[0][written:]
        self.bytes_written += size

    def _record(self, kind: bytes, *payload: bytes | memoryview) -> None:
        length = sum(len(part) for part in payload)
        limit = MAX_FRAME_PAYLOAD if kind == _FRAME else MAX_OTHER_PAYLOAD
        if length > limit:
            raise ValueError(f"a {kind.decode().strip()} record of {length} bytes exceeds the limit of {limit}")
        header = _RECORD_HEADER.pack(kind, length)
        crc = zlib.crc32(header)
        for part in payload:
            crc = zlib.crc32(part, crc)
        self._write_all([header, *payload, _CRC.pack(crc)])

    def write_frame(
        self, pixel_format: str, width: int, height: int, fps: int, sequence: int, timestamp: float, data: Buffer
    ) -> None:
        """One frame; `data` is anything with the buffer protocol (a numpy array, bytes).
        ValueError, and nothing written, for a frame no reader would take (frame_problem())."""
        if self.frames >= MAX_FRAMES:
            raise ValueError(f"a recording holds at most {MAX_FRAMES} frames")
        view = memoryview(data).cast("B")
        problem = frame_problem(pixel_format, width, height, fps, len(view))
        if problem is not None:
            raise ValueError(f"cannot record the frame: {problem}")
        header = _FRAME_HEADER.pack(pixel_format.encode(), width, height, fps, 0, sequence, _monotonic_ns(timestamp))
        self._record(_FRAME, header, view)
        self.frames += 1

    def write_controls(self, timestamp: float, values: Mapping[str, int]) -> None:
        self._record(_CONTROLS, json.dumps({"time_ns": _monotonic_ns(timestamp), "values": dict(values)}).encode())

    def write_imu(self, sample: ImuSample) -> None:
        self._record(_IMU_SAMPLE, _IMU.pack(_monotonic_ns(sample.timestamp), *sample.acceleration, *sample.angular_velocity))

    def close(self, summary: Mapping[str, Any] | None = None) -> None:
        """Ends the recording with a summary record (frames written, dropped), closes it and
        gives it its name. A failed write leaves nothing; a name taken meanwhile (without
        `overwrite`) leaves the file under its temporary name, which the FileExistsError gives.
        Idempotent."""
        if self._fd < 0:
            return
        try:
            self._record(_END, json.dumps({"frames": self.frames, **dict(summary or {})}).encode())
        except BaseException:
            self.discard()
            raise
        self._fd = -1
        # A finished recording is not thrown away because its name was taken meanwhile.
        self._output.commit(keep=True)

    @property
    def closed(self) -> bool:
        """Whether close() or discard() ended the recording."""
        return self._fd < 0

    def discard(self) -> None:
        """Closes and removes the file (the recording failed). Idempotent."""
        self._fd = -1
        self._output.abort()


@dataclass(frozen=True)
class _FrameEntry:
    offset: int  # of the frame's bytes
    length: int
    pixel_format: str
    width: int
    height: int
    fps: int
    sequence: int
    time_ns: int


@dataclass
class Recording:
    """A recording opened for reading (quorvex.open_recording). Iterating gives its frames as
    quorvex.Frame objects, read from the file one at a time."""

    path: pathlib.Path
    info: Mapping[str, Any]
    controls: list[ControlChange]
    imu: list[ImuSample]
    summary: Mapping[str, Any] | None  # None: the recording was cut short
    problem: str | None  # why reading stopped early, or None
    _frames: list[_FrameEntry] = field(repr=False)

    @property
    def complete(self) -> bool:
        """Whether the recording was closed properly (else it was cut short or damaged)."""
        return self.summary is not None and self.problem is None

    @property
    def dropped(self) -> int:
        """Frames the recorder had to drop (0 when unknown: a recording cut short)."""
        return int(self.summary.get("dropped", 0)) if self.summary else 0

    @property
    def formats(self) -> list[Format]:
        """The formats of the recorded frames, in order of first appearance."""
        seen: dict[tuple[str, int, int, int], Format] = {}
        for entry in self._frames:
            key = (entry.pixel_format, entry.width, entry.height, entry.fps)
            if key not in seen:
                seen[key] = _recorded_format(*key)
        return list(seen.values())

    @property
    def timestamps(self) -> list[float]:
        """Host time.monotonic() of each frame's arrival, in seconds."""
        return [entry.time_ns / 1e9 for entry in self._frames]

    def unix_ns(self, timestamp: float | int) -> int:
        """The wall-clock time (ns since 1970) of a recorded time.monotonic() value, given in
        seconds (a float) or nanoseconds (an int)."""
        monotonic_ns = timestamp if isinstance(timestamp, int) else _monotonic_ns(timestamp)
        return int(self.info.get("started_unix_ns", 0)) + monotonic_ns - int(self.info.get("started_monotonic_ns", 0))

    def __len__(self) -> int:
        return len(self._frames)

    def __iter__(self) -> Iterator[Frame]:
        return self.frames()

    def frames(self) -> Iterator[Frame]:
        """quorvex.Frame objects; `index` is the recorded sequence number, `timestamp` the
        recorded host time."""
        for frame, _ in self.timed_frames():
            yield frame

    def timed_frames(self) -> Iterator[tuple[Frame, int]]:
        """(frame, host time in ns as recorded) pairs: the time exactly, where the frame's
        timestamp in seconds is rounded."""
        formats: dict[tuple[str, int, int, int], Format] = {}
        with _open_regular(self.path) as file:
            for entry in self._frames:
                key = (entry.pixel_format, entry.width, entry.height, entry.fps)
                if key not in formats:
                    formats[key] = _recorded_format(*key)
                data = np.empty(entry.length, np.uint8)
                file.seek(entry.offset)
                if file.readinto(memoryview(data)) != entry.length:
                    raise RecordingError(f"{self.path} shrank while it was read")
                yield Frame(data, formats[key], entry.sequence, entry.time_ns / 1e9), entry.time_ns

    def __repr__(self) -> str:
        state = "complete" if self.complete else "cut short"
        return f"<quorvex.Recording {self.path} {len(self)} frames, {state}>"


def _recorded_format(pixel_format: str, width: int, height: int, fps: int) -> Format:
    # A recorded format is no camera's: it has no library record to stream with.
    return Format(pixel_format, width, height, fps, qx_format=None)  # type: ignore[arg-type]


def frame_problem(pixel_format: str, width: int, height: int, fps: int, length: int) -> str | None:
    """Why a recording cannot hold this frame (the format's rules, which every reader checks),
    or None when it can."""
    described = PIXEL_FORMATS.get(pixel_format)
    if described is None:
        return f"unknown pixel format {pixel_format!r}"
    if not (MIN_WIDTH <= width <= MAX_SIDE and MIN_HEIGHT <= height <= MAX_SIDE and 1 <= fps <= MAX_FPS):
        return f"{width}x{height} at {fps} fps is outside the formats a camera has"
    problem = described.size_problem(width, height)
    if problem is not None:
        return problem
    expected = described.frame_length(width, height)
    if (expected is not None and length != expected) or (expected is None and not 0 < length <= width * height * 3):
        return f"{length} bytes do not make a {pixel_format} {width}x{height} frame"
    return None


def _frame_entry(target: pathlib.Path, payload: bytes, offset: int, length: int) -> _FrameEntry:
    name, width, height, fps, _, sequence, time_ns = _FRAME_HEADER.unpack_from(payload)
    pixel_format = name.rstrip(b"\0").decode("ascii", "replace")
    data = length - _FRAME_HEADER.size
    problem = frame_problem(pixel_format, width, height, fps, data)
    if problem is None and time_ns < 0:
        problem = f"its host time {time_ns} ns is negative"
    if problem is not None:
        raise RecordingError(f"{target}: frame at offset {offset - _RECORD_HEADER.size}: {problem}")
    return _FrameEntry(offset + _FRAME_HEADER.size, data, pixel_format, width, height, fps, sequence, time_ns)


# Nesting deeper than this in a JSON record is refused: no writer makes it, and code that walks
# the information later (json.dumps in the viewer, a user's own) would recurse as deep.
MAX_JSON_DEPTH = 32
_TIME_LIMIT = (1 << 63) - 1  # times are signed 64-bit nanoseconds, as the records hold them


def _refuse_constant(name: str) -> None:
    raise ValueError(f"{name} is not a number a recording holds")


def _json_object(payload: bytes) -> JsonObject:
    value = json.loads(payload, parse_constant=_refuse_constant)
    if not isinstance(value, dict):
        raise ValueError("not a JSON object")
    pending: list[tuple[Any, int]] = [(value, 1)]
    while pending:
        item, depth = pending.pop()
        if depth > MAX_JSON_DEPTH:
            raise ValueError(f"nested more than {MAX_JSON_DEPTH} levels deep")
        children = item.values() if isinstance(item, dict) else item if isinstance(item, list) else ()
        pending.extend((child, depth + 1) for child in children if isinstance(child, (dict, list)))
    return value


def _whole(record: Mapping[str, Any], key: str, low: int = 0, high: int = _TIME_LIMIT, required: bool = False) -> None:
    """ValueError unless record[key] (when there, or `required`) is a whole number in low .. high."""
    if key not in record and not required:
        return
    value = record.get(key)
    if type(value) is not int or not low <= value <= high:  # bool is no count
        shown = repr(value) if len(repr(value)) <= 40 else repr(value)[:37] + "..."
        raise ValueError(f"{key!r} is {shown}, not a whole number in {low} .. {high}")


def _check_info(info: Mapping[str, Any]) -> None:
    _whole(info, "started_unix_ns")
    _whole(info, "started_monotonic_ns")
    camera = info.get("camera")
    if camera is not None and not isinstance(camera, dict):
        raise ValueError(f"'camera' is a {type(camera).__name__}, not an object")
    if isinstance(camera, dict) and not isinstance(camera.get("name", ""), str):
        raise ValueError("the camera's 'name' is not a string")
    for key in ("format", "writer"):
        if not isinstance(info.get(key, ""), str):
            raise ValueError(f"{key!r} is not a string")


def _control_change(record: Mapping[str, Any]) -> ControlChange:
    _whole(record, "time_ns", required=True)
    values = record.get("values")
    if not isinstance(values, dict):
        raise ValueError("'values' is not an object")
    for name in values:
        _whole(values, name, -(1 << 63), _TIME_LIMIT)
    return ControlChange(record["time_ns"] / 1e9, values)


def _check_summary(summary: Mapping[str, Any]) -> None:
    for key in ("frames", "dropped", "rejected"):
        _whole(summary, key)


def _open_regular(path: pathlib.Path) -> io.FileIO:
    """The file opened for reading, binary, unbuffered; RecordingError for anything but a regular
    file (opened without waiting, so a FIFO nobody writes is refused, not waited on)."""
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0))
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise RecordingError(f"{path} is not a regular file")
        return io.FileIO(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def open_recording(path: str | os.PathLike[str], *, warn: bool = True) -> Recording:
    """Opens a recording: reads and checks it once, keeping its metadata and an index of its
    frames. A recording cut short or damaged from some record on opens with what comes before
    (a RuntimeWarning says so; `Recording.problem` tells why). RecordingError for a file that is
    not a regular file, not a recording, of another version, breaking the format's limits, or
    holding a value no writer makes (a count that is not a whole number, a negative time, a
    time before 1970 or past 2262); OSError when it cannot be read. `warn=False` leaves the
    warning out, for callers that show `problem` themselves."""
    recording = _read_recording(pathlib.Path(path))
    if warn and recording.problem is not None:
        warnings.warn(f"{recording.path} is {recording.problem}; reading the {len(recording)} frame(s) before it",
                      RuntimeWarning, stacklevel=2)
    return recording


def _read_recording(target: pathlib.Path) -> Recording:
    """open_recording() without its warning: `problem` says what it would warn of."""
    info: JsonObject = {}
    controls: list[ControlChange] = []
    imu: list[ImuSample] = []
    frames: list[_FrameEntry] = []
    summary: JsonObject | None = None
    problem: str | None = None
    control_times: list[int] = []
    formats: set[tuple[str, int, int, int]] = set()
    with _open_regular(target) as raw, io.BufferedReader(raw) as file:
        head = file.read(_FILE_HEADER.size)
        if not head.startswith(MAGIC):
            raise RecordingError(f"{target} is not a recording")
        if len(head) < _FILE_HEADER.size:
            raise RecordingError(f"{target} ends inside its header")
        _, version, _ = _FILE_HEADER.unpack(head)
        if version != VERSION:
            raise RecordingError(f"{target} is a recording of format version {version}; this quorvex reads version {VERSION}")
        offset = _FILE_HEADER.size
        while True:
            header = file.read(_RECORD_HEADER.size)
            if not header:
                break
            if len(header) < _RECORD_HEADER.size:
                problem = f"cut short inside the record at offset {offset}"
                break
            kind, length = _RECORD_HEADER.unpack(header)
            limit = MAX_FRAME_PAYLOAD if kind == _FRAME else MAX_OTHER_PAYLOAD
            if length > limit:
                raise RecordingError(f"{target}: record at offset {offset} holds {length} bytes, over the limit of {limit}")
            crc = zlib.crc32(header)
            if kind == _FRAME:
                if length < _FRAME_HEADER.size:
                    raise RecordingError(f"{target}: frame at offset {offset} is shorter than a frame header")
                payload = file.read(_FRAME_HEADER.size)
                crc = zlib.crc32(payload, crc)
                rest = length - len(payload)
                while rest > 0 and len(payload) == _FRAME_HEADER.size:
                    chunk = file.read(min(rest, 1 << 20))
                    if not chunk:
                        break
                    crc = zlib.crc32(chunk, crc)
                    rest -= len(chunk)
                complete = rest == 0 and len(payload) == _FRAME_HEADER.size
            else:
                payload = file.read(length)
                crc = zlib.crc32(payload, crc)
                complete = len(payload) == length
            trailer = file.read(_CRC.size) if complete else b""
            if len(trailer) < _CRC.size:
                problem = f"cut short inside the record at offset {offset}"
                break
            if _CRC.unpack(trailer)[0] != crc:
                problem = f"damaged at offset {offset} (the record's CRC-32 does not match)"
                break
            body = offset + _RECORD_HEADER.size
            try:
                if kind == _FRAME:
                    if len(frames) == MAX_FRAMES:
                        raise RecordingError(f"{target} holds more than {MAX_FRAMES} frames")
                    entry = _frame_entry(target, payload, body, length)
                    formats.add((entry.pixel_format, entry.width, entry.height, entry.fps))
                    if len(formats) > MAX_FORMATS:
                        raise RecordingError(f"{target} holds more than {MAX_FORMATS} formats")
                    frames.append(entry)
                elif kind == _INFO:
                    info = _json_object(payload)
                    _check_info(info)
                elif kind == _CONTROLS:
                    record = _json_object(payload)
                    controls.append(_control_change(record))
                    control_times.append(record["time_ns"])
                elif kind == _IMU_SAMPLE:
                    time_ns, *values = _IMU.unpack(payload)
                    if time_ns < 0:
                        raise ValueError(f"its host time {time_ns} ns is negative")
                    imu.append(ImuSample(time_ns / 1e9, tuple(values[:3]), tuple(values[3:]), time_ns))
                elif kind == _END:
                    summary = _json_object(payload)
                    _check_summary(summary)
                # Other record types are later additions to version 1: skipped.
            except (ValueError, KeyError, TypeError, struct.error, RecursionError, OverflowError) as bad:
                if isinstance(bad, RecordingError):
                    raise
                raise RecordingError(f"{target}: the {kind.decode()!r} record at offset {offset} is malformed: {bad}") from bad
            offset = body + length + _CRC.size
    _check_wall_clock(target, info, [entry.time_ns for entry in frames] + [sample.time_ns or 0 for sample in imu]
                      + control_times)
    return Recording(target, info, controls, imu, summary, problem, frames)


def _check_wall_clock(target: pathlib.Path, info: Mapping[str, Any], times: list[int]) -> None:
    """RecordingError unless every recorded time falls between 1970 and 2262 on the wall clock
    (Recording.unix_ns), where exports and the viewer put it."""
    if not times:
        return
    offset = int(info.get("started_unix_ns", 0)) - int(info.get("started_monotonic_ns", 0))
    for bound in (min(times), max(times)):
        if not 0 <= offset + bound <= _TIME_LIMIT:
            raise RecordingError(f"{target}: a recorded time falls at {offset + bound} ns from 1970, outside the"
                                 " range a clock shows (its start times 'started_unix_ns' and"
                                 " 'started_monotonic_ns' are wrong)")


