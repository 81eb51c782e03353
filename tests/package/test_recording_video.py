"""Compressed recording: VideoRecorder's MP4 files decoded with PyAV, its queue, and the files it
leaves (none but the finished one)."""

import dataclasses
import sys
import threading

import numpy as np
import pytest

import quorvex
from quorvex.formats import Format
from quorvex.frame import Frame

av = pytest.importorskip("av")
from quorvex.recording_video import VideoRecorder  # noqa: E402

SOURCE = ("pacing: false\ncameras:\n  - {name: Source, path: /dev/video7, interface: usb, product: zena,"
          " hardware_id: SRC-1, formats: [{format: YUY2, sizes: ['64x32'], fps: [30]},"
          " {format: UYVY, sizes: ['64x32'], fps: [30]}, {format: NV12, sizes: ['64x32'], fps: [30]},"
          " {format: MJPG, sizes: ['64x32'], fps: [30]}, {format: BGRA, sizes: ['64x32'], fps: [30]},"
          " {format: RGB, sizes: ['33x17'], fps: [30]}]}\n")


# Arrival times with a stall and two frames on one tick (the second is put a tick later).
TIMES = [5.0, 5.0334, 5.2, 5.2, 5.25]
PTS = [0, 3006, 18000, 18001, 22500]


def camera_frames(emu, wanted):
    emu.configure(SOURCE)
    with quorvex.open(0) as camera, camera.stream(wanted) as stream:
        return [dataclasses.replace(stream.read(), timestamp=seconds) for seconds in TIMES]


def decode(path):
    with av.open(str(path)) as container:
        stream = container.streams.video[0]
        return stream.codec_context.name, list(container.decode(stream))


@pytest.mark.parametrize("wanted, codec", [("YUY2", "h264"), ("UYVY", "h264"), ("NV12", "h264"), ("BGRA", "h264"),
                                         ("RGB", "h264"), ("MJPG", "h264"), ("MJPG", "copy")])
def test_a_video_recording_decodes_to_the_frames_written_at_their_times(emu, tmp_path, wanted, codec):
    frames = camera_frames(emu, wanted)
    target = tmp_path / "out.mp4"
    with VideoRecorder(target, frames[0].format, codec=codec, info={"camera": {"name": "Source"}}) as recorder:
        assert all(recorder.add(frame) for frame in frames)
    assert (recorder.written, recorder.dropped, recorder.rejected) == (5, 0, 0)
    assert recorder.bytes_written > 0 and target.stat().st_size > recorder.bytes_written
    name, decoded = decode(target)
    width, height = frames[0].width, frames[0].height
    assert name == ("mjpeg" if codec == "copy" else "h264") and len(decoded) == 5
    assert {(d.width, d.height) for d in decoded} == {(width, height) if codec == "copy" else (width & ~1, height & ~1)}
    assert [d.pts * d.time_base * 90_000 for d in decoded] == PTS
    # The picture survives: colours (channel order included) within a few levels of the frame's.
    recorded = frames[2].to_rgb()[: height & ~1, : width & ~1].astype(int)
    shown = decoded[2].to_ndarray(format="rgb24")[: height & ~1, : width & ~1].astype(int)
    assert np.abs(recorded - shown).mean() < 12


def test_a_full_queue_drops_frames_without_holding_up_add(tmp_path, monkeypatch):
    release = threading.Event()
    original = VideoRecorder._encode

    def slow_write(self, frame):
        release.wait()
        return original(self, frame)

    monkeypatch.setattr(VideoRecorder, "_encode", slow_write)
    format = Format("RGB", 32, 16, 30, qx_format=None)
    recorder = VideoRecorder(tmp_path / "out.mp4", format, queue_bytes=1)
    accepted = [recorder.add(Frame(np.zeros(32 * 16 * 3, np.uint8), format, i, i / 30)) for i in range(6)]
    # One frame with the writer, one waiting: the rest are dropped, never waited for.
    assert accepted[0] and accepted.count(True) <= 2 and recorder.dropped == accepted.count(False)
    release.set()
    with pytest.warns(RuntimeWarning, match="frames were dropped"):
        recorder.close()
    assert recorder.written == accepted.count(True) == len(decode(tmp_path / "out.mp4")[1])


