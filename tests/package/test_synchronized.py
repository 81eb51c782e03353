"""quorvex.synchronized: frames of several streams matched by time, read concurrently."""

import asyncio
import itertools
import json
import math
import os
import threading
import time

import numpy as np
import pytest

import quorvex

from support import run_python

FORMAT = quorvex.Format("YUY2", 2, 1, 30, None)  # type: ignore[arg-type]
# Long enough never to pass in a test that works; it turns a test that would hang into a failure.
STALL = 10.0


class FakeCamera:
    def __init__(self, refuse=None):
        self.refuse = refuse

    def reset_timestamp(self):
        if self.refuse is not None:
            raise self.refuse


class FakeStream:
    """Frames at the given times (device, host), then `then` raised, or a stall until closed."""

    def __init__(self, times, then=None, camera=None, timeout=STALL):
        self.times = list(times)
        self.then = then
        self.camera = camera or FakeCamera()
        self.timeout = timeout
        self.format = FORMAT
        self.stalled = threading.Event()
        self._read = 0

    def _next(self):
        device, host = self.times[self._read]
        self._read += 1
        return quorvex.Frame(np.zeros(4, np.uint8), FORMAT, self._read - 1, time.monotonic(),
                             device_timestamp=device, host_time=host)

    def read(self, timeout=None):
        if self._read < len(self.times):
            return self._next()
        self.stalled.set()
        if self.then is not None:
            raise self.then
        time.sleep(timeout)
        raise TimeoutError

    async def aread(self, timeout=None):
        await asyncio.sleep(0)
        if self._read < len(self.times):
            return self._next()
        self.stalled.set()
        if self.then is not None:
            raise self.then
        await asyncio.sleep(self.timeout if timeout is None else timeout)
        raise quorvex.TimeoutError("QxGetImage", -1, "QX_TIMEOUT", f"timeout {self.timeout} s")


def at(*device, host_offset=1000.0):
    return [(t, t + host_offset) for t in device]


def rate(fps, count, start=0.0):
    return at(*(start + k / fps for k in range(count)))


def take(sync, count, form):
    """`count` groups from sync, by for or async for, and then sync closed."""
    if form == "threads":
        with sync:
            return list(itertools.islice(sync, count))

    async def main():
        async with sync:
            groups = []
            async for group in sync:
                groups.append(group)
                if len(groups) == count:
                    return groups
        return groups

    return asyncio.run(main())


def readers_left():
    return [thread for thread in threading.enumerate() if thread.name.startswith("quorvex-sync")]


@pytest.mark.parametrize("form", ["threads", "tasks"])
@pytest.mark.parametrize(
    "a, b, tolerance, pairs, unmatched",
    [
        # Equal rates, 2 ms apart: every frame has its partner.
        pytest.param(rate(30, 10), rate(30, 10, 0.002), 0.005, [(k, k) for k in range(10)], (0, 0), id="offset"),
        # Half a period apart, tolerance below it: no frame has a partner, all are counted.
        pytest.param(rate(30, 6) + at(0.25), rate(30, 6, 1 / 60) + at(0.25), 0.01, [(6, 6)], (6, 6),
                     id="half-period"),
        # Nearly a period apart with a tolerance that takes the frame before too: each of b's
        # frames goes with the nearest of a's, not the first within reach.
        pytest.param(rate(30, 6) + at(0.25), rate(30, 5, 0.03) + at(0.25), 0.032, [(k + 1, k) for k in range(6)], (1, 0),
                     id="nearest"),
        # 60 and 30 frames a second: every other frame of the faster stream has no partner.
        pytest.param(rate(60, 11), rate(30, 6), 0.004, [(2 * k, k) for k in range(6)], (5, 0), id="60-and-30"),
    ],
)
def test_frames_are_matched_by_time(form, a, b, tolerance, pairs, unmatched):
    # A frame far later in each stream shows that nothing closer is to come for the last group.
    later = at(100.0)
    sync = quorvex.synchronized([FakeStream(a + later), FakeStream(b + later)], tolerance, reset_clocks=False,
                                clock="device", queue_size=100)
    groups = take(sync, len(pairs), form)
    assert [(first.index, second.index) for first, second in groups] == pairs
    assert sync.unmatched == unmatched
    assert all(group.clock == "device" and group.skew <= tolerance for group in groups)
    assert groups[0].skew == pytest.approx(abs(a[pairs[0][0]][0] - b[pairs[0][1]][0]))
    assert readers_left() == []


# b's camera clock runs 5 s behind a's: matched by it nothing pairs, matched by arrival all do.
AHEAD = [(5.0 + k / 30, 1000.0 + k / 30) for k in range(4)]
NOT_SUPPORTED = quorvex.NotSupportedError("QxResetTimestamp", -7, None)
BUSY = quorvex.BusyError("QxResetTimestamp", -5, None)


