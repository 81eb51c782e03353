"""The recording file: frames as the camera delivered them, with what the camera told about each,
the camera's information, its control values and IMU samples, of one camera or several
(emulator/README.md, "Recordings", describes the layout, which the emulated library replays as
a camera). RecordingWriter writes one record by record; open_recording() reads and checks one.

Files are only ever appended to, so a recording cut short (a crash, Ctrl-C, a killed process)
reads up to its last complete record.
"""

import io
import json
import math
import os
import pathlib
import stat
import struct
import threading
import time
import warnings
from collections.abc import Buffer, Iterator, Mapping, Sequence
from dataclasses import dataclass, field, replace
from typing import TYPE_CHECKING, Any

import numpy as np

from ._files import OutputFile
from .formats import Format
from .frame import Frame
from .pixels import PIXEL_FORMATS

try:  # ISA-L's CRC-32 is the same checksum at several times zlib's speed: a 1080p frame costs a fifth
    from isal.isal_zlib import crc32 as _crc32
except ImportError:
    from zlib import crc32 as _crc32

if TYPE_CHECKING:
    from .calibration import Intrinsics

MAGIC = b"QXRECORD"
VERSION = 1  # a recording of one camera, which every reader reads
VERSION_CAMERAS = 2  # a recording of several cameras
READ_VERSIONS = (VERSION, VERSION_CAMERAS)
SUFFIX = ".qxrec"

_FILE_HEADER = struct.Struct("<8sII")  # magic, version, flags (0)
_RECORD_HEADER = struct.Struct("<4sI")  # type, payload length; then the payload and its CRC-32
_CRC = struct.Struct("<I")
_FRAME_HEADER = struct.Struct("<8sHHHHQq")  # format, width, height, fps, camera (v1: 0), sequence, host time ns
# What the camera told about the frame before it: camera, 0, present-flags, device timestamp (s),
# the camera's frame counter, host wall-clock time (ns since 1970), exposure (µs), gain.
_META = struct.Struct("<HHIdQqqq")
_META_FIELDS = ("device_timestamp", "sequence", "host_time", "exposure", "gain")

# The limits every reader of the format applies; the emulated library's replay holds the same
# (qx_emulator.limits(), which a test compares with these).
MIN_WIDTH, MIN_HEIGHT, MAX_SIDE, MAX_FPS = 32, 16, 8192, 255
MAX_FRAME_PAYLOAD = _FRAME_HEADER.size + MAX_SIDE * MAX_SIDE * 4
MAX_OTHER_PAYLOAD = 1 << 20
MAX_FRAMES = 1 << 21
MAX_FORMATS = 256
MAX_CAMERAS = 16
_IMU = struct.Struct("<q3d3d")  # host time ns, accelerometer m/s², gyroscope °/s
_IMU_CAMERA = struct.Struct("<q3d3dI")  # version 2: the same and the camera's number

_INFO, _CONTROLS, _FRAME, _META_RECORD, _IMU_SAMPLE, _END = b"INFO", b"CTRL", b"FRAM", b"META", b"IMU ", b"END "
_INT64 = (-(1 << 63), (1 << 63) - 1)

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
    camera: int = 0  # the number of the recorded camera whose IMU it is


@dataclass(frozen=True)
class ControlChange:
    """The control values (name -> value) in force from `timestamp` (time.monotonic() seconds) on."""

    timestamp: float
    values: Mapping[str, int]
    camera: int = 0  # the number of the recorded camera they are of


def _integer(value: object, low: int, high: int) -> int | None:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        return None
    return int(value) if low <= value <= high else None


