"""Cameras that replay recordings: frames captured from the emulated cameras, written as a
recording, come back byte for byte, in order, at the recorded times; files cut short, damaged
or breaking the format's rules are handled as emulator/README.md describes."""

import dataclasses
import json
import os
import re
import signal
import struct
import subprocess
import sys
import textwrap
import time
import warnings

import pytest

import pyQuorvexSDK as qx
import quorvex
from quorvex.recording_file import RecordingWriter, open_recording

SIZES = {"YUY2": 2, "UYVY": 2, "NV12": 1.5, "BGRA": 4, "BGRX": 4, "BGR": 3, "RGB16": 2, "RGB": 3}
PIXEL_FORMATS = [*SIZES, "MJPG"]
SOURCE = """\
pacing: false
cameras:
  - name: Source
    path: /dev/video7
    interface: usb
    product: zena
    hardware_id: "SRC-1"
    formats:
      - {format: YUY2, sizes: ["64x32"], fps: [30]}
      - {format: UYVY, sizes: ["64x32"], fps: [30]}
      - {format: NV12, sizes: ["64x32"], fps: [30]}
      - {format: MJPG, sizes: ["64x32"], fps: [15]}
      - {format: BGRA, sizes: ["64x32"], fps: [30]}
      - {format: BGRX, sizes: ["64x32"], fps: [30]}
      - {format: BGR, sizes: ["33x17"], fps: [30]}
      - {format: RGB16, sizes: ["33x17"], fps: [60]}
      - {format: RGB, sizes: ["33x17"], fps: [5]}
"""


def replay_config(path, pacing=False, extra=""):
    return (
        f"pacing: {'true' if pacing else 'false'}\ncameras:\n"
        f"  - {{name: Replay, path: /dev/video9, interface: usb, product: zeni, hardware_id: R-1,"
        f" replay: '{path}'{extra}}}\n"
    )


def open_camera():
    handle = qx.QxInitialCameraDevice(0)
    assert handle is not None and qx.QxOpen(handle) == 0
    return handle


def capture(handle, record, count):
    assert qx.QxSetFormat(handle, record) == 0
    assert qx.QxStartStreaming(handle) == 0
    frames = []
    for _ in range(count):
        result, data = qx.QxGetImage(handle, 1000, record)
        assert result == qx.QX_SUCCESS
        frames.append(data.tobytes())
    assert qx.QxStopStreaming(handle) == 0
    return frames


def name_of(record):
    return record.format.name.removeprefix("QX_IMAGE_FORMAT_")


def write_recording(path, streams):
    """streams: (pixel format, width, height, fps, frames, times in s)."""
    writer = RecordingWriter(path, {"camera": {"name": "test"}})
    for pixel_format, width, height, fps, frames, times in streams:
        for sequence, (data, when) in enumerate(zip(frames, times)):
            writer.write_frame(pixel_format, width, height, fps, sequence, when, data)
    writer.close()


@pytest.fixture
def captured(emu, tmp_path):
    """Five frames of every pixel format from an emulated camera, recorded, and the recording."""
    assert emu.configure(SOURCE)
    handle = open_camera()
    status, formats = qx.QxGetFormatList(handle)
    assert status == 0 and sorted(name_of(f) for f in formats) == sorted(PIXEL_FORMATS)
    streams = []
    for record in formats:
        frames = capture(handle, record, 5)
        streams.append((name_of(record), record.width, record.height, record.framerate, frames,
                        [100.0 + i / 30 for i in range(5)]))
    qx.QxClose(handle)
    path = tmp_path / "all.qxrec"
    write_recording(path, streams)
    return path, streams


def test_every_pixel_format_replays_byte_identical_in_order_and_loops(emu, captured):
    path, streams = captured
    assert emu.configure(replay_config(path))
    handle = open_camera()
    status, formats = qx.QxGetFormatList(handle)
    assert status == 0
    assert [(name_of(f), f.width, f.height, f.framerate) for f in formats] == [s[:4] for s in streams]
    for record, (pixel_format, *_, frames, _) in zip(formats, streams):
        replayed = capture(handle, record, len(frames) + 2)
        assert replayed[: len(frames)] == frames, pixel_format
        assert replayed[len(frames):] == frames[:2], f"{pixel_format} does not loop to its first frame"
    # The test pattern's moving marker makes consecutive frames differ: order is checked, not only content.
    assert len(set(streams[0][4])) == 5


