"""A recording played as a camera: quorvex.open("x.qxrec"), its streams' pace, seek, pause,
step, loop and end, and what the recorded camera tells at the playback position."""

import asyncio
import itertools
import threading
import time

import numpy as np
import pytest

import quorvex
from quorvex import recording_file
from quorvex.playback import MAX_GAP, EndOfRecording
from playback_support import pixels, write

STEADY = [k * 0.1 for k in range(6)]  # six frames 0.1 s apart


@pytest.fixture
def steady(tmp_path):
    return write(tmp_path / "steady.qxrec", STEADY)


def later(delay, action):
    """Runs `action` on another thread after `delay` seconds."""
    thread = threading.Timer(delay, action)
    thread.start()
    return thread


@pytest.mark.parametrize("move, expected", [
    (lambda s: s.seek(frame=4), 4),
    (lambda s: s.seek(frame=0), 0),
    (lambda s: s.seek(seconds=0.25), 2),  # the last frame recorded at or before 0.25 s
    (lambda s: s.seek(seconds=0.45), 4),
    (lambda s: (s.seek(frame=2), s.read()), 3),  # reading moves on
])
def test_seek_lands_on_the_frame_with_its_bytes(steady, move, expected):
    with quorvex.open(steady, paced=False) as camera, camera.stream() as stream:
        move(stream)
        assert stream.position == expected
        frame = stream.read(timeout=0)
        assert frame.index == expected
        assert np.array_equal(frame.data, pixels(expected))
        assert frame.timestamp == pytest.approx(10**3 + STEADY[expected])
        stepped = stream.step()
        assert stepped.index == expected + 1 and np.array_equal(stepped.data, pixels(expected + 1))
        assert stream.paused


@pytest.mark.parametrize("seek, message", [
    ({"frame": 6}, "frames 0 to 5"),
    ({"frame": -1}, "frames 0 to 5"),
    ({"seconds": 0.6}, "lasts 0.500 s"),
    ({"seconds": -0.1}, "lasts 0.500 s"),
])
def test_a_seek_outside_the_recording_is_refused(steady, seek, message):
    with quorvex.open(steady) as camera, camera.stream() as stream:
        for kind in (ValueError, IndexError):
            with pytest.raises(kind, match=message):
                stream.seek(**seek)
        assert stream.position == 0


def test_paced_frames_keep_the_recorded_gaps_and_long_gaps_are_shortened(tmp_path):
    times = [0.0, 0.3, 0.6, 0.6 + 3600]  # an hour's pause before the last
    with quorvex.open(write(tmp_path / "gaps.qxrec", times)) as camera:
        began = time.monotonic()
        # A recorded pause is waited out whatever the stream's timeout (before: TimeoutError).
        with camera.stream(timeout=0.2) as stream:
            arrivals = [(time.monotonic() - began, frame.index) for frame in stream]
    assert [index for _, index in arrivals] == [0, 1, 2, 3]
    # Never early: frame k comes no sooner than its recorded time after the start.
    for (arrived, _), due in zip(arrivals, [0.0, 0.3, 0.6, 0.6 + MAX_GAP]):
        assert arrived >= due - 0.005


def test_unpaced_frames_come_at_once_and_the_recording_ends(tmp_path):
    path = write(tmp_path / "slow.qxrec", [0, 100, 200])
    with quorvex.open(path, paced=False) as camera, camera.stream() as stream:
        assert [stream.read(timeout=0).index for _ in range(3)] == [0, 1, 2]
        with pytest.raises(EndOfRecording) as ended:
            stream.read(timeout=0)
        assert isinstance(ended.value, EOFError) and isinstance(ended.value, quorvex.QuorvexError)
        stream.seek(frame=1)  # an ended stream plays again from a seek
        assert [frame.index for frame in stream] == [1, 2]
        assert stream.frames_read == 5 and stream.dropped == 0 and stream.reconnects == 0


def test_loop_starts_over_and_seek_still_holds(steady):
    with quorvex.open(steady, paced=False, loop=True) as camera, camera.stream() as stream:
        indices = [frame.index for frame in itertools.islice(stream, 14)]
        assert indices == [0, 1, 2, 3, 4, 5] * 2 + [0, 1]
        assert stream.loops == 2 and stream.frames_read == 14
        stream.seek(frame=5)
        assert [stream.read().index for _ in range(2)] == [5, 0]
        assert stream.loops == 3