@pytest.mark.parametrize(
    "times, refuse, options",
    [
        pytest.param([(None, AHEAD[0][1])] + AHEAD[1:], None, {"reset_clocks": False, "clock": "device"},
                     id="frame-without-device-time"),
        pytest.param(AHEAD, NOT_SUPPORTED, {}, id="reset-not-supported"),
        pytest.param(AHEAD, BUSY, {}, id="reset-refused"),
        pytest.param(AHEAD, None, {"reset_clocks": False}, id="not-reset"),
    ],
)
def test_host_time_where_the_camera_clocks_are_not_in_step(times, refuse, options):
    a = FakeStream(rate(30, 4))
    b = FakeStream(times, camera=FakeCamera(refuse))
    sync = quorvex.synchronized([a, b], 0.005, queue_size=100, **options)
    groups = take(sync, 4, "threads")
    assert [(x.index, y.index) for x, y in groups] == [(k, k) for k in range(4)]
    assert sync.clock == "host" and {group.clock for group in groups} == {"host"}


# Still in the camera's buffer when its clock was reset: times of the clock's earlier count, the
# reset's moment, or before it.
@pytest.mark.parametrize("stale", [(50.0, 50.033), (0.0, 0.0), (-0.067, -0.033)], ids=["earlier-count", "zero", "before"])
def test_frames_captured_before_the_reset_are_counted_not_matched(stale):
    a = FakeStream(at(*stale) + at(0.001, 0.002, 0.003))
    b = FakeStream(at(stale[0], 0.001, 0.002, 0.003))
    sync = quorvex.synchronized([a, b], 0.0004, queue_size=100)
    groups = take(sync, 3, "threads")
    assert [(x.index, y.index) for x, y in groups] == [(2, 1), (3, 2), (4, 3)]
    assert sync.clock == "device" and sync.unmatched == (2, 1)


def test_a_stalled_stream_leaves_the_others_counted_not_held():
    quick = FakeStream(rate(30, 40))
    stalled = FakeStream(rate(30, 2))
    sync = quorvex.synchronized([quick, stalled], 0.005, reset_clocks=False, queue_size=4)
    with sync:
        deadline = time.monotonic() + 30
        while not (sync.unmatched[0] >= 36 and stalled.stalled.is_set()) and time.monotonic() < deadline:
            time.sleep(0.01)
        assert stalled.stalled.is_set() and sync.unmatched == (36, 0)
        assert [len(queue) for queue in sync._matcher.queues] == [4, 2]
    assert readers_left() == []  # close() ended the reader waiting on the stalled stream


@pytest.mark.parametrize("form", ["threads", "tasks"])
@pytest.mark.parametrize(
    "then, timeout, expected",
    [(None, 0.3, quorvex.TimeoutError), (quorvex.DisconnectedError("QxGetImage", -9, "QXE_NO_DEVICE"), STALL,
                                          quorvex.DisconnectedError)],
    ids=["timeout", "disconnected"],
)
def test_a_failing_stream_raises_to_the_consumer(form, then, timeout, expected):
    working = FakeStream(rate(30, 3))  # then waits for frames, until the readers are stopped
    failing = FakeStream(rate(30, 3), then=then, timeout=timeout)
    sync = quorvex.synchronized([working, failing], 0.005, reset_clocks=False)
    with pytest.raises(expected) as raised:
        take(sync, 10, form)
    assert raised.value is then or "timeout 0.3 s" in str(raised.value)
    assert readers_left() == []
    assert list(sync) == []  # ended: the error is not raised again


@pytest.mark.parametrize(
    "streams, tolerance",
    [("none", 0.01), ("same", 0.01), ("two", 0), ("two", -0.01), ("two", math.nan), ("two", math.inf)],
)
def test_refused_arguments(streams, tolerance):
    stream = FakeStream([])
    streams = {"none": [], "same": [stream, stream], "two": [stream, FakeStream([])]}[streams]
    with pytest.raises(ValueError):
        quorvex.synchronized(streams, tolerance)


IN_STEP = """
import itertools, json
import quorvex

tolerance = 0.02
with quorvex.open(0) as zena, quorvex.open(1) as zenm, quorvex.open(2) as webcam, \\
        zena.stream("YUY2:640x480@30") as a, zenm.stream("UYVY:640x480@30") as b, \\
        webcam.stream("YUY2:640x480@30") as c:
    with quorvex.synchronized([a, b, c], tolerance) as sync:
        groups = list(itertools.islice(sync, 5))
print(json.dumps({
    "formats": [[frame.format.pixel_format for frame in group] for group in groups],
    "skews": [group.skew for group in groups], "tolerance": tolerance,
    "clocks": [group.clock for group in groups], "clock": sync.clock,
    "device": all(frame.device_timestamp is not None for group in groups for frame in group),
}))
"""


def test_emulated_cameras_in_step(emu):
    # In an interpreter of its own, quorvex imported first: the reads wait without the
    # interpreter lock, as in a program (this one imported pyQuorvexSDK first).
    environment = {key: value for key, value in os.environ.items()
                   if key not in ("QX_RELEASE_GIL", "QX_EMULATOR_CONFIG")}
    result = run_python(IN_STEP, env=environment)
    assert result.returncode == 0, result.stderr
    outcome = json.loads(result.stdout)
    assert outcome["formats"] == [["YUY2", "UYVY", "YUY2"]] * 5
    assert max(outcome["skews"]) <= outcome["tolerance"]
    assert set(outcome["clocks"]) == {outcome["clock"]}
    if outcome["device"]:
        assert outcome["clock"] == "device"