def test_a_format_recorded_in_two_streams_replays_both_in_order(emu, tmp_path):
    first, second = [bytes([i]) * 4096 for i in range(3)], [bytes([9 - i]) * 4096 for i in range(2)]
    path = tmp_path / "two.qxrec"
    writer = RecordingWriter(path)
    for sequence, data in enumerate(first):
        writer.write_frame("YUY2", 64, 32, 30, sequence, 1 + sequence / 30, data)
    writer.write_frame("MJPG", 64, 32, 30, 0, 2.0, b"\xff\xd8\xff\xd9")
    for sequence, data in enumerate(second):
        writer.write_frame("YUY2", 64, 32, 30, sequence, 3 + sequence / 30, data)
    writer.close()
    assert emu.configure(replay_config(path))
    handle = open_camera()
    status, formats = qx.QxGetFormatList(handle)
    assert [name_of(f) for f in formats] == ["YUY2", "MJPG"]
    assert capture(handle, formats[0], 5) == first + second
    assert capture(handle, formats[1], 2) == [b"\xff\xd8\xff\xd9"] * 2


def test_paced_replay_keeps_the_recorded_gaps(emu, tmp_path):
    times = [0.0, 0.05, 0.25, 0.3]
    path = tmp_path / "paced.qxrec"
    write_recording(path, [("RGB", 32, 16, 20, [bytes([i]) * 1536 for i in range(4)], [50 + t for t in times])])
    assert emu.configure(replay_config(path, pacing=True))
    handle = open_camera()
    status, formats = qx.QxGetFormatList(handle)
    assert qx.QxSetFormat(handle, formats[0]) == 0
    # Counted from before the stream starts, so that no frame can seem early.
    started = time.monotonic()
    assert qx.QxStartStreaming(handle) == 0
    arrivals = []
    for _ in range(5):
        result, _ = qx.QxGetImage(handle, 1000, formats[0])
        assert result == qx.QX_SUCCESS
        arrivals.append(time.monotonic() - started)
    # The loop starts again one period (1/20 s) after the last frame. A frame never comes early;
    # a busy machine may make one late (and a very late one moves the schedule on).
    expected = [*times, 0.35]
    assert all(e - 0.005 <= a < e + 0.3 for a, e in zip(arrivals, expected)), arrivals
    result, _ = qx.QxGetImage(handle, 0, formats[0])
    assert result == qx.QX_TIMEOUT


def test_replayed_frames_ignore_the_image_controls(emu, captured):
    path, streams = captured
    assert emu.configure(replay_config(path))
    handle = open_camera()
    status, formats = qx.QxGetFormatList(handle)
    assert qx.QxSetFormat(handle, formats[0]) == 0 and qx.QxStartStreaming(handle) == 0
    assert qx.QxSetUVCImageProcessing(handle, qx.UVC_IMAGE_BRIGHTNESS, 40, 2) == 0
    assert qx.QxSetMaxFPS(handle, 1) == 0
    replayed = [qx.QxGetImage(handle, 1000, formats[0])[1].tobytes() for _ in range(5)]
    assert replayed == streams[0][4]


def frame_record(pixel_format=b"YUY2", width=64, height=32, fps=30, data_length=4096, camera=0, data=None):
    data = bytes(data_length) if data is None else data
    return record(b"FRAM", struct.pack("<8sHHHHQq", pixel_format, width, height, fps, camera, 0, 0) + data)


def record(kind, payload):
    import zlib

    head = struct.pack("<4sI", kind, len(payload))
    return head + payload + struct.pack("<I", zlib.crc32(payload, zlib.crc32(head)))


HEADER = b"QXRECORD" + struct.pack("<II", 1, 0)


