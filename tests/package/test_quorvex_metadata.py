"""What frames tell about themselves (the camera's clock and frame counter, unwrapped), and
telling cameras apart: unique IDs, selecting by one field, ambiguous selectors."""

import asyncio
import dataclasses
import time

import pytest

import quorvex

FPS = 60
FORMAT = f"YUY2:640x480@{FPS}"
RESTART = "restart"  # in a list of counters: the device's counter and clock start again here
STOP_START = "stop, start"  # the stream stopped and started again here
UNKNOWN = "unknown"  # a timestamp the library refuses
# Frames made when asked for: a reader however slow misses none.
UNPACED = f"""
pacing: false
cameras:
  - {{name: Solo, path: /dev/video9, interface: usb, product: zeni, hardware_id: S1,
     formats: [{{format: YUY2, sizes: [640x480], fps: [{FPS}]}}]}}
"""


def scripted_reads(emu, stream, answers):
    """Frames read with QxGetFrameCount (and QxGetTimestamp, where given) answering as listed."""
    frames = []
    for answer in answers:
        if answer == RESTART:
            stream._sequence_restarted()
        elif answer == STOP_START:
            stream.stop()
            stream.start()
        else:
            count, stamp = answer if isinstance(answer, tuple) else (answer, None)
            emu.script("QxGetFrameCount", outs={"count": count}, result=0)
            if stamp == UNKNOWN:
                emu.script("QxGetTimestamp", result=-7)
            elif stamp is not None:
                emu.script("QxGetTimestamp", outs={"timestamp": stamp}, result=0)
            frames.append(stream.read())
    return frames


def stalled(frames):
    return 1.0 + frames / FPS


@pytest.mark.parametrize(
    "answers, sequences, dropped",
    [([7, 8, 9], [7, 8, 9], 0),
     ([3, 4, 7, 8], [3, 4, 7, 8], 2),
     ([254, 255, 0, 2], [254, 255, 256, 258], 1),
     ([10, 10], [10, 10], 0),  # the counter did not move: no frame dropped, the sequence stays
     # A reader stalled past a wrap: the camera's clock tells how many turns the counter made.
     ([(10, 1.0), (12, stalled(258))], [10, 268], 257),
     ([(10, 1.0), (12, stalled(2 * 256 + 2))], [10, 524], 513),
     ([(10, 1.0), (210, stalled(300))], [10, 210], 199),  # 200 is nearer to 300 than 456
     ([(10, 1.0), (12, stalled(250))], [10, 12], 1),  # under a turn: the counter alone decides
     # A camera slower than its format (a long exposure): its own rate decides, 180 frames in 6 s.
     ([(10, 1.0), (11, 1.0 + 2 / FPS), (191, 1.0 + 2 / FPS + 6.0)], [10, 11, 191], 179),
     # The clock unknown for one frame: no estimate from or to it.
     ([(10, 1.0), (12, UNKNOWN), (14, stalled(300))], [10, 12, 14], 2),
     # A replugged device counts from 0 again, its clock too: no estimate across the restart.
     ([(5, 1.0), (6, 1.01), RESTART, (3, 0.05), (4, 0.07)], [5, 6, 9, 10], 2),
     ([RESTART, 5, 6], [5, 6], 0),
     ([250, 253, STOP_START, 4, 5], [250, 253, 4, 5], 2)],  # a new start: the raw counter again
)
def test_the_frame_counter_is_unwrapped_and_gaps_counted(emu, answers, sequences, dropped):
    with quorvex.open(0) as camera, camera.stream(FORMAT) as stream:
        frames = scripted_reads(emu, stream, answers)
    assert [frame.sequence for frame in frames] == sequences
    assert stream.dropped == dropped


def test_frames_carry_the_camera_s_clock_and_counter(emu):
    emu.configure(UNPACED)
    with quorvex.open(0) as camera, camera.stream(FORMAT) as stream:
        before = time.time()
        frames = [stream.read() for _ in range(3)]
        after = time.time()
        assert camera.frame_count == frames[-1].sequence % 256
    assert [b.sequence - a.sequence for a, b in zip(frames, frames[1:])] == [1, 1]
    assert all(a.device_timestamp < b.device_timestamp for a, b in zip(frames, frames[1:]))
    assert before <= frames[0].host_time <= frames[-1].host_time <= after
    assert all(frame.exposure is None and frame.gain is None for frame in frames)
    assert f"sequence {frames[0].sequence}" in repr(frames[0])
    # Made by the stream's shortcut, a frame is the dataclass __init__ would make: every field,
    # frozen, copied by dataclasses.replace.
    copy = dataclasses.replace(frames[0])
    assert vars(copy) == vars(frames[0]) and list(vars(copy)) == [f.name for f in dataclasses.fields(copy)]
    with pytest.raises(dataclasses.FrozenInstanceError):
        frames[0].sequence = 0


@pytest.mark.parametrize("exposure_and_gain", [False, True])
def test_exposure_and_gain_only_when_asked(emu, exposure_and_gain):
    with quorvex.open(0) as camera, camera.stream(FORMAT, exposure_and_gain=exposure_and_gain) as stream:
        emu.clear_journal()
        frame = stream.read()
        calls = len(emu.journal("QxGetCurrentExposure")) + len(emu.journal("QxGetCurrentGain"))
        if exposure_and_gain:
            assert (frame.exposure, frame.gain) == (camera.exposure_us, camera.gain)
            assert calls == 2
        else:
            assert (frame.exposure, frame.gain, calls) == (None, None, 0)