def _meta_payload(camera: int, frame: Frame) -> bytes | None:
    """The META payload of what the frame tells beyond its bytes, None when it tells nothing.
    A value no reader would take (NaN, out of range) is left out as unknown."""
    stamp = frame.device_timestamp
    stamp = float(stamp) if isinstance(stamp, (int, float, np.number)) and math.isfinite(stamp) else None
    host = frame.host_time
    host_ns = None
    if isinstance(host, (int, float)) and math.isfinite(host):
        host_ns = _integer(round(host * 1e9), 0, _INT64[1])
    values = (stamp, _integer(frame.sequence, 0, (1 << 64) - 1), host_ns, _integer(frame.exposure, *_INT64),
              _integer(frame.gain, *_INT64))
    flags = sum(1 << bit for bit, value in enumerate(values) if value is not None)
    if not flags:
        return None
    return _META.pack(camera, 0, flags, *(value or 0 for value in values))


def _record_parts(kind: bytes, *payload: bytes | memoryview) -> list[bytes | memoryview]:
    """A record's bytes: its header, the payload and the CRC-32; ValueError past the limits."""
    length = sum(len(part) for part in payload)
    limit = MAX_FRAME_PAYLOAD if kind == _FRAME else MAX_OTHER_PAYLOAD
    if length > limit:
        raise ValueError(f"a {kind.decode().strip()} record of {length} bytes exceeds the limit of {limit}")
    header = _RECORD_HEADER.pack(kind, length)
    crc = _crc32(header)
    for part in payload:
        crc = _crc32(part, crc)
    return [header, *payload, _CRC.pack(crc)]


# Every this many bytes written, the kernel is asked to start writing them out, and to drop from
# its cache what was written this far before: left to itself it gathers a recording's gigabytes
# as dirty pages and writes them out in bursts that stall the writer (and at the fsync of close).
WRITEBACK_BYTES = 8 << 20
CACHE_BEHIND_BYTES = 64 << 20


class _Writeback:
    """Starts the writing out of a file's pages as they are written, and drops them from the page
    cache once they are well behind (POSIX_FADV_DONTNEED starts the writing out of dirty pages on
    Linux and drops the clean ones). Nothing where posix_fadvise is missing."""

    def __init__(self, fd: int) -> None:
        self._fd = fd
        self._end = 0  # bytes written
        self._started = 0  # the writing out asked for up to here
        self._dropped = 0  # dropped from the cache up to here
        self._advise = getattr(os, "posix_fadvise", None)

    def wrote(self, size: int) -> None:
        self._end += size
        if self._advise is None or self._end - self._started < WRITEBACK_BYTES:
            return
        try:
            self._advise(self._fd, self._started, self._end - self._started, os.POSIX_FADV_DONTNEED)
            behind = self._started - CACHE_BEHIND_BYTES  # by now written out
            if behind > self._dropped:
                self._advise(self._fd, self._dropped, behind - self._dropped, os.POSIX_FADV_DONTNEED)
                self._dropped = behind
        except OSError:
            self._advise = None  # advice only: a file system that refuses it is written all the same
        self._started = self._end