@pytest.mark.parametrize(
    "content, problem",
    [
        (b"", "is not a recording"),
        (b"RIFF....WAVEfmt ", "is not a recording"),
        (b"QXRECORD\x01\x00", "ends inside its header"),
        (b"QXRECORD" + struct.pack("<II", 3, 0) + frame_record(), "format version 3; this library reads versions 1 and 2"),
        (HEADER, "holds no complete frame"),
        (HEADER + frame_record(data_length=4095), "4095 bytes do not make a YUY2 64x32 frame"),
        (HEADER + frame_record(b"MJPG", data_length=0), "0 bytes do not make a MJPG 64x32 frame"),
        (HEADER + frame_record(b"MJPG", data_length=64 * 32 * 3 + 1), "do not make a MJPG 64x32 frame"),
        (HEADER + frame_record(width=63, data_length=63 * 32 * 2), "YUY2 needs an even width"),
        (HEADER + frame_record(width=16), "is outside 32x16"),
        (HEADER + frame_record(fps=0), "frame rate 0 is outside 1 .. 255"),
        (HEADER + frame_record(b"H264"), "unknown pixel format"),
        (HEADER + struct.pack("<4sI", b"FRAM", 0xFFFFFFFF), "more than the 268435488 a frame may have"),
        (HEADER + struct.pack("<4sI", b"CTRL", (1 << 20) + 1), "more than the 1048576 a record of its kind may have"),
        (HEADER + record(b"FRAM", b"short"), "shorter than a frame header"),
    ],
    ids=["empty", "other-file", "short-header", "version-3", "no-frames", "raw-length", "empty-jpeg", "long-jpeg",
         "odd-width", "too-small", "no-fps", "unknown-format", "huge-frame", "huge-record", "short-frame"],
)
def test_a_recording_breaking_the_rules_is_a_configuration_error(emu, tmp_path, content, problem):
    path = tmp_path / "bad.qxrec"
    path.write_bytes(content)
    log = tmp_path / "sdk.log"
    assert qx.QxSetLogFile(str(log)) == 0
    assert emu.configure(replay_config(path)) is False
    assert qx.QxInitialCameraDevice(0) is None
    text = log.read_text()
    assert "bad camera configuration" in text and "'replay'" in text and problem in text, text


def test_the_package_reader_and_the_replay_hold_recordings_to_the_same_limits(emu):
    from quorvex import recording_file as f

    names = ["format_min_width", "format_min_height", "format_max_side", "format_max_fps", "recording_frame_payload",
             "recording_other_payload", "recording_frames", "recording_formats"]
    assert [emu.limits()[name] for name in names] == [
        f.MIN_WIDTH, f.MIN_HEIGHT, f.MAX_SIDE, f.MAX_FPS, f.MAX_FRAME_PAYLOAD, f.MAX_OTHER_PAYLOAD, f.MAX_FRAMES,
        f.MAX_FORMATS]


@pytest.mark.parametrize(
    "config, problem",
    [
        (replay_config("/nonexistent/session.qxrec"), "cannot open /nonexistent/session.qxrec"),
        (replay_config("{path}", extra=", formats: [{format: RGB, sizes: ['64x32'], fps: [5]}]"),
         "'formats' and 'replay' exclude each other"),
        # Nobody writes the FIFO: opening it for reading must not wait for a writer.
        (replay_config("{dir}/fifo.qxrec"), "fifo.qxrec is not a regular file"),
        (replay_config("{dir}"), "is not a regular file"),
    ],
    ids=["missing-file", "with-formats", "fifo", "directory"],
)
def test_replay_key_errors(emu, tmp_path, config, problem):
    path = tmp_path / "ok.qxrec"
    write_recording(path, [("RGB", 64, 32, 5, [bytes(64 * 32 * 3)], [1.0])])
    os.mkfifo(tmp_path / "fifo.qxrec")
    log = tmp_path / "sdk.log"
    assert qx.QxSetLogFile(str(log)) == 0
    assert emu.configure(config.replace("{path}", str(path)).replace("{dir}", str(tmp_path))) is False
    assert problem in log.read_text()


def test_unknown_record_types_are_skipped(emu, tmp_path):
    path = tmp_path / "later.qxrec"
    path.write_bytes(HEADER + record(b"XTRA", b"later addition") + frame_record() + record(b"XTRA", b""))
    assert emu.configure(replay_config(path))


