"""Recording from quorvex streams, reading recordings back, replaying them through the emulated
library, and exporting them to MP4 and MCAP."""

import json
import os
import signal
import subprocess
import sys
import threading
import time
import zlib

import numpy as np
import pytest

import quorvex
from quorvex import recording as recording_module
from quorvex import recording_file
from quorvex.cli import main as cli_main
from quorvex.recording import Recorder
from quorvex.recording_file import RecordingError, RecordingWriter, open_recording

FORMATS = {"YUY2": "64x32", "UYVY": "64x32", "NV12": "64x32", "MJPG": "64x32", "BGRA": "64x32",
           "BGRX": "64x32", "BGR": "33x17", "RGB16": "33x17", "RGB": "33x17"}
SOURCE = "pacing: false\ncameras:\n  - name: Source\n    path: /dev/video7\n    interface: usb\n" \
         "    product: zena\n    hardware_id: SRC-1\n    isp: ap1302\n    formats:\n" + "".join(
             f"      - {{format: {name}, sizes: ['{size}'], fps: [30]}}\n" for name, size in FORMATS.items())


def replay_config(path, pacing=False):
    return (f"pacing: {str(pacing).lower()}\ncameras:\n  - {{name: Replay, path: /dev/video9, interface: usb,"
            f" product: zeni, hardware_id: R-1, replay: '{path}'}}\n")


@pytest.fixture
def source(emu):
    assert emu.configure(SOURCE)


@pytest.mark.parametrize("pixel_format", FORMATS)
def test_record_read_and_replay_round_trip(emu, source, tmp_path, pixel_format):
    path = tmp_path / f"{pixel_format}.qxrec"
    live = []
    with quorvex.open(0) as camera, camera.stream(f"{pixel_format}:{FORMATS[pixel_format]}") as stream:
        result = quorvex.record(stream, path, frames=6, progress=lambda n: live.append(n))
        info = camera.info
    assert (result.frames, result.written, result.dropped) == (6, 6, 0)
    assert live == [1, 2, 3, 4, 5, 6]

    recording = open_recording(path)
    assert recording.complete and recording.dropped == 0 and len(recording) == 6
    assert recording.info["camera"]["name"] == info.name == "Source"
    frames = list(recording)
    assert [f.index for f in frames] == list(range(6))
    assert all(f.pixel_format == pixel_format for f in frames)
    assert frames[0].timestamp <= frames[-1].timestamp
    assert frames[0].to_rgb().shape == (frames[0].height, frames[0].width, 3)

    emu.configure(replay_config(path))
    with quorvex.open(0) as camera:
        (offered,) = camera.formats
        assert recording.formats[0] == offered and recording.formats[0].qx_format is None
        with camera.stream(offered) as stream:
            replayed = [stream.read() for _ in range(6)]
    assert [f.data.tobytes() for f in replayed] == [f.data.tobytes() for f in frames]
    assert np.array_equal(replayed[3].to_rgb(), frames[3].to_rgb())


def test_recorded_controls_follow_changes(emu, source, tmp_path, monkeypatch):
    monkeypatch.setattr(recording_module, "CONTROL_POLL_SECONDS", 0.0)
    path = tmp_path / "controls.qxrec"
    with quorvex.open(0) as camera, camera.stream("YUY2") as stream:
        start_brightness = camera.controls["brightness"].value

        def change(read):
            if read == 3:
                camera.controls["brightness"].value = start_brightness + 10

        quorvex.record(stream, path, frames=6, progress=change)
    recording = open_recording(path)
    first, *later = recording.controls
    assert first.values["brightness"] == start_brightness and "isp_brightness" in first.values
    assert len(later) == 1 and later[0].values["brightness"] == start_brightness + 10
    times = recording.timestamps
    assert times[2] <= later[0].timestamp <= times[4]


def test_imu_samples_follow_the_frames(emu, tmp_path):
    emu.configure("pacing: false\n" + emu.builtin_configuration())
    path = tmp_path / "imu.qxrec"
    with quorvex.open(0) as camera, camera.stream("YUY2:640x480") as stream:
        quorvex.record(stream, path, frames=5, imu=True)
    recording = open_recording(path)
    assert len(recording.imu) == 5
    for sample in recording.imu:
        assert sample.acceleration[2] == pytest.approx(9.80665, abs=0.05)
        assert sample.angular_velocity == pytest.approx((0, 0, 0), abs=0.1)