class RecordingWriter:
    """Writes a recording record by record, in the calling thread; Recorder adds the thread.
    Each record goes to the file in one system call, unbuffered, so that what was written
    survives the process; the kernel is asked to send the pages to the disk as they come and to
    drop them from its cache once well behind, so that a long recording neither stalls on a
    burst of writing out nor fills the memory with its pages.

    `cameras` above 1 writes a recording of several cameras (format version 2): `info` then
    holds a `cameras` list, one object per camera (its `camera`, `format`, `calibration`; the
    top-level keys are camera 0's), and every write names its camera. One camera is version 1,
    which readers before version 2 read too.

    The file is written under a hidden temporary name beside `path` (`.XXXXXXXX.tmp-NAME`) and
    takes its name at close(); discard() removes it instead. An existing file at `path` is
    refused (FileExistsError) unless `overwrite`, which replaces it (a link there is replaced,
    never written through). A process killed while recording leaves the temporary file, readable
    up to its last complete record."""

    def __init__(
        self,
        path: str | os.PathLike[str],
        info: Mapping[str, Any] | None = None,
        *,
        overwrite: bool = False,
        cameras: int = 1,
    ) -> None:
        if type(cameras) is not int or not 1 <= cameras <= MAX_CAMERAS:
            raise ValueError(f"a recording holds 1 to {MAX_CAMERAS} cameras, not {cameras!r}")
        info = dict(info or {})
        if cameras > 1:
            listed = info.setdefault("cameras", [{} for _ in range(cameras)])
            if not isinstance(listed, list) or len(listed) != cameras:
                raise ValueError(f"the information's 'cameras' must list the {cameras} cameras recorded")
        self.path = pathlib.Path(path)
        self.cameras = cameras
        self.version = VERSION if cameras == 1 else VERSION_CAMERAS
        self._output = OutputFile(self.path, overwrite=overwrite)
        self._fd = self._output.fd
        self._writeback = _Writeback(self._fd)
        self.frames = 0
        self.camera_frames = [0] * cameras
        self.bytes_written = 0
        try:
            self._write_all([_FILE_HEADER.pack(MAGIC, self.version, 0)])
            started = {"started_unix_ns": time.time_ns(), "started_monotonic_ns": time.monotonic_ns()}
            self._record(_INFO, json.dumps({**started, **info}).encode())
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
        self._writeback.wrote(size)

    def _record(self, kind: bytes, *payload: bytes | memoryview) -> None:
        self._write_all(_record_parts(kind, *payload))

    def _check_camera(self, camera: int) -> None:
        if type(camera) is not int or not 0 <= camera < self.cameras:
            raise ValueError(f"camera {camera!r} is not one of the {self.cameras} camera(s) of {self.path}")

    def write_frame(
        self,
        pixel_format: str,
        width: int,
        height: int,
        fps: int,
        sequence: int,
        timestamp: float,
        data: Buffer,
        *,
        camera: int = 0,
        meta: Frame | None = None,
    ) -> None:
        """One frame of camera number `camera`; `data` is anything with the buffer protocol (a
        numpy array, bytes); `meta`, a quorvex.Frame, adds what it tells (write_meta()).
        ValueError, and nothing written, for a frame no reader would take (frame_problem())."""
        self._check_camera(camera)
        if self.frames >= MAX_FRAMES:
            raise ValueError(f"a recording holds at most {MAX_FRAMES} frames")
        view = memoryview(data).cast("B")
        problem = frame_problem(pixel_format, width, height, fps, len(view))
        if problem is not None:
            raise ValueError(f"cannot record the frame: {problem}")
        header = _FRAME_HEADER.pack(pixel_format.encode(), width, height, fps, camera, sequence,
                                    _monotonic_ns(timestamp))
        parts = _record_parts(_FRAME, header, view)
        told = None if meta is None else _meta_payload(camera, meta)
        if told is not None:
            parts += _record_parts(_META_RECORD, told)  # in the same system call
        self._write_all(parts)
        self.frames += 1
        self.camera_frames[camera] += 1

    def write_meta(self, camera: int, frame: Frame) -> None:
        """What `frame` tells beyond its bytes (its device timestamp, sequence, host time,
        exposure, gain), for the frame of `camera` written just before; nothing when it tells
        nothing."""
        self._check_camera(camera)
        payload = _meta_payload(camera, frame)
        if payload is not None:
            self._record(_META_RECORD, payload)

    def write_controls(self, timestamp: float, values: Mapping[str, int], camera: int = 0) -> None:
        self._check_camera(camera)
        record: JsonObject = {"time_ns": _monotonic_ns(timestamp), "values": dict(values)}
        if self.cameras > 1:
            record["camera"] = camera
        self._record(_CONTROLS, json.dumps(record).encode())

    def write_imu(self, sample: ImuSample, camera: int | None = None) -> None:
        """An IMU sample of camera number `camera` (by default the sample's own)."""
        camera = sample.camera if camera is None else camera
        self._check_camera(camera)
        values = (_monotonic_ns(sample.timestamp), *sample.acceleration, *sample.angular_velocity)
        self._record(_IMU_SAMPLE, _IMU.pack(*values) if self.cameras == 1 else _IMU_CAMERA.pack(*values, camera))

    def close(self, summary: Mapping[str, Any] | None = None) -> None:
        """Ends the recording with a summary record (frames written, dropped; of several cameras
        also per camera), closes it and gives it its name. A failed write leaves nothing; a name
        taken meanwhile (without `overwrite`) leaves the file under its temporary name, which the
        FileExistsError gives. Idempotent."""
        if self._fd < 0:
            return
        end: JsonObject = {"frames": self.frames, **dict(summary or {})}
        if self.cameras > 1:
            given = end.get("cameras")
            given = given if isinstance(given, list) and len(given) == self.cameras else [{}] * self.cameras
            end["cameras"] = [{**dict(counts), "frames": frames} for frames, counts in zip(self.camera_frames, given)]
        try:
            self._record(_END, json.dumps(end).encode())
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