def test_pause_makes_reads_time_out_and_other_threads_wake_a_waiting_read(tmp_path):
    path = write(tmp_path / "long.qxrec", [0, 0.1, 60, 120])  # gaps played as MAX_GAP
    with quorvex.open(path) as camera, camera.stream() as stream:
        assert stream.read().index == 0
        stream.pause()
        with pytest.raises(quorvex.TimeoutError):
            stream.read(timeout=0.2)
        assert stream.position == 1  # nothing was taken
        later(0.1, stream.resume)
        assert stream.read(timeout=30).index == 1
        # Frame 2 is due MAX_GAP later: a seek from another thread meanwhile brings frame 3.
        later(0.1, lambda: stream.seek(frame=3))
        assert stream.read(timeout=30).index == 3
        stream.seek(frame=0)
        stream.pause()
        step = later(0.1, stream.step)  # a step elsewhere leaves this read waiting, paused
        with pytest.raises(quorvex.TimeoutError):
            stream.read(timeout=0.5)
        step.join()
        assert stream.position == 1


@pytest.mark.parametrize("meanwhile, given_back, next_index", [
    (lambda stream: None, True, 1),
    (lambda stream: stream.seek(frame=3), False, 3),  # moved since: the seek holds
    (lambda stream: stream.step(), False, 3),
], ids=["read-again", "after-a-seek", "after-a-step"])
def test_put_back_gives_the_frame_read_last_to_the_next_read_unless_the_position_moved(tmp_path, meanwhile,
                                                                                      given_back, next_index):
    path = write(tmp_path / "back.qxrec", [0, 0.1, 0.2, 0.3])
    with quorvex.open(path, paced=False) as camera, camera.stream() as stream:
        stream.read()
        frame = stream.read()
        meanwhile(stream)
        assert stream.put_back(frame) is given_back
        assert stream.step().index == next_index


def test_aread_and_async_iteration(tmp_path):
    path = write(tmp_path / "async.qxrec", [0, 0.05, 0.1])

    async def main():
        with quorvex.open(path) as camera:
            async with camera.stream() as stream:
                assert [frame.index async for frame in stream] == [0, 1, 2]
                stream.seek(frame=1)
                stream.pause()
                with pytest.raises(quorvex.TimeoutError):
                    await stream.aread(timeout=0.2)
                later(0.1, stream.resume)  # from another thread: wakes the waiting aread
                frame = await stream.aread(timeout=30)
                assert frame.index == 1 and np.array_equal(frame.data, pixels(1))
                # A cancelled aread loses no frame.
                stream.pause()
                waiting = asyncio.ensure_future(stream.aread(timeout=30))
                await asyncio.sleep(0.05)
                waiting.cancel()
                stream.resume()
                assert (await stream.aread(timeout=30)).index == 2
                with pytest.raises(EndOfRecording):
                    await stream.aread()

    asyncio.run(main())


CALIBRATION = {"width": 32, "height": 16, "fx": 20.0, "fy": 21.0, "cx": 16.0, "cy": 8.0,
               "coeffs": [0.1, -0.01, 0.0, 0.0, 0.001], "model": "radtan"}


def test_controls_imu_and_calibration_follow_the_playback_position(tmp_path):
    path = write(tmp_path / "state.qxrec", [0.0, 0.5, 1.5], info={"calibration": CALIBRATION},
                 controls=[(-0.1, {"gain": 1, "exposure": 100}), (1.0, {"gain": 5, "exposure": 100})],
                 imu=[(0.01, (0, 0, 9.8), (1, 0, 0)), (0.51, (0, 1, 9.8), (2, 0, 0)), (1.51, (1, 1, 9.8), (3, 0, 0))])
    with quorvex.open(recording=path, paced=False) as camera:
        assert camera.info.name == "Recorded" and camera.info.path == "/dev/video3" and camera.info.unique_id is None
        assert str(camera.formats[0]) == "RGB:32x16@30" and camera.find_format("RGB") == camera.formats[0]
        assert camera.calibration.intrinsics.fx == 20.0
        assert camera.imu.running
        with camera.stream() as stream:
            assert camera.controls.snapshot() == {"gain": 1, "exposure": 100}
            seen = []
            for frame in stream:
                seen.append((camera.controls["gain"].value, camera.imu.rotation_rate()[0], camera.timestamp))
            assert seen == [(1, 1.0, 0.0), (1, 2.0, 0.5), (5, 3.0, 1.5)]
        with pytest.raises(quorvex.NotSupportedError):
            camera.controls["gain"].value = 3
        with pytest.raises(KeyError, match="gain, exposure"):
            camera.controls["zoom"]
    bare = write(tmp_path / "bare.qxrec", [0.0])
    with quorvex.open(bare) as camera:
        assert not camera.imu.running and camera.controls.snapshot() == {}
        for read in (lambda: camera.calibration.intrinsics, camera.imu.acceleration):
            with pytest.raises(quorvex.NotSupportedError):
                read()