def made_frame(index, size=1 << 20, cut=0):
    """A 512-pixel-wide BGRA frame of `size` bytes less `cut` (a short transfer)."""
    data = np.full(size - cut, index % 256, np.uint8)
    return quorvex.Frame(data, quorvex.Format("BGRA", 512, size // 2048, 30, None), index, index / 30)


def test_a_slow_disk_drops_frames_counted_never_silently(tmp_path, monkeypatch):
    release = threading.Event()
    writes = RecordingWriter.write_frame

    def slow(self, *args, **kwargs):
        release.wait(10)
        return writes(self, *args, **kwargs)

    monkeypatch.setattr(RecordingWriter, "write_frame", slow)
    path = tmp_path / "slow.qxrec"
    recorder = Recorder(path, queue_bytes=2 << 20)
    accepted = [recorder.add(made_frame(i)) for i in range(20)]
    release.set()
    with pytest.warns(RuntimeWarning, match=r"of 20 frames were dropped"):
        recorder.close()
    assert recorder.dropped == accepted.count(False) >= 17
    assert recorder.written + recorder.dropped == 20
    recording = open_recording(path)
    assert recording.dropped == recorder.dropped and len(recording) == recorder.written
    assert [f.index for f in recording] == [i for i, kept in enumerate(accepted) if kept]


def test_a_damaged_frame_is_left_out_and_the_recording_stays_readable(tmp_path):
    path = tmp_path / "damaged.qxrec"
    short = made_frame(1, cut=100)
    with pytest.warns(RuntimeWarning, match="1 damaged frames were left out"), Recorder(path) as recorder:
        for frame in (made_frame(0), short, made_frame(2)):
            recorder.add(frame)
    assert (recorder.written, recorder.rejected, recorder.dropped) == (2, 1, 0)
    assert [f.index for f in open_recording(path)] == [0, 2]


@pytest.mark.parametrize("failure", [OSError(28, "No space left on device"), MemoryError()], ids=["disk-full", "memory"])
def test_a_failing_write_is_raised_to_the_capturing_thread(tmp_path, monkeypatch, failure):
    def fail(self, *args, **kwargs):
        raise failure

    monkeypatch.setattr(RecordingWriter, "write_frame", fail)
    recorder = Recorder(tmp_path / "fail.qxrec")
    recorder.add(made_frame(0))
    recorder._thread.join(5)
    with pytest.raises(OSError, match="writing the recording .* failed"):
        recorder.add(made_frame(1))
    with pytest.raises(OSError):
        recorder.close()
    assert list(tmp_path.iterdir()) == []  # a failed recording leaves no file, temporary or not


def write_sample(path, cameras):
    """A recording of every kind of record, frames with what they tell among them."""
    writer = RecordingWriter(path, {"writer": "test"}, cameras=cameras)
    writer.write_controls(1.0, {"exposure": 100}, camera=cameras - 1)
    for index in range(12):
        frame = made_frame(index, size=64 << 10)
        frame = quorvex.Frame(frame.data, frame.format, index, index / 30, index * 0.5, index + 7, 1e9 + index,
                              100 + index, 3)
        writer.write_frame("BGRA", 512, 32, 30, index, index / 30, frame.data, camera=index % cameras, meta=frame)
        writer.write_imu(recording_file.ImuSample(index / 30, (0.0, 0.0, 9.8), (0.1, 0.2, 0.3), camera=0))
    writer.close({"dropped": 2, "rejected": 0})
    return path.read_bytes()


@pytest.mark.parametrize("cameras", [1, 2])
@pytest.mark.parametrize("advice", ["taken", "refused", "missing"])
def test_the_writer_writes_the_same_bytes_whatever_becomes_of_its_writeback_advice(tmp_path, monkeypatch, cameras,
                                                                                   advice):
    monkeypatch.setattr(time, "time_ns", lambda: 1_700_000_000_000_000_000)
    monkeypatch.setattr(time, "monotonic_ns", lambda: 5_000_000_000)
    with monkeypatch.context() as plain:  # the checksum as zlib computes it, the kernel left to itself
        plain.setattr(recording_file, "_crc32", zlib.crc32)
        plain.setattr(recording_file, "WRITEBACK_BYTES", 1 << 62)
        expected = write_sample(tmp_path / "plain.qxrec", cameras)
    monkeypatch.setattr(recording_file, "WRITEBACK_BYTES", 100 << 10)
    monkeypatch.setattr(recording_file, "CACHE_BEHIND_BYTES", 200 << 10)
    advised = []
    real = getattr(os, "posix_fadvise", None)

    def advise(fd, offset, length, how):
        advised.append((offset, length))
        if advice == "refused":
            raise OSError(22, "Invalid argument")
        return real(fd, offset, length, how)

    if advice == "missing" or real is None:
        monkeypatch.delattr(os, "posix_fadvise", raising=False)
    else:
        monkeypatch.setattr(os, "posix_fadvise", advise)
    assert write_sample(tmp_path / "advised.qxrec", cameras) == expected
    if advice == "taken":
        # Each range within what was written; the file's start is written out, then dropped.
        assert len(advised) > 4 and all(offset + length <= len(expected) for offset, length in advised)
        assert [offset for offset, _ in advised].count(0) == 2
    assert len(advised) == {"taken": len(advised), "refused": 1, "missing": 0}[advice]


def test_a_write_failing_midway_through_a_frame_leaves_no_file_and_counts_the_frames(tmp_path, monkeypatch):
    writes = []
    real = os.writev
    queued = threading.Event()

    def filling(fd, parts):
        writes.append(fd)
        if len(writes) == 3:  # the first frame's: once all three are queued
            queued.wait(10)
        if len(writes) < 4:
            return real(fd, parts)
        if len(writes) == 4:  # half a frame's record reaches the file, then the disk is full
            return real(fd, [bytes(parts[0])[:8], bytes(parts[1])[:len(parts[1]) // 2]])
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, "writev", filling)
    recorder = Recorder(tmp_path / "full.qxrec")
    for index in range(3):
        recorder.add(made_frame(index))
    queued.set()
    recorder._thread.join(10)
    with pytest.raises(OSError, match="No space left on device"):
        recorder.close()
    assert (recorder.written, recorder.dropped) == (1, 2)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize(
    "content, message",
    [
        (b"GIF89a", "is not a recording"),
        (b"QXRECORD\x07\x00\x00\x00\x00\x00\x00\x00", "format version 7; this quorvex reads versions 1 and 2"),
        (b"QXRECORD\x01\x00", "ends inside its header"),
        (b"QXRECORD\x01\x00\x00\x00\x00\x00\x00\x00FRAM\xff\xff\xff\xff", "over the limit"),
    ],
    ids=["other-file", "version-7", "short-header", "huge-record"],
)
def test_files_that_are_not_readable_recordings(tmp_path, content, message):
    path = tmp_path / "bad.qxrec"
    path.write_bytes(content)
    with pytest.raises(RecordingError, match=message):
        open_recording(path)


def test_a_recording_cut_short_warns_and_keeps_what_came_before(tmp_path):
    path = tmp_path / "cut.qxrec"
    writer = RecordingWriter(path)
    for i in range(3):
        writer.write_frame("RGB", 32, 16, 30, i, i / 30, bytes([i]) * 1536)
    size_after_frames = writer.bytes_written
    writer.close()
    path.write_bytes(path.read_bytes()[: size_after_frames - 10])
    with pytest.warns(RuntimeWarning, match="cut short inside the record"):
        recording = open_recording(path)
    assert not recording.complete and [f.data[0] for f in recording] == [0, 1]


def record_source(tmp_path, name, spec, frames=12):
    path = tmp_path / f"{name}.qxrec"
    with quorvex.open(0) as camera, camera.stream(spec) as stream:
        quorvex.record(stream, path, frames=frames, imu=False)
    return path


@pytest.mark.parametrize("pixel_format, copy", [("MJPG", False), ("MJPG", True), ("YUY2", False), ("RGB", False)],
                         ids=["MJPG", "MJPG-copy", "YUY2", "RGB-odd-size"])
def test_mp4_export_opens_with_the_recorded_frames(emu, tmp_path, pixel_format, copy):
    av = pytest.importorskip("av")
    emu.configure(SOURCE.replace("pacing: false", "pacing: true"))
    path = record_source(tmp_path, pixel_format, f"{pixel_format}:{FORMATS[pixel_format]}")
    recording = open_recording(path)
    target = tmp_path / "out.mp4"
    assert cli_main(["export", str(path), str(target), *(["--copy"] if copy else [])]) == 0
    with av.open(str(target)) as container:
        (video,) = container.streams.video
        codec = video.codec_context.name
        decoded = list(container.decode(video))
        duration = float(video.duration * video.time_base)
    width, height, fps = recording.formats[0].width, recording.formats[0].height, recording.formats[0].fps
    assert codec == ("mjpeg" if copy else "h264")
    assert len(decoded) == 12
    assert (decoded[0].width, decoded[0].height) == ((width, height) if copy else (width & ~1, height & ~1))
    if copy:
        with av.open(str(target)) as container:
            packets = [bytes(p) for p in container.demux(video=0) if p.size]
        assert packets == [f.data.tobytes() for f in recording]
    times = recording.timestamps
    assert duration == pytest.approx(times[-1] - times[0] + 1 / fps, abs=1.5 / fps)
    # The pictures survive H.264: mean colours within a few levels.
    recorded = next(iter(recording)).to_rgb()[: height & ~1, : width & ~1].reshape(-1, 3).mean(axis=0)
    exported = decoded[0].to_ndarray(format="rgb24").reshape(-1, 3).mean(axis=0)
    assert np.abs(recorded - exported).max() < 12


def test_mcap_export_has_one_image_message_per_frame_at_the_recorded_times(emu, tmp_path):
    pytest.importorskip("mcap_protobuf")
    from mcap.reader import make_reader
    from mcap_protobuf.decoder import DecoderFactory

    emu.configure("pacing: false\n" + emu.builtin_configuration())
    path = tmp_path / "mixed.qxrec"
    with quorvex.open(0) as camera:
        with camera.stream("YUY2:640x480") as stream:
            quorvex.record(stream, path, frames=4, imu=True)
        with camera.stream("MJPG:640x480") as stream:
            quorvex.record(stream, tmp_path / "mjpg.qxrec", frames=3)
    target = tmp_path / "out.mcap"
    assert cli_main(["export", str(path), str(target)]) == 0
    recording = open_recording(path)
    with open(target, "rb") as file:
        messages = list(make_reader(file, decoder_factories=[DecoderFactory()]).iter_decoded_messages())
    images = [(channel.topic, message.log_time, decoded) for _, channel, message, decoded in messages
              if channel.topic.startswith("/camera/image")]
    expected = [recording.unix_ns(t) for _, t in recording.timed_frames()]
    assert [t for _, t, _ in images] == expected
    assert all(d.timestamp.ToNanoseconds() == t for _, t, d in images)
    topic, _, first = images[0]
    assert (topic, first.encoding, first.width, first.height) == ("/camera/image", "yuyv", 640, 480)
    assert first.data == next(iter(recording)).data.tobytes()
    imu_topics = [channel.topic for _, channel, _, _ in messages if channel.topic.startswith("/imu")]
    assert sorted(imu_topics) == ["/imu/acceleration"] * 4 + ["/imu/angular_velocity"] * 4

    assert cli_main(["export", str(tmp_path / "mjpg.qxrec"), str(target), "--overwrite"]) == 0
    with open(target, "rb") as file:
        compressed = [d for _, c, _, d in make_reader(file, decoder_factories=[DecoderFactory()]).iter_decoded_messages()
                      if c.topic == "/camera/image/compressed"]
    assert [d.format for d in compressed] == ["jpeg"] * 3
    assert compressed[0].data[:2] == b"\xff\xd8"


def test_record_command_writes_a_recording_and_reports_it(emu, source, tmp_path, capsys):
    target = tmp_path / "cli" / "out.qxrec"
    assert cli_main(["record", "--camera", "0", "--format", "YUY2:64x32@30", "--frames", "7", str(target)]) == 0
    assert "recorded" in capsys.readouterr().out
    recording = open_recording(target)
    assert len(recording) == 7 and [str(f) for f in recording.formats] == ["YUY2:64x32@30"]
    assert json.loads(json.dumps(recording.info))["format"] == "YUY2:64x32@30"


@pytest.mark.parametrize(
    "arguments, message",
    [
        (["record", "--frames", "0", "x.qxrec"], "--frames must be 1 or more"),
        (["export", "{rec}", "out.avi"], "cannot export to .avi"),
        (["export", "{rec}", "out.mp4", "--format", "NV12"], "holds no NV12 frames"),
        (["export", "{rec}", "out.mp4", "--copy"], "only MJPG frames can be copied"),
    ],
    ids=["no-frames", "unknown-suffix", "missing-format", "copy-raw"],
)
def test_command_errors(emu, source, tmp_path, capsys, arguments, message):
    rec = tmp_path / "r.qxrec"
    writer = RecordingWriter(rec)
    writer.write_frame("RGB", 32, 16, 30, 0, 0.0, bytes(1536))
    writer.close()
    assert cli_main([a.replace("{rec}", str(rec)) for a in arguments]) == 1
    assert message in capsys.readouterr().err


def test_ctrl_c_ends_a_recording_closed_properly(tmp_path):
    config = tmp_path / "cameras.yaml"
    config.write_text(SOURCE.replace("pacing: false", "pacing: true"))
    target = tmp_path / "interrupted.qxrec"
    command = [sys.executable, "-m", "quorvex", "record", "--format", "YUY2", "--seconds", "60", str(target)]
    process = subprocess.Popen(command, env={**os.environ, "QX_EMULATOR_CONFIG": str(config)},
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 30
    # Written under a temporary name beside the target until the recording ends.
    while sum(f.stat().st_size for f in tmp_path.glob(".*interrupted.qxrec")) < 20_000 and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not target.exists()
    process.send_signal(signal.SIGINT)
    _, err = process.communicate(timeout=30)
    assert process.returncode == 130, err
    assert "interrupted" in err
    assert [f.name for f in tmp_path.iterdir() if f.name.startswith(".")] == []
    recording = open_recording(target)
    assert recording.complete and len(recording) >= 3
    assert [f.index for f in recording] == list(range(len(recording)))
