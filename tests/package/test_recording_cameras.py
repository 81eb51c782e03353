"""Recordings of several cameras, and what each frame tells beyond its bytes: written by Recorder
and record(), read back per camera, refused by a reader of version 1 alone, and cut short."""

import json
import sys

import numpy as np
import pytest

import quorvex
from quorvex import recording_file
from quorvex.cli import main as cli_main
from quorvex.recording import Recorder
from quorvex.recording_file import ImuSample, RecordingWriter, open_recording
from recording_support import HEADER, START, frame, meta, record, recording_bytes


def made_frame(index, camera, pixel_format="RGB", width=32, height=16, **told):
    data = np.full(width * height * 3, 10 * camera + index, np.uint8)
    return quorvex.Frame(data, quorvex.Format(pixel_format, width, height, 30, None), index, 5 + index / 30, **told)


def write_two_cameras(path):
    """Camera 0 with all it tells, camera 1 with some of it; IMU and controls for each."""
    recorder = Recorder(path, {"cameras": [{"format": "RGB:32x16@30"}, {"format": "RGB:32x16@30"}]},
                        controls=[{"gain": 1}, {"gain": 2}], cameras=2)
    for i in range(3):
        recorder.add(made_frame(i, 0, device_timestamp=100.5 + i, sequence=40 + i, host_time=1.7e9 + i,
                                exposure=250, gain=16 + i), camera=0)
        recorder.add(made_frame(i, 1, sequence=i), camera=1)
        recorder.add_imu(ImuSample(5 + i / 30, (0.0, 0.0, 9.8), (float(i), 0.0, 0.0)), camera=i % 2)
    recorder.add_controls({"gain": 3}, 6.0, camera=1)
    recorder.close()
    return recorder


def test_two_cameras_round_trip_per_camera(tmp_path):
    path = tmp_path / "two.qxrec"
    recorder = write_two_cameras(path)
    assert [c["written"] for c in recorder.counts] == [3, 3]
    with open_recording(path) as whole:
        assert whole.camera_count == 2 and whole.camera is None and whole.complete
        assert [whole.camera_of(i) for i in range(len(whole))] == [0, 1] * 3
        assert whole.summary["cameras"] == [{"dropped": 0, "rejected": 0, "frames": 3}] * 2
        for k in (0, 1):
            view = whole.view(k)
            frames = list(view)
            assert view.camera == k and len(view) == 3 and view.info["format"] == "RGB:32x16@30"
            assert [f.data.tobytes() for f in frames] == [made_frame(i, k).data.tobytes() for i in range(3)]
            assert [view.frame(i).data.tobytes() for i in range(3)] == [f.data.tobytes() for f in frames]
            assert [view.time_ns(i) for i in range(3)] == [round((5 + i / 30) * 1e9) for i in range(3)]
            assert [c.values["gain"] for c in view.controls] == ([1] if k == 0 else [2, 3])
            assert [s.angular_velocity[0] for s in view.imu] == ([0.0, 2.0] if k == 0 else [1.0])
        first, second = whole.view(0).frame(2), whole.view(1).frame(2)
        assert (first.device_timestamp, first.sequence, first.host_time, first.exposure, first.gain) == (
            102.5, 42, 1.7e9 + 2, 250, 18)
        assert (second.device_timestamp, second.sequence, second.host_time, second.exposure) == (None, 2, None, None)
        with pytest.raises(LookupError, match="holds 2 camera"):
            whole.view(2)
    assert open_recording(path, camera=1).info["format"] == "RGB:32x16@30"


@pytest.mark.parametrize("cameras", [1, 2])
def test_a_reader_of_version_1_reads_one_camera_and_refuses_several(tmp_path, monkeypatch, cameras):
    path = tmp_path / "take.qxrec"
    writer = RecordingWriter(path, cameras=cameras)
    for k in range(cameras):
        writer.write_frame("RGB", 32, 16, 30, 0, 1.0, bytes(1536), camera=k, meta=made_frame(0, k, sequence=9))
    writer.close()
    monkeypatch.setattr(recording_file, "READ_VERSIONS", (1,))
    if cameras == 1:
        (read,) = open_recording(path)
        assert read.sequence == 9  # its META, a record type added to version 1
    else:
        with pytest.raises(recording_file.RecordingError, match="format version 2; this quorvex reads version 1$"):
            open_recording(path)


def test_a_recording_without_cameras_or_meta_reads_as_one_camera(tmp_path):
    path = tmp_path / "older.qxrec"
    path.write_bytes(recording_bytes())  # as quorvex wrote them before several cameras
    with open_recording(path) as recording:
        assert (recording.camera_count, recording.camera, recording.calibration) == (1, None, None)
        assert [f.sequence for f in recording] == [None, None] and recording.frame(1).index == 1
        assert len(recording.view(0)) == 2 and recording.camera_of(1) == 0


def test_meta_goes_to_the_frame_before_it_of_its_camera_once(tmp_path):
    path = tmp_path / "meta.qxrec"
    path.write_bytes(HEADER + record(b"INFO", json.dumps(START).encode()) + meta(sequence=1) + frame()
                     + meta(flags=0b01000, exposure=99) + meta(sequence=5) + frame(3 * 10**9, 1))
    first, second = open_recording(path)
    assert (first.exposure, first.sequence, first.device_timestamp) == (99, None, None)
    assert (second.exposure, second.sequence) == (None, None)