# A frame's META values in Frame's order: device timestamp, sequence, host time (s), exposure, gain.
_Meta = tuple[float | None, int | None, float | None, int | None, int | None]
_NO_META: _Meta = (None, None, None, None, None)


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
    camera: int = 0
    meta: _Meta | None = None


@dataclass
class Recording:
    """A recording opened for reading (quorvex.open_recording). Iterating gives its frames as
    quorvex.Frame objects, read from the file one at a time; frame(i) reads one anywhere.

    A recording of several cameras opens as the whole file (`camera` None: the frames of all
    cameras in file order) or as the view of one camera (`camera` its number; view(k)), whose
    `info`, `controls`, `imu`, `summary` and frames are that camera's. frame(i) keeps the file
    open: close() it, or use the recording as a context manager."""

    path: pathlib.Path
    info: Mapping[str, Any]
    controls: list[ControlChange]
    imu: list[ImuSample]
    summary: Mapping[str, Any] | None  # None: the recording was cut short
    problem: str | None  # why reading stopped early, or None
    _frames: list[_FrameEntry] = field(repr=False)
    camera_count: int = 1
    camera: int | None = None  # the camera of this view; None: the whole file
    _whole: "Recording | None" = field(default=None, repr=False, compare=False)  # the file a view is of
    _file: io.FileIO | None = field(default=None, init=False, repr=False, compare=False)
    _formats: dict[tuple[str, int, int, int], Format] = field(default_factory=dict, init=False, repr=False,
                                                              compare=False)
    _lock: threading.Lock = field(default_factory=threading.Lock, init=False, repr=False, compare=False)

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
                seen[key] = self._format(key)
        return list(seen.values())

    @property
    def timestamps(self) -> list[float]:
        """Host time.monotonic() of each frame's arrival, in seconds."""
        return [entry.time_ns / 1e9 for entry in self._frames]

    @property
    def calibration(self) -> "Intrinsics | None":
        """The lens calibration of the camera (of camera 0 for the whole file of several), None
        when the camera had none."""
        from .calibration import Intrinsics

        value = self.info.get("calibration")
        if value is None:
            return None
        coeffs = tuple(float(c) for c in value["coeffs"])
        return Intrinsics(value["width"], value["height"], float(value["fx"]), float(value["fy"]), float(value["cx"]),
                          float(value["cy"]), coeffs, value["model"])  # type: ignore[arg-type]

    def view(self, camera: int) -> "Recording":
        """The recording of camera number `camera` alone, from what was read already;
        LookupError when there is no such camera."""
        whole = self._whole or self
        if type(camera) is not int or not 0 <= camera < whole.camera_count:
            raise LookupError(f"{whole.path} holds {whole.camera_count} camera(s), numbered from 0; "
                              f"there is no camera {camera!r}")
        if camera == self.camera:
            return self
        info, summary = dict(whole.info), whole.summary
        if whole.camera_count > 1:
            entry = whole.info["cameras"][camera]
            own = ("camera", "format", "calibration", "cameras")
            info = {key: value for key, value in info.items() if key not in own}
            info.update((key, value) for key, value in entry.items() if not key.startswith("started_"))  # one clock
            if summary is not None and isinstance(summary.get("cameras"), list):
                summary = {**{k: v for k, v in summary.items() if k != "cameras"}, **summary["cameras"][camera]}
        return Recording(whole.path, info, [c for c in whole.controls if c.camera == camera],
                         [s for s in whole.imu if s.camera == camera], summary, whole.problem,
                         [e for e in whole._frames if e.camera == camera], whole.camera_count, camera, whole)

    def unix_ns(self, timestamp: float | int) -> int:
        """The wall-clock time (ns since 1970) of a recorded time.monotonic() value, given in
        seconds (a float) or nanoseconds (an int)."""
        monotonic_ns = timestamp if isinstance(timestamp, int) else _monotonic_ns(timestamp)
        return int(self.info.get("started_unix_ns", 0)) + monotonic_ns - int(self.info.get("started_monotonic_ns", 0))

    def __len__(self) -> int:
        return len(self._frames)

    def __iter__(self) -> Iterator[Frame]:
        return self.frames()

    def time_ns(self, index: int) -> int:
        """The recorded host time (time.monotonic_ns()) of frame `index`."""
        return self._frames[index].time_ns

    def camera_of(self, index: int) -> int:
        """The number of the camera that delivered frame `index`."""
        return self._frames[index].camera

    def frame(self, index: int) -> Frame:
        """Frame `index` (negative counts from the end), read from the file, which stays open
        until close(); IndexError past the end."""
        entry = self._frames[index]
        with self._lock:
            if self._file is None or self._file.closed:
                self._file = _open_regular(self.path)
            fd = self._file.fileno()
        data = np.empty(entry.length, np.uint8)
        view, done = memoryview(data), 0
        while done < entry.length:
            read = os.preadv(fd, [view[done:]], entry.offset + done)
            if read <= 0:
                raise RecordingError(f"{self.path} shrank while it was read")
            done += read
        return self._make(entry, data)

    def _format(self, key: tuple[str, int, int, int]) -> Format:
        known = self._formats.get(key)
        if known is None:
            known = self._formats.setdefault(key, _recorded_format(*key))
        return known

    def _make(self, entry: _FrameEntry, data: np.ndarray) -> Frame:
        key = (entry.pixel_format, entry.width, entry.height, entry.fps)
        return Frame(data, self._format(key), entry.sequence, entry.time_ns / 1e9, *(entry.meta or _NO_META))

    def close(self) -> None:
        """Closes the file frame() keeps open (it opens again on demand). Idempotent."""
        with self._lock:
            file, self._file = self._file, None
        if file is not None:
            file.close()

    def __enter__(self) -> "Recording":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def frames(self) -> Iterator[Frame]:
        """quorvex.Frame objects; `index` is the recorded sequence number, `timestamp` the
        recorded host time, and what the camera told (device_timestamp, sequence, ...) as
        recorded (None where it was not)."""
        for frame, _ in self.timed_frames():
            yield frame

    def timed_frames(self) -> Iterator[tuple[Frame, int]]:
        """(frame, host time in ns as recorded) pairs: the time exactly, where the frame's
        timestamp in seconds is rounded."""
        with _open_regular(self.path) as file:
            for entry in self._frames:
                data = np.empty(entry.length, np.uint8)
                file.seek(entry.offset)
                if file.readinto(memoryview(data)) != entry.length:
                    raise RecordingError(f"{self.path} shrank while it was read")
                yield self._make(entry, data), entry.time_ns

    def __repr__(self) -> str:
        state = "complete" if self.complete else "cut short"
        of = f" of camera {self.camera}" if self.camera is not None else ""
        cameras = f" from {self.camera_count} cameras" if self.camera_count > 1 and self.camera is None else ""
        return f"<quorvex.Recording {self.path}{of} {len(self)} frames{cameras}, {state}>"


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