def interrupted(tmp_path):
    """A recording whose writer was killed while it wrote frames as fast as it could."""
    path = tmp_path / "killed.qxrec"
    writer = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        from quorvex.recording_file import RecordingWriter
        writer = RecordingWriter({str(path)!r})
        sequence = 0
        while True:
            writer.write_frame("BGRA", 320, 240, 30, sequence, sequence / 30, bytes([sequence % 256]) * 307200)
            sequence += 1
    """)])
    try:
        deadline = time.monotonic() + 60
        # The file keeps its temporary name beside the target until the writer closes it.
        while not (written := list(tmp_path.glob(".*killed.qxrec"))) or written[0].stat().st_size < 20 * 307200:
            assert time.monotonic() < deadline, "the writer wrote too little"
            time.sleep(0.01)
    finally:
        writer.send_signal(signal.SIGKILL)
        writer.wait()
    assert not path.exists()
    return written[0]


def test_a_killed_recording_replays_up_to_its_last_complete_frame(emu, tmp_path):
    path = interrupted(tmp_path)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # cut short inside a frame, or by chance between two
        recording = open_recording(path)
    assert not recording.complete
    assert len(recording) >= 15
    last_end = recording._frames[-1].offset + recording._frames[-1].length + 4
    assert path.stat().st_size - last_end < 8 + 32 + 307200 + 4, "a complete frame was left out"
    assert emu.configure(replay_config(path))
    handle = open_camera()
    status, formats = qx.QxGetFormatList(handle)
    frames = capture(handle, formats[0], len(recording) + 1)
    assert frames[:-1] == [frame.data.tobytes() for frame in recording]
    assert [f[0] for f in frames[:-1]] == [i % 256 for i in range(len(recording))]
    assert frames[-1] == frames[0]


def cut_in_last_frame(content, cut):
    return content[: len(content) - len(record(b"END ", b'{"frames": 3}')) - cut]


def flip_in_last_frame(content, offset):
    damaged = bytearray(content)
    damaged[content.rindex(b"FRAM") + offset] ^= 0x01
    return bytes(damaged)


@pytest.mark.parametrize(
    "damage, amount, warning",
    [*((cut_in_last_frame, cut, "cut short") for cut in [1, 4, 8, 40, 1000, 4095, 4099]),
     (flip_in_last_frame, 100, "CRC-32 does not match"), (flip_in_last_frame, 2, "CRC-32 does not match")],
    ids=[*(f"cut-{cut}" for cut in [1, 4, 8, 40, 1000, 4095, 4099]), "flipped-data", "flipped-type"],
)
def test_a_recording_damaged_in_its_last_frame_replays_the_others(emu, tmp_path, damage, amount, warning):
    path = tmp_path / "damaged.qxrec"
    frames = [bytes([i]) * 4096 for i in range(3)]
    write_recording(path, [("YUY2", 64, 32, 30, frames, [0, 0.1, 0.2])])
    path.write_bytes(damage(path.read_bytes(), amount))
    log = tmp_path / "sdk.log"
    assert qx.QxSetLogFile(str(log)) == 0
    assert emu.configure(replay_config(path))
    assert warning in log.read_text()
    handle = open_camera()
    status, formats = qx.QxGetFormatList(handle)
    assert capture(handle, formats[0], 3) == [frames[0], frames[1], frames[0]]


# Recordings of several cameras (format version 2) and replay entries that give only `replay`.

LEFT = {"index": 0, "name": "Left", "path": "/dev/video0", "hardware_id": "3F1D:A013", "interface": "USB",
        "product": "ZENA", "usb_speed": "SUPER", "is_quorvex": True}
RIGHT = {"index": 1, "name": "Right", "path": "/dev/video2", "hardware_id": "10-003c", "interface": "MIPI_CSI2",
         "product": "ZENM", "usb_speed": None, "is_quorvex": True}


def info_record(**fields):
    return record(b"INFO", json.dumps(fields).encode())


def meta_record(camera, sequence):
    return record(b"META", struct.pack("<HHIdQqqq", camera, 0, 0b11, sequence / 30, sequence, 0, 0, 0))


def imu_record(camera=None):
    sample = struct.pack("<q6d", 1, 0, 0, 9.8, 0, 0, 0)
    return record(b"IMU ", sample if camera is None else sample + struct.pack("<I", camera))


def two_camera_recording(path, cameras=(LEFT, RIGHT), frames=None):
    """Three frames of each camera, interleaved, each followed by its META record, with IMU samples of
    both (one without its camera number): camera k's frame i is bytes([10 * k + i]) * 4096."""
    entries = [{"camera": camera, "format": "YUY2:64x32@30"} for camera in cameras]
    frames = frames or [frame_record(camera=k, data=bytes([10 * k + i]) * 4096) + meta_record(k, i)
                        for i in range(3) for k in range(2)]
    path.write_bytes(b"QXRECORD" + struct.pack("<II", 2, 0) + info_record(camera=cameras[0], cameras=entries)
                     + imu_record() + imu_record(1) + b"".join(frames) + record(b"END ", b"{}"))
    return path