@pytest.mark.parametrize("call, error", [
    (lambda p: quorvex.open(p, unique_id="x"), TypeError),
    (lambda p: quorvex.open(recording=p, path="/dev/video0"), TypeError),
    (lambda p: quorvex.open(0, paced=False), TypeError),
    (lambda p: quorvex.open(p, camera=1), LookupError),
    (lambda p: quorvex.open(p).stream("YUY2"), LookupError),
    (lambda p: quorvex.open(p).stream(exposure_and_gain=True, reconnect=True, bogus=1), TypeError),
    (lambda p: quorvex.open(p.with_suffix(".txt")), TypeError),  # a path, not a recording
])
def test_open_refuses_what_a_recording_cannot_be(steady, call, error):
    with pytest.raises(error):
        call(steady)


def test_a_closed_camera_stops_its_stream(steady):
    camera = quorvex.open(str(steady))
    stream = camera.stream(exposure_and_gain=True, reconnect=True).start()
    assert "RecordedCamera 0 of steady.qxrec open" in repr(camera)
    camera.close()
    assert not camera.is_open and not stream.is_streaming
    with pytest.raises(RuntimeError, match="stopped"):
        stream.read()


async def pairs_async(groups):
    async with groups:
        return [(x.index, y.index) async for x, y in groups]


@pytest.mark.parametrize("iterate", [
    lambda groups: [(x.index, y.index) for x, y in groups],
    lambda groups: asyncio.run(pairs_async(groups)),
], ids=["threads", "tasks"])
def test_synchronized_groups_recorded_cameras_by_their_recorded_times(tmp_path, iterate):
    left = write(tmp_path / "left.qxrec", [0.0, 0.1, 0.2, 0.3])
    right = write(tmp_path / "right.qxrec", [0.105, 0.205, 0.303])  # starts a frame late
    with quorvex.open(left) as a, quorvex.open(right) as b, a.stream() as one, b.stream() as two:
        groups = quorvex.synchronized([one, two], tolerance=0.02)
        # The end of the recordings ends the groups.
        assert iterate(groups) == [(1, 0), (2, 1), (3, 2)]
        assert groups.clock == "host"
        groups.close()


def test_the_cameras_of_one_recording_play_apart_and_in_step(tmp_path):
    path = tmp_path / "pair.qxrec"
    start = 1000.0
    info = {"cameras": [{"camera": {"name": f"Cam {k}"}, "format": "RGB:32x16@30"} for k in range(2)]}
    writer = recording_file.RecordingWriter(path, info, cameras=2)
    fmt = quorvex.Format("RGB", 32, 16, 30, None)
    for k in range(4):
        for camera in (0, 1):
            t = k * 0.1 + camera * 0.003
            meta = quorvex.Frame(pixels(10 * camera + k), fmt, k, start + t, device_timestamp=t, sequence=50 + k,
                                 host_time=1.7e9 + t, exposure=200 + camera, gain=camera)
            writer.write_frame("RGB", 32, 16, 30, k, start + t, pixels(10 * camera + k), camera=camera, meta=meta)
    writer.close()
    with quorvex.open(path, camera=1, paced=False) as second, second.stream() as stream:
        assert second.info.name == "Cam 1"
        frames = list(stream)
        assert [frame.index for frame in frames] == [0, 1, 2, 3]
        assert all(np.array_equal(frame.data, pixels(10 + k)) for k, frame in enumerate(frames))
        assert (frames[2].device_timestamp, frames[2].sequence, frames[2].exposure) == (pytest.approx(0.203), 52, 201)
    with quorvex.open(path) as a, quorvex.open(path, camera=1) as b, a.stream() as one, b.stream() as two:
        with quorvex.synchronized([one, two], tolerance=0.01) as groups:
            assert [(x.index, y.index) for x, y in groups] == [(k, k) for k in range(4)]