def _frame_entry(target: pathlib.Path, payload: bytes, offset: int, length: int, cameras: int | None) -> _FrameEntry:
    """The index entry of a FRAM record; `cameras` None for version 1, where every frame is camera 0's."""
    name, width, height, fps, camera, sequence, time_ns = _FRAME_HEADER.unpack_from(payload)
    pixel_format = name.rstrip(b"\0").decode("ascii", "replace")
    data = length - _FRAME_HEADER.size
    problem = frame_problem(pixel_format, width, height, fps, data)
    if problem is None and time_ns < 0:
        problem = f"its host time {time_ns} ns is negative"
    if cameras is None:
        camera = 0  # version 1 leaves the field 0, and readers of it ignore it
    elif problem is None and camera >= cameras:
        problem = f"its camera {camera} is not one of the {cameras} cameras recorded"
    if problem is not None:
        raise RecordingError(f"{target}: frame at offset {offset - _RECORD_HEADER.size}: {problem}")
    return _FrameEntry(offset + _FRAME_HEADER.size, data, pixel_format, width, height, fps, sequence, time_ns, camera)


def _meta(payload: bytes, cameras: int) -> tuple[int, _Meta]:
    """The camera and the values of a META payload; ValueError for one no writer makes."""
    if len(payload) != _META.size:
        raise ValueError(f"it holds {len(payload)} bytes, not {_META.size}")
    camera, _, flags, stamp, sequence, host_ns, exposure, gain = _META.unpack(payload)
    if camera >= cameras:
        raise ValueError(f"its camera {camera} is not one of the {cameras} cameras recorded")
    present = [bool(flags >> bit & 1) for bit in range(len(_META_FIELDS))]
    if present[0] and not math.isfinite(stamp):
        raise ValueError(f"its device timestamp {stamp} is not a time")
    if present[2] and host_ns < 0:
        raise ValueError(f"its host time {host_ns} ns is negative")
    values = (stamp, sequence, host_ns / 1e9, exposure, gain)
    return camera, tuple(value if here else None for value, here in zip(values, present))  # type: ignore[return-value]


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