@pytest.mark.parametrize(
    "function, failure",
    [("QxGetTimestamp", {"result": -7}), ("QxGetFrameCount", {"result": -3}),
     ("QxGetCurrentExposure", {"result": -7}), ("QxGetCurrentGain", {"exception": "sensor gone"}),
     ("QxGetFrameCount", {"exception": "bus error"})],
)
def test_a_failing_metadata_call_leaves_its_field_empty_and_the_frame_read(emu, function, failure):
    field = {"QxGetTimestamp": "device_timestamp", "QxGetFrameCount": "sequence",
             "QxGetCurrentExposure": "exposure", "QxGetCurrentGain": "gain"}[function]
    with quorvex.open(0) as camera, camera.stream(FORMAT, exposure_and_gain=True) as stream:
        emu.script(function, **failure)
        frame = stream.read()
        assert getattr(frame, field) is None and frame.data.nbytes == 640 * 480 * 2
        assert stream.read().sequence is not None


def test_async_reads_carry_the_metadata(emu):
    async def read(stream):
        return [await stream.aread() for _ in range(2)]

    emu.configure(UNPACED)
    with quorvex.open(0) as camera, camera.stream(FORMAT, exposure_and_gain=True) as stream:
        first, second = asyncio.run(read(stream))
    assert second.sequence == first.sequence + 1
    assert None not in (first.device_timestamp, first.host_time, first.exposure, first.gain)


# Two identical cameras: same name, product and hardware ID, told apart by path and unique ID.
TWINS = """
cameras:
  - {name: Twin, path: /dev/video5, interface: usb, product: zeni, hardware_id: "TW-1"}
  - {name: Twin, path: /dev/video6, interface: usb, product: zeni, hardware_id: "TW-1"}
  - {name: Webcam, path: /dev/video7, interface: usb, product: generic, hardware_id: "W-1"}
"""


def test_cameras_report_unique_ids(emu):
    emu.configure(TWINS)
    first, second, webcam = quorvex.cameras()
    assert first.unique_id and second.unique_id and first.unique_id != second.unique_id
    assert webcam.unique_id is None
    with quorvex.open(1):  # an open camera is read through its own handle
        assert quorvex.cameras()[1].unique_id == second.unique_id


@pytest.mark.parametrize("selector, index", [("unique_id", 1), ("path", 1), ("path", 0), ("hardware_id", 2)])
def test_open_by_one_field(emu, selector, index):
    emu.configure(TWINS)
    wanted = getattr(quorvex.cameras()[index], selector)
    with quorvex.open(**{selector: wanted}) as camera:
        assert camera.index == index and getattr(camera.info, selector) == wanted


@pytest.mark.parametrize(
    "args, kwargs, exception, message",
    [((0,), {"path": "/dev/video5"}, TypeError, "one camera selector, not 2: which, path"),
     ((), {"path": "/dev/video5", "hardware_id": "TW-1"}, TypeError, "one camera selector"),
     ((), {"unique_id": 5}, TypeError, "unique_id is text"),
     ((), {"unique_id": "F00"}, LookupError, "no camera with unique ID 'F00'; cameras: \\[0\\] Twin .*unique ID")],
)
def test_open_refuses_selectors(emu, args, kwargs, exception, message):
    emu.configure(TWINS)
    with pytest.raises(exception, match=message):
        quorvex.open(*args, **kwargs)


@pytest.mark.parametrize("args, kwargs, described", [(("TW-1",), {}, "hardware ID or path 'TW-1'"),
                                                     ((), {"hardware_id": "TW-1"}, "hardware ID 'TW-1'")])
def test_an_ambiguous_selector_lists_the_candidates(emu, args, kwargs, described):
    emu.configure(TWINS)
    first, second, _ = quorvex.cameras()
    with pytest.raises(LookupError) as raised:
        quorvex.open(*args, **kwargs)
    assert str(raised.value) == (f"2 cameras match {described}; candidates: [0] Twin (/dev/video5, unique ID "
                                 f"{first.unique_id}); [1] Twin (/dev/video6, unique ID {second.unique_id})")


def stamped_counter(frame):
    """The frame number the test pattern stamps in its bottom row (32 cells, most significant
    bit first; white or black luma) of a YUY2 frame."""
    width, height = frame.width, frame.height
    row = frame.data[(height - 1) * width * 2:height * width * 2]
    bits = [row[(j * width // 32 + width // 64) * 2] > 128 for j in range(32)]
    return sum(1 << (31 - j) for j, bit in enumerate(bits) if bit)


def test_a_slow_reader_sees_the_frames_it_missed(emu):
    period = 1 / FPS
    with quorvex.open(0) as camera, camera.stream(FORMAT) as stream:
        frames = []
        for _ in range(4):
            frames.append(stream.read())
            time.sleep(8 * period)  # twice what the camera keeps for a reader
            frames.append(stream.read())
    steps = [b.sequence - a.sequence for a, b in zip(frames, frames[1:])]
    assert steps == [stamped_counter(b) - stamped_counter(a) for a, b in zip(frames, frames[1:])]
    assert min(steps) >= 1 and stream.dropped == sum(step - 1 for step in steps) > 0


def test_cameras_after_an_unplug_shifted_the_indexes(emu):
    emu.configure(TWINS)
    with quorvex.open(1) as camera:
        emu.unplug("/dev/video5")  # the open camera is now the first, the webcam the second
        listed = quorvex.cameras()
        assert [(info.path, info.hardware_id) for info in listed] == [("/dev/video6", "TW-1"), ("/dev/video7", "W-1")]
        assert listed[0].unique_id == camera.info.unique_id