@pytest.mark.parametrize("codec", ["h264", "copy"])
def test_frames_it_cannot_take_are_left_out_and_the_rest_recorded(emu, tmp_path, codec):
    good = camera_frames(emu, "MJPG")[:3]
    damaged = dataclasses.replace(good[0], data=np.frombuffer(b"\xff\xd8 not a JPEG" * 8, np.uint8))
    other_size = Frame(good[0].data, Format("MJPG", 128, 64, 30, qx_format=None), 9, 5.1)
    added = [good[0], damaged, good[1], other_size, good[2]]
    with pytest.warns(RuntimeWarning, match="left out"):
        with VideoRecorder(tmp_path / "out.mp4", good[0].format, codec=codec) as recorder:
            for frame in added:
                recorder.add(frame)
    # The damaged JPEG is copied as the camera sent it; only encoding has to read it.
    assert (recorder.written, recorder.rejected) == ((3, 2) if codec == "h264" else (4, 1))
    with av.open(str(tmp_path / "out.mp4")) as container:
        assert sum(1 for packet in container.demux(video=0) if packet.size) == recorder.written


def test_a_video_recording_without_frames_is_still_an_mp4_file(tmp_path):
    VideoRecorder(tmp_path / "empty.mp4", Format("YUY2", 64, 32, 30, qx_format=None)).close()
    with av.open(str(tmp_path / "empty.mp4")) as container:
        assert container.format.name.startswith("mov,mp4")


def fail_writing(self, frame):
    raise OSError(28, "No space left on device")


@pytest.mark.parametrize("how", ["discard", "exception", "write-fails"])
def test_a_video_recording_that_does_not_finish_leaves_nothing(tmp_path, monkeypatch, how):
    format = Format("RGB", 32, 16, 30, qx_format=None)
    frame = Frame(np.zeros(32 * 16 * 3, np.uint8), format, 0, 0.0)
    if how == "write-fails":
        monkeypatch.setattr(VideoRecorder, "_encode", fail_writing)
    with pytest.raises((OSError, KeyError)) as raised:
        with VideoRecorder(tmp_path / "out.mp4", format) as recorder:
            recorder.add(frame)
            if how == "discard":
                recorder.discard()
                raise KeyError("done")
            if how == "exception":
                raise KeyError("the capture failed")
    assert (raised.type is OSError) == (how == "write-fails")
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize(
    "arguments, error, message",
    [
        ({"path": "taken.mp4"}, FileExistsError, "taken.mp4 exists"),
        ({"codec": "vp9"}, ValueError, "codec must be one of h264, copy"),
        ({"codec": "copy"}, ValueError, "only MJPG frames can be copied"),
        ({"path": "out.mkv"}, ValueError, "name it NAME.mp4"),
        ({"without_av": True}, ImportError, r"pip install 'pyQuorvexSDK\[export\]'"),
    ],
    ids=["existing", "unknown-codec", "copy-raw", "not-mp4", "no-pyav"],
)
def test_video_recorder_refusals_write_nothing(tmp_path, monkeypatch, arguments, error, message):
    (tmp_path / "taken.mp4").write_bytes(b"keep me")
    if arguments.pop("without_av", False):
        monkeypatch.setitem(sys.modules, "av", None)
    path = tmp_path / arguments.pop("path", "out.mp4")
    with pytest.raises(error, match=message):
        VideoRecorder(path, Format("YUY2", 64, 32, 30, qx_format=None), **arguments)
    assert [p.name for p in tmp_path.iterdir()] == ["taken.mp4"]
    assert (tmp_path / "taken.mp4").read_bytes() == b"keep me"