def _check_camera_info(where: Mapping[str, Any], prefix: str = "") -> None:
    camera = where.get("camera")
    if camera is not None and not isinstance(camera, dict):
        raise ValueError(f"{prefix}'camera' is a {type(camera).__name__}, not an object")
    if isinstance(camera, dict) and not isinstance(camera.get("name", ""), str):
        raise ValueError(f"{prefix}the camera's 'name' is not a string")
    if not isinstance(where.get("format", ""), str):
        raise ValueError(f"{prefix}'format' is not a string")
    calibration = where.get("calibration")
    if calibration is None:
        return
    if not isinstance(calibration, dict):
        raise ValueError(f"{prefix}'calibration' is a {type(calibration).__name__}, not an object")
    for side in ("width", "height"):
        _whole(calibration, side, 1, 1 << 20, required=True)
    for key in ("fx", "fy", "cx", "cy"):
        number = calibration.get(key)
        if isinstance(number, bool) or not isinstance(number, (int, float)) or not math.isfinite(number):
            raise ValueError(f"{prefix}the calibration's {key!r} is {number!r}, not a number")
    coeffs = calibration.get("coeffs")
    if not isinstance(coeffs, list) or len(coeffs) != 5 or not all(
            type(c) in (int, float) and math.isfinite(c) for c in coeffs):
        raise ValueError(f"{prefix}the calibration's 'coeffs' are not five numbers")
    if calibration.get("model") not in ("radtan", "none"):
        raise ValueError(f"{prefix}the calibration's 'model' is not 'radtan' or 'none'")