def test_several_cameras_cut_short_keep_the_frames_before(tmp_path):
    path = tmp_path / "cut.qxrec"
    write_two_cameras(path)
    content = path.read_bytes()
    path.write_bytes(content[: content.rfind(b"FRAM") + 100])  # inside the last frame, camera 1's third
    with pytest.warns(RuntimeWarning, match="cut short inside the record"):
        recording = open_recording(path)
    assert [len(recording.view(k)) for k in (0, 1)] == [3, 2] and not recording.complete


def test_recorder_for_cameras_writes_calibration_where_a_camera_has_one(emu, tmp_path):
    path = tmp_path / "calibrated.qxrec"
    with quorvex.open(0) as first, quorvex.open(2) as webcam:
        with Recorder.for_cameras(path, [(first, first.formats[0]), (webcam, webcam.formats[0])]):
            pass
        expected = first.calibration.intrinsics
        with pytest.raises(quorvex.NotSupportedError):
            webcam.calibration.intrinsics
    recording = open_recording(path)
    assert recording.view(0).calibration == expected == recording.calibration
    assert recording.view(1).calibration is None and "calibration" not in recording.view(1).info
    assert recording.view(1).info["camera"]["name"].startswith("Generic")


def test_record_two_streams_gives_each_its_frames(emu, tmp_path):
    emu.configure("pacing: false\n" + emu.builtin_configuration())
    path = tmp_path / "both.qxrec"
    counts = []
    with quorvex.open(0) as first, quorvex.open(2) as webcam:
        with first.stream("YUY2:640x480") as left, webcam.stream("MJPG:640x480") as right:
            result = quorvex.record([left, right], path, frames=4, imu=True, progress=counts.append)
    assert counts == list(range(1, 9))
    assert [(c.frames, c.written) for c in result.cameras] == [(4, 4), (4, 4)] and result.frames == 8
    assert "8 of 8 frames from 2 cameras" in str(result) and "\n" not in str(result)
    recording = open_recording(path)
    assert [[f.pixel_format for f in recording.view(k)] for k in (0, 1)] == [["YUY2"] * 4, ["MJPG"] * 4]
    assert [f.index for f in recording.view(1)] == [0, 1, 2, 3]
    assert len(recording.view(0).imu) == 4 and recording.view(1).imu == []  # the webcam has no IMU
    assert all(f.sequence is not None and f.host_time is not None for f in recording)


def test_a_failure_stops_every_stream_and_leaves_no_file(emu, tmp_path):
    def fail(count):
        if count == 3:
            raise RuntimeError("stop here")

    with quorvex.open(0) as first, quorvex.open(1) as second:
        with pytest.raises(RuntimeError, match="stop here"):
            quorvex.record([first.stream(), second.stream()], tmp_path / "x.qxrec", seconds=60, progress=fail)
        assert not first.streams and not second.streams  # the streams it started, it stopped
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("codec, name", [("h264", "h264"), ("copy", "mjpeg")])
def test_record_command_with_a_codec_writes_an_mp4(emu, tmp_path, codec, name):
    av = pytest.importorskip("av")
    emu.configure("pacing: false\n" + emu.builtin_configuration())
    target = tmp_path / "take.mp4"
    assert cli_main(["record", "--codec", codec, "--format", "MJPG:640x480", "--frames", "3", str(target)]) == 0
    with av.open(str(target)) as container:
        (video,) = container.streams.video
        assert video.codec_context.name == name and len(list(container.decode(video))) == 3
    with quorvex.open(0) as first, quorvex.open(1) as second, first.stream() as left, second.stream() as right:
        with pytest.raises(ValueError, match="records one stream"):
            quorvex.record([left, right], tmp_path / "two.mp4", frames=3, codec=codec)


def test_record_command_with_two_cameras(emu, tmp_path, capsys):
    emu.configure("pacing: false\n" + emu.builtin_configuration())
    target = tmp_path / "two.qxrec"
    assert cli_main(["record", "--camera", "0", "--camera", "2", "--format", "YUY2:640x480", "--frames", "3",
                     str(target)]) == 0
    assert "6 of 6 frames from 2 cameras" in capsys.readouterr().out
    recording = open_recording(target)
    assert [len(recording.view(k)) for k in (0, 1)] == [3, 3]
    assert [recording.view(k).info["format"] for k in (0, 1)] == ["YUY2:640x480@60", "YUY2:640x480@30"]


@pytest.mark.parametrize(
    "arguments, message",
    [
        (["--camera", "0", "--camera", "1", "--format", "YUY2", "--format", "UYVY", "--format", "NV12"],
         "--format is given 3 times for 2 cameras"),
        (["--camera", "0", "--camera", "0"], "names a camera twice"),
        (["--camera", "0", "--camera", "1", "--codec", "h264"], "records one camera, not 2"),
        (["--codec", "copy"], "writes an .mp4 file, not out.qxrec"),
    ],
    ids=["format-count", "same-camera", "codec-two-cameras", "codec-suffix"],
)
def test_record_command_errors_in_one_line(emu, tmp_path, capsys, arguments, message):
    assert cli_main(["record", *arguments, "--frames", "2", str(tmp_path / "out.qxrec")]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("command", [["record", "--codec", "h264", "--frames", "2"], ["export", "in.qxrec"]])
def test_commands_without_pyav_say_so_in_one_line(emu, tmp_path, capsys, monkeypatch, command):
    (tmp_path / "in.qxrec").write_bytes(recording_bytes())
    monkeypatch.chdir(tmp_path)
    monkeypatch.setitem(sys.modules, "av", None)  # importing PyAV fails
    assert cli_main([*command, "take.mp4"]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "needs PyAV" in err
    assert sorted(path.name for path in tmp_path.iterdir()) == ["in.qxrec"]