def replay_entries(*entries):
    return "pacing: false\ncameras:\n" + "".join(f"  - {{{entry}}}\n" for entry in entries)


@pytest.mark.parametrize("choice", ["", ", replay_camera: 0", ", replay_camera: 1"], ids=["default", "0", "1"])
def test_a_recording_of_two_cameras_replays_the_chosen_one(emu, tmp_path, choice):
    path = two_camera_recording(tmp_path / "two.qxrec")
    assert emu.configure(replay_entries(f"replay: '{path}'{choice}"))
    k = 1 if choice.endswith("1") else 0
    assert [info.name for info in quorvex.cameras()] == [(LEFT, RIGHT)[k]["name"]]
    handle = open_camera()
    status, formats = qx.QxGetFormatList(handle)
    assert status == 0 and len(formats) == 1
    assert capture(handle, formats[0], 4) == [bytes([10 * k + i]) * 4096 for i in (0, 1, 2, 0)]


@pytest.mark.parametrize("index", [0, 1, 2], ids=["zena-usb", "zenm-mipi", "generic-webcam"])
def test_a_replay_entry_alone_is_the_recorded_camera(emu, tmp_path, index):
    recorded = quorvex.cameras()[index]
    with quorvex.open(index) as camera:
        smallest = min(camera.formats, key=lambda f: (f.width * f.height, f.pixel_format != "YUY2"))
        with camera.stream(smallest) as stream:
            quorvex.record(stream, tmp_path / "session.qxrec", frames=2)
    assert emu.configure(replay_entries(f"replay: '{tmp_path / 'session.qxrec'}'"))
    assert quorvex.cameras() == [dataclasses.replace(recorded, index=0)]


FILE_TEXT = "{dir}/bare.qxrec"


@pytest.mark.parametrize(
    "camera, keys, expected",
    [
        (None, "", ("Replayed camera", FILE_TEXT, "USB", "GENERIC_CAMERA", "REPLAY", "UNKNOWN")),
        ({"name": "", "path": None, "interface": "FIREWIRE", "product": ["ZENA"], "hardware_id": {"a": 1},
          "usb_speed": "WARP"}, "", ("Replayed camera", FILE_TEXT, "USB", "GENERIC_CAMERA", "REPLAY", "UNKNOWN")),
        (RIGHT, ", name: Bench, path: /dev/video9, product: zeni",
         ("Bench", "/dev/video9", "MIPI_CSI2", "ZENI", "10-003c", "UNKNOWN")),
        ({**LEFT, "product": "NONE_CAMERA", "usb_speed": "super_plus"}, "",
         ("Left", "/dev/video0", "USB", "NONE_CAMERA", "3F1D:A013", "SUPER_PLUS")),
    ],
    ids=["nothing-recorded", "unusable-values", "entry-overrides", "spellings"],
)
def test_what_a_replay_entry_leaves_out_comes_from_the_recording_or_a_default(emu, tmp_path, camera, keys, expected):
    path = tmp_path / "bare.qxrec"
    path.write_bytes(HEADER + (b"" if camera is None else info_record(camera=camera)) + frame_record())
    assert emu.configure(replay_entries(f"replay: '{path}'{keys}"))
    [info] = quorvex.cameras()
    got = (info.name, info.path, info.interface, info.product, info.hardware_id, info.usb_speed)
    wanted = tuple(value.replace("{dir}", str(tmp_path)) for value in expected)
    if wanted[4] == "REPLAY":
        assert re.fullmatch(r"REPLAY-[0-9A-F]{8}", got[4]), got
        wanted = (*wanted[:4], got[4], wanted[5])
    assert got == wanted


def test_cameras_take_distinct_paths_from_recordings_of_one_device(emu, tmp_path):
    path = two_camera_recording(tmp_path / "two.qxrec")
    given = "name: Given, path: /dev/video0#2, interface: usb, product: zena, hardware_id: G"
    assert emu.configure(replay_entries(f"replay: '{path}'", f"replay: '{path}'", f"replay: '{path}', {given}"))
    assert [info.path for info in quorvex.cameras()] == ["/dev/video0", "/dev/video0#3", "/dev/video0#2"]
    handles = [qx.QxInitialCameraDevice(i) for i in range(3)]
    assert [qx.QxOpen(handle) for handle in handles] == [0, 0, 0]  # three devices, none busy