def _check_info(info: Mapping[str, Any], version: int) -> int:
    """The number of cameras the information lists (1 in version 1); ValueError for a value no
    writer makes."""
    _whole(info, "started_unix_ns")
    _whole(info, "started_monotonic_ns")
    _check_camera_info(info)
    if not isinstance(info.get("writer", ""), str):
        raise ValueError("'writer' is not a string")
    if version == VERSION:
        return 1  # a 'cameras' key of version 1 is none of its business
    cameras = info.get("cameras")
    if not isinstance(cameras, list) or not cameras:
        raise ValueError("'cameras' is not a list of the cameras recorded")
    if len(cameras) > MAX_CAMERAS:
        raise ValueError(f"it lists {len(cameras)} cameras, more than the {MAX_CAMERAS} a recording holds")
    for number, entry in enumerate(cameras):
        if not isinstance(entry, dict):
            raise ValueError(f"camera {number} of 'cameras' is a {type(entry).__name__}, not an object")
        _check_camera_info(entry, f"camera {number} of 'cameras': ")
    return len(cameras)


def _control_change(record: Mapping[str, Any], cameras: int) -> ControlChange:
    _whole(record, "time_ns", required=True)
    _whole(record, "camera", 0, cameras - 1)
    values = record.get("values")
    if not isinstance(values, dict):
        raise ValueError("'values' is not an object")
    for name in values:
        _whole(values, name, -(1 << 63), _TIME_LIMIT)
    return ControlChange(record["time_ns"] / 1e9, values, record.get("camera", 0))


def _check_summary(summary: Mapping[str, Any], cameras: int) -> None:
    for key in ("frames", "dropped", "rejected"):
        _whole(summary, key)
    if "cameras" not in summary or cameras == 1:
        return
    listed = summary["cameras"]
    if not isinstance(listed, list) or len(listed) != cameras:
        raise ValueError(f"'cameras' is not a list of {cameras} cameras' counts")
    for counts in listed:
        if not isinstance(counts, dict):
            raise ValueError("an entry of 'cameras' is not an object")
        _check_summary(counts, 1)


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


