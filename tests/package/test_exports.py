"""Exports with the recorded calibration and timing: MCAP read back with the mcap package, MP4
decoded with PyAV; several cameras in one file."""

import json
import struct

import numpy as np
import pytest

from quorvex.cli import main as cli_main
from quorvex.export import export_mcap, export_mp4
from quorvex.recording_file import RecordingError, RecordingWriter, open_recording
from recording_support import HEADER, START, record

TICK = 1 / 90_000
# Arrival times with a stall and two frames on one tick: the exports keep them as they are.
TIMES = [10.0, 10.0334, 10.2, 10.2, 10.25, 10.2833]
CALIBRATION = {"width": 64, "height": 32, "fx": 50.5, "fy": 50.25, "cx": 31.5, "cy": 15.75,
               "coeffs": [-0.12, 0.047, 0.0004, -0.0003, -0.0082], "model": "radtan"}


def write_recording(path, pixel_format="YUY2", size=(64, 32), times=TIMES, info=None, data=None):
    writer = RecordingWriter(path, {"camera": {"name": "Cam"}, **(info or {})})
    width, height = size
    for index, seconds in enumerate(times):
        frame = data[index] if data is not None else np.full(width * height * 2, 40 + 30 * index, np.uint8)
        writer.write_frame(pixel_format, width, height, 30, index, seconds, frame)
    writer.close()
    return open_recording(path)


def read_mcap(path):
    from mcap.reader import make_reader
    from mcap_protobuf.decoder import DecoderFactory

    with open(path, "rb") as file:
        return [(channel.topic, message, decoded) for _, channel, message, decoded
                in make_reader(file, decoder_factories=[DecoderFactory()]).iter_decoded_messages(log_time_order=False)]


@pytest.mark.parametrize(
    "calibration, expected",
    [
        (CALIBRATION, (64, 32, 50.5, 50.25, 31.5, 15.75, "plumb_bob")),
        # The factory calibration is for the largest format: scaled to a smaller one of its shape.
        ({**CALIBRATION, "width": 128, "height": 64, "fx": 101.0, "fy": 100.5, "cx": 63.0, "cy": 31.5},
         (64, 32, 50.5, 50.25, 31.5, 15.75, "plumb_bob")),
        ({**CALIBRATION, "width": 640, "height": 480}, (640, 480, 50.5, 50.25, 31.5, 15.75, "plumb_bob")),
        ({**CALIBRATION, "model": "none"}, (64, 32, 50.5, 50.25, 31.5, 15.75, "")),
        (None, None),
    ],
    ids=["same-size", "scaled", "other-shape", "no-distortion", "none"],
)
def test_mcap_holds_the_calibration_once_and_images_at_their_recorded_times(tmp_path, calibration, expected):
    pytest.importorskip("mcap_protobuf")
    info = {"calibration": calibration} if calibration else {}
    recording = write_recording(tmp_path / "in.qxrec", info=info)
    assert export_mcap(recording, tmp_path / "out.mcap") == len(TIMES)
    messages = read_mcap(tmp_path / "out.mcap")
    images = [(message, decoded) for topic, message, decoded in messages if topic == "/camera/image"]
    calibrations = [(message, decoded) for topic, message, decoded in messages if topic == "/camera/calibration"]
    stamps = [recording.unix_ns(time_ns) for _, time_ns in recording.timed_frames()]
    assert [message.log_time for message, _ in images] == stamps
    assert [decoded.timestamp.ToNanoseconds() for _, decoded in images] == stamps
    # Without the camera's clock the publish time is the log time.
    assert [message.publish_time for message, _ in images] == stamps
    if expected is None:
        assert calibrations == []
        return
    ((message, decoded),) = calibrations
    assert [topic for topic, _, _ in messages].index("/camera/calibration") == 0
    assert message.log_time == decoded.timestamp.ToNanoseconds() == stamps[0]
    width, height, fx, fy, cx, cy, model = expected
    assert (decoded.width, decoded.height, decoded.distortion_model) == (width, height, model)
    assert decoded.frame_id == images[0][1].frame_id == "Cam"
    assert list(decoded.K) == pytest.approx([fx, 0, cx, 0, fy, cy, 0, 0, 1])
    assert list(decoded.P) == pytest.approx([fx, 0, cx, 0, 0, fy, cy, 0, 0, 0, 1, 0])
    assert list(decoded.R) == [1, 0, 0, 0, 1, 0, 0, 0, 1]
    assert list(decoded.D) == (pytest.approx(CALIBRATION["coeffs"]) if model else [])


def meta(camera, device_timestamp, sequence):
    return record(b"META", struct.pack("<HHIdQqqq", camera, 0, 0b11, device_timestamp, sequence, 0, 0, 0))


def frame_record(camera, sequence, time_ns, value):
    header = struct.pack("<8sHHHHQq", b"YUY2", 64, 32, 30, camera, sequence, time_ns)
    return record(b"FRAM", header + bytes([value]) * (64 * 32 * 2))