def bad_info_recording(cameras):
    return b"QXRECORD" + struct.pack("<II", 2, 0) + info_record(cameras=cameras) + frame_record()


@pytest.mark.parametrize(
    "entry, content, problem",
    [
        ("replay: '{file}', replay_camera: 2", "two", "{file} holds 2 camera(s), numbered from 0; there is no camera 2"),
        ("replay: '{file}', replay_camera: 1", HEADER + frame_record(), "{file} holds 1 camera(s)"),
        ("name: A, path: /dev/a, interface: usb, product: zena, hardware_id: x, replay_camera: 0", None,
         "'replay_camera' needs 'replay'"),
        ("replay: '{file}'", "camera-2", "is of camera 2; {file} holds 2 camera(s)"),
        ("replay: '{file}'", b"QXRECORD" + struct.pack("<II", 2, 0) + frame_record(),
         "{file}: a recording of format version 2 must begin with an INFO record listing its cameras"),
        ("replay: '{file}'", bad_info_recording([{"camera": LEFT}] * 17),
         "{file}: the INFO record does not list the recording's cameras (1 to 16)"),
        ("replay: '{file}'", bad_info_recording([{"camera": LEFT}]) + record(b"IMU ", bytes(57)),
         "holds 57 bytes, not 56 or 60"),
        ("replay: '{dir}/missing.qxrec'", None, "cannot open {dir}/missing.qxrec: No such file or directory"),
    ],
    ids=["camera-beyond", "camera-of-v1", "camera-without-replay", "frame-of-no-camera",
         "v2-without-info", "v2-17-cameras", "imu-length", "missing-file"],
)
def test_a_bad_replay_entry_fails_discovery_with_the_reason(emu, tmp_path, entry, content, problem):
    path = tmp_path / "bad.qxrec"
    if content == "two":
        two_camera_recording(path)
    elif content == "camera-2":
        two_camera_recording(path, frames=[frame_record(camera=1), frame_record(camera=2)])
    elif content is not None:
        path.write_bytes(content)
    problem = problem.replace("{file}", str(path)).replace("{dir}", str(tmp_path))
    assert emu.configure(replay_entries(entry.replace("{file}", str(path)).replace("{dir}", str(tmp_path)))) is False
    status, names = qx.QxDiscoverCameraDevices()
    assert status == emu.QXE_FAILED and len(names) == 1
    assert names[0].startswith("bad camera configuration in configuration text, line 3: camera 1: ")
    assert problem in names[0]
    assert qx.QxInitialCameraDevice(0) is None
    with pytest.raises(quorvex.QuorvexError, match=re.escape(problem)) as raised:
        quorvex.camera_count()
    assert raised.value.status == emu.QXE_FAILED
    assert emu.configure("") and quorvex.camera_count() == 3  # a good configuration ends it


@pytest.mark.parametrize(
    "command, shown",
    [
        (["-m", "quorvex", "list"], "quorvex list: QxDiscoverCameraDevices failed with status QXE_FAILED (-1): "),
        # Before, watching took the failure for "no cameras" and waited for one for ever.
        (["-m", "quorvex", "watch"], "quorvex watch: QxDiscoverCameraDevices failed with status QXE_FAILED (-1): "),
        (["-c", "import quorvex; quorvex.cameras()"], "[QuorvexSDK] [error] bad camera configuration in "),
    ],
    ids=["cli", "watch", "program"],
)
def test_the_user_sees_why_the_configuration_was_refused(emu, tmp_path, command, shown):
    config = tmp_path / "cameras.yaml"
    config.write_text("cameras: [{replay: missing.qxrec}]\n")
    result = subprocess.run([sys.executable, *command], cwd=tmp_path, capture_output=True, text=True, timeout=60,
                            env={**os.environ, "QX_EMULATOR_CONFIG": str(config)})
    assert result.returncode == 1 and result.stdout == ""
    reason = f"bad camera configuration in {config}, line 1: camera 1: 'replay': cannot open missing.qxrec"
    assert shown in result.stderr and reason in result.stderr, result.stderr
    if command[1] == "quorvex":
        assert result.stderr.count("\n") == 1, result.stderr
    else:
        assert "quorvex.errors.QuorvexError: QxDiscoverCameraDevices failed" in result.stderr