def open_recording(path: str | os.PathLike[str], *, warn: bool = True, camera: int | None = None) -> Recording:
    """Opens a recording: reads and checks it once, keeping its metadata and an index of its
    frames. A recording cut short or damaged from some record on opens with what comes before
    (a RuntimeWarning says so; `Recording.problem` tells why). RecordingError for a file that is
    not a regular file, not a recording, of another version, breaking the format's limits, or
    holding a value no writer makes (a count that is not a whole number, a negative time, a
    time before 1970 or past 2262, a camera number it does not have); OSError when it cannot be
    read. `warn=False` leaves the warning out, for callers that show `problem` themselves.

    `camera=k` gives the view of camera number k (Recording.view; LookupError when there is no
    such camera); by default a recording of several cameras opens as the whole file."""
    recording = _read_recording(pathlib.Path(path))
    if camera is not None:
        recording = recording.view(camera)
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
    cameras = 1
    last_frame: dict[int, int] = {}  # camera -> position in `frames` of its latest frame
    with _open_regular(target) as raw, io.BufferedReader(raw) as file:
        head = file.read(_FILE_HEADER.size)
        if not head.startswith(MAGIC):
            raise RecordingError(f"{target} is not a recording")
        if len(head) < _FILE_HEADER.size:
            raise RecordingError(f"{target} ends inside its header")
        _, version, _ = _FILE_HEADER.unpack(head)
        if version not in READ_VERSIONS:
            known = " and ".join(str(v) for v in READ_VERSIONS)
            raise RecordingError(f"{target} is a recording of format version {version}; this quorvex reads "
                                 f"version{'s' if len(READ_VERSIONS) > 1 else ''} {known}")
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
            crc = _crc32(header)
            if kind == _FRAME:
                if length < _FRAME_HEADER.size:
                    raise RecordingError(f"{target}: frame at offset {offset} is shorter than a frame header")
                payload = file.read(_FRAME_HEADER.size)
                crc = _crc32(payload, crc)
                rest = length - len(payload)
                while rest > 0 and len(payload) == _FRAME_HEADER.size:
                    chunk = file.read(min(rest, 1 << 20))
                    if not chunk:
                        break
                    crc = _crc32(chunk, crc)
                    rest -= len(chunk)
                complete = rest == 0 and len(payload) == _FRAME_HEADER.size
            else:
                payload = file.read(length)
                crc = _crc32(payload, crc)
                complete = len(payload) == length
            trailer = file.read(_CRC.size) if complete else b""
            if len(trailer) < _CRC.size:
                problem = f"cut short inside the record at offset {offset}"
                break
            if _CRC.unpack(trailer)[0] != crc:
                problem = f"damaged at offset {offset} (the record's CRC-32 does not match)"
                break
            body = offset + _RECORD_HEADER.size
            # The cameras of a recording of several are known from its INFO record, its first.
            if version != VERSION and (kind == _INFO) != (offset == _FILE_HEADER.size):
                where = "not its first record" if kind == _INFO else "before its INFO record"
                raise RecordingError(f"{target}: the {kind.decode()!r} record at offset {offset} is {where}")
            try:
                if kind == _FRAME:
                    if len(frames) == MAX_FRAMES:
                        raise RecordingError(f"{target} holds more than {MAX_FRAMES} frames")
                    entry = _frame_entry(target, payload, body, length, None if version == VERSION else cameras)
                    formats.add((entry.pixel_format, entry.width, entry.height, entry.fps))
                    if len(formats) > MAX_FORMATS:
                        raise RecordingError(f"{target} holds more than {MAX_FORMATS} formats")
                    last_frame[entry.camera] = len(frames)
                    frames.append(entry)
                elif kind == _META_RECORD:
                    camera, values = _meta(payload, cameras)
                    position = last_frame.get(camera)
                    if position is not None and frames[position].meta is None:
                        frames[position] = replace(frames[position], meta=values)
                elif kind == _INFO:
                    info = _json_object(payload)
                    cameras = _check_info(info, version)
                elif kind == _CONTROLS:
                    record = _json_object(payload)
                    controls.append(_control_change(record, cameras))
                    control_times.append(record["time_ns"])
                elif kind == _IMU_SAMPLE:
                    if len(payload) == _IMU.size:
                        time_ns, ax, ay, az, gx, gy, gz, camera = *_IMU.unpack(payload), 0
                    else:
                        time_ns, ax, ay, az, gx, gy, gz, camera = _IMU_CAMERA.unpack(payload)
                    if time_ns < 0:
                        raise ValueError(f"its host time {time_ns} ns is negative")
                    if camera >= cameras:
                        raise ValueError(f"its camera {camera} is not one of the {cameras} cameras recorded")
                    imu.append(ImuSample(time_ns / 1e9, (ax, ay, az), (gx, gy, gz), time_ns, camera))
                elif kind == _END:
                    summary = _json_object(payload)
                    _check_summary(summary, cameras)
                # Other record types are later additions to the format: skipped.
            except (ValueError, KeyError, TypeError, struct.error, RecursionError, OverflowError) as bad:
                if isinstance(bad, RecordingError):
                    raise
                raise RecordingError(f"{target}: the {kind.decode()!r} record at offset {offset} is malformed: {bad}") from bad
            offset = body + length + _CRC.size
    _check_wall_clock(target, info, [entry.time_ns for entry in frames] + [sample.time_ns or 0 for sample in imu]
                      + control_times)
    return Recording(target, info, controls, imu, summary, problem, frames, cameras)


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