def test_mcap_keeps_the_cameras_clock_as_the_publish_time(tmp_path):
    pytest.importorskip("mcap_protobuf")
    path = tmp_path / "meta.qxrec"
    path.write_bytes(HEADER + record(b"INFO", json.dumps(START).encode())
                     + frame_record(0, 0, 2 * 10**9, 1) + meta(0, 123.456789, 7)
                     + frame_record(0, 1, 3 * 10**9, 2) + meta(0, 123.490123, 8))
    recording = open_recording(path)
    export_mcap(recording, tmp_path / "out.mcap")
    images = [message for topic, message, _ in read_mcap(tmp_path / "out.mcap") if topic == "/camera/image"]
    assert [m.publish_time for m in images] == [round(123.456789e9), round(123.490123e9)]
    assert [m.log_time for m in images] == [recording.unix_ns(2 * 10**9), recording.unix_ns(3 * 10**9)]


def two_camera_recording(path):
    calibrations = [CALIBRATION, {**CALIBRATION, "fx": 60.0, "fy": 60.0}]
    cameras = [{"camera": {"name": name}, "format": "YUY2:64x32@30", "calibration": calibration}
               for name, calibration in zip(("Left", "Right"), calibrations)]
    info = {**START, "camera": {"name": "Left"}, "format": "YUY2:64x32@30", "calibration": CALIBRATION,
            "cameras": cameras}
    imu = record(b"IMU ", struct.pack("<q3d3dI", 2_500_000_000, 0, 0, 9.8, 1, 2, 3, 1))
    body = b"".join(frame_record(camera, sequence, (2 + sequence) * 10**9 + camera * 1000, 10 * camera + sequence)
                    for sequence in range(3) for camera in (0, 1))
    path.write_bytes(struct.pack("<8sII", b"QXRECORD", 2, 0) + record(b"INFO", json.dumps(info).encode())
                     + body[: len(body) // 2] + imu + body[len(body) // 2:])
    return open_recording(path)


def test_several_cameras_export_to_topics_of_their_own(tmp_path, capsys):
    pytest.importorskip("mcap_protobuf")
    recording = two_camera_recording(tmp_path / "two.qxrec")
    assert export_mcap(recording, tmp_path / "out.mcap") == 6
    messages = read_mcap(tmp_path / "out.mcap")
    topics = [topic for topic, _, _ in messages]
    assert sorted(set(topics)) == ["/camera0/calibration", "/camera0/image", "/camera1/calibration", "/camera1/image",
                                   "/camera1/imu/acceleration", "/camera1/imu/angular_velocity"]
    for camera, (name, fx) in enumerate((("Left", 50.5), ("Right", 60.0))):
        (calibration,) = [d for t, _, d in messages if t == f"/camera{camera}/calibration"]
        images = [d for t, _, d in messages if t == f"/camera{camera}/image"]
        assert calibration.K[0] == fx and calibration.frame_id == name
        assert [d.data[0] for d in images] == [10 * camera + sequence for sequence in range(3)]
        assert {d.frame_id for d in images} == {name}
    # Written in time order, the IMU sample between the frames it fell between.
    log_times = [message.log_time for _, message, _ in messages]
    assert log_times == sorted(log_times)

    with pytest.raises(ValueError, match="holds 2 cameras"):
        export_mp4(recording, tmp_path / "out.mp4")
    with pytest.raises(LookupError, match="no camera 2"):
        export_mp4(recording, tmp_path / "out.mp4", camera=2)
    assert cli_main(["export", str(recording.path), str(tmp_path / "out.mp4")]) == 1
    assert "holds 2 cameras" in capsys.readouterr().err
    assert export_mp4(recording, tmp_path / "out.mp4", camera=1) == 3
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.mcap", "out.mp4", "two.qxrec"]


def decoded_times(path):
    import av

    with av.open(str(path)) as container:
        return [frame.time for frame in container.decode(video=0)]


def expected_times(times):
    """The recorded times as presentation times: from the first, on the 1/90000 s clock, rising."""
    ticks, last = [], -1
    for seconds in times:
        last = max(last + 1, round((seconds - times[0]) * 90_000))
        ticks.append(last)
    return [tick * TICK for tick in ticks]


@pytest.mark.parametrize("copy", [False, True], ids=["h264", "mjpg-copy"])
def test_mp4_export_keeps_each_frames_recorded_time(tmp_path, copy):
    pytest.importorskip("av")
    Image = pytest.importorskip("PIL.Image")
    import io

    if copy:
        jpeg = io.BytesIO()
        Image.new("RGB", (64, 32), (200, 30, 30)).save(jpeg, "JPEG")
        data = [np.frombuffer(jpeg.getvalue(), np.uint8)] * len(TIMES)
        recording = write_recording(tmp_path / "in.qxrec", "MJPG", data=data)
    else:
        recording = write_recording(tmp_path / "in.qxrec")
    assert export_mp4(recording, tmp_path / "out.mp4", copy=copy) == len(TIMES)
    assert decoded_times(tmp_path / "out.mp4") == pytest.approx(expected_times(TIMES), abs=TICK)
