"""quorvex with asyncio: reads off the event loop, two cameras at once, safe cancellation."""

import asyncio
import gc
import json
import os
import textwrap
import time

import pytest

import quorvex

from conftest import run_python

SLOW = """
pacing: true
cameras:
  - {name: Slow, path: /dev/video8, interface: usb, product: zeni, hardware_id: S1,
     formats: [{format: YUY2, sizes: ["64x32"], fps: [2]}]}
  - {name: Quick, path: /dev/video9, interface: usb, product: zeni, hardware_id: Q1,
     formats: [{format: RGB, sizes: ["64x32"], fps: [50]}]}
"""


def test_aread_and_async_iteration(emu):
    async def main():
        with quorvex.open(0) as camera:
            async with camera.stream("RGB:640x480@30") as stream:  # started and stopped off the loop
                first = await stream.aread()
                later = []
                async for frame in stream:
                    later.append(frame)
                    if len(later) == 3:
                        break
            assert not stream.is_streaming
            return [first, *later]

    frames = asyncio.run(main())
    assert [frame.index for frame in frames] == [0, 1, 2, 3]
    assert frames[-1].to_rgb().shape == (480, 640, 3)


def test_two_cameras_read_concurrently(emu):
    emu.configure(SLOW)

    async def frames_of(index, count):
        with quorvex.open(index) as camera, camera.stream() as stream:
            return [frame.index async for frame in _take(stream, count)]

    async def main():
        return await asyncio.gather(frames_of(0, 2), frames_of(1, 10))

    slow, quick = asyncio.run(main())
    assert slow == [0, 1] and quick == list(range(10))


async def _take(stream, count):
    async for frame in stream:
        yield frame
        count -= 1
        if count == 0:
            return


def test_a_cancelled_read_hands_its_frame_to_the_next(emu):
    emu.configure(SLOW)

    async def main():
        with quorvex.open(0) as camera, camera.stream() as stream:
            await stream.aread()  # frame 0 comes at once, frame 1 half a second later
            waiting = asyncio.ensure_future(stream.aread(timeout=5))
            await asyncio.sleep(0.05)
            waiting.cancel()
            with pytest.raises(asyncio.CancelledError):
                await waiting
            began = time.monotonic()
            frame = await stream.aread(timeout=5)
            return frame.index, time.monotonic() - began

    index, waited = asyncio.run(main())
    assert index == 1 and waited < 1.0


async def abandon_a_read(stream):
    """Starts an aread and cancels it while the library call waits."""
    waiting = asyncio.ensure_future(stream.aread(timeout=5))
    await asyncio.sleep(0.05)
    waiting.cancel()
    await asyncio.gather(waiting, return_exceptions=True)


def test_a_cancelled_read_hands_its_frame_to_a_blocking_read(emu):
    emu.configure(SLOW)

    with quorvex.open(0) as camera, camera.stream() as stream:
        stream.read()
        asyncio.run(abandon_a_read(stream))
        assert stream.read(timeout=5).index == 1
        assert stream.read(timeout=5).index == 2


def test_stopping_a_stream_with_a_read_abandoned_neither_waits_nor_reports_a_lost_error(emu):
    # stop() ends the abandoned read at once, with an error nobody awaits: asyncio must not log it
    # as a "Future exception was never retrieved".
    emu.configure(SLOW.replace("fps: [2]", "fps: [1]"))
    reports = []

    async def main():
        asyncio.get_running_loop().set_exception_handler(lambda loop, context: reports.append(context))
        with quorvex.open(0) as camera, camera.stream() as stream:
            await stream.aread()
            waiting = asyncio.ensure_future(stream.aread(timeout=None))
            await asyncio.sleep(0.05)
            waiting.cancel()
            await asyncio.gather(waiting, return_exceptions=True)
            began = time.monotonic()
        stopped_in = time.monotonic() - began
        await asyncio.sleep(0.05)
        gc.collect()
        return stopped_in

    assert asyncio.run(main()) < 0.5  # not waiting for the abandoned read's frame, due about a second later
    assert reports == []



def test_a_storm_of_cancelled_reads_leaves_one_read_behind(emu):
    # Reads that all start before any is cancelled: each used to queue a library read of its
    # own, which went on consuming frames and kept later reads waiting behind them.
    emu.configure(SLOW)

    async def main():
        with quorvex.open(1) as camera, camera.stream() as stream:  # 50 frames a second
            first = await stream.aread()
            storm = [asyncio.ensure_future(stream.aread(timeout=5)) for _ in range(250)]
            await asyncio.sleep(0)
            for task in storm:
                task.cancel()
            await asyncio.gather(*storm, return_exceptions=True)
            began = time.monotonic()
            after = await asyncio.wait_for(stream.aread(1.0), 60)
            blocking = stream.read(1.0)
            return first.index, after.index, blocking.index, time.monotonic() - began

    first, after, blocking, took = asyncio.run(main())
    assert (after, blocking) == (first + 1, first + 2)
    assert took < 10  # two frames of 20 ms each, not hundreds


@pytest.mark.parametrize("reader", ["read", "aread"])
def test_a_read_left_behind_does_not_stretch_a_later_read_s_timeout(emu, reader):
    if quorvex.release_mode == "0":
        pytest.skip("the read left behind holds the interpreter lock while it waits")
    emu.configure(SLOW.replace("fps: [2]", "fps: [1]"))

    with quorvex.open(0) as camera, camera.stream() as stream:
        stream.read()  # frame 1 is due a second later
        asyncio.run(abandon_a_read(stream))
        with pytest.raises(quorvex.TimeoutError):
            if reader == "read":
                stream.read(timeout=0.05)
            else:
                asyncio.run(stream.aread(timeout=0.05))
        assert stream.read(timeout=5).index == 1  # the read left behind still hands its frame on

TICKING = """
    import asyncio, json, threading, time
    import quorvex
    import pyQuorvexSDK as qx

    def lock_released_during_waits():
        # A thread blocked in a library wait of about half a second while this one sleeps in
        # steps: holding the lock, the waiter keeps it from its call to its frame, and this one
        # steps only before and after (a step or three); released, some forty times.
        with quorvex.open(0) as camera, camera.stream() as stream:
            stream.read()
            waiter = threading.Thread(target=stream.read, kwargs={"timeout": 5})
            waiter.start()
            steps = 0
            while waiter.is_alive():
                time.sleep(0.01)
                steps += 1
            waiter.join()
        return steps >= 10

    async def ticking_while_reading():
        with quorvex.open(0) as camera, camera.stream() as stream:
            await stream.aread()
            ticks = 0

            async def tick():
                nonlocal ticks
                while True:
                    await asyncio.sleep(0.01)
                    ticks += 1

            ticker = asyncio.ensure_future(tick())
            began = time.monotonic()
            frame = await stream.aread(timeout=5)
            waited = time.monotonic() - began
            ticker.cancel()
            return frame.index, waited, ticks

    index, waited, ticks = asyncio.run(ticking_while_reading())
    print(json.dumps({"mode": quorvex.release_mode, "released": lock_released_during_waits(),
                      "index": index, "waited": waited, "ticks": ticks}))
"""


def test_event_loop_keeps_ticking_while_a_read_waits(emu, tmp_path):
    config = tmp_path / "cameras.yaml"
    config.write_text(SLOW)
    environment = {key: value for key, value in os.environ.items() if key != "QX_RELEASE_GIL"}
    environment["QX_EMULATOR_CONFIG"] = str(config)
    result = run_python(TICKING, env=environment)
    assert result.returncode == 0, result.stderr
    outcome = json.loads(result.stdout)
    assert outcome["mode"] == "camera"
    assert outcome["index"] == 1 and outcome["waited"] > 0.3
    if not outcome["released"]:
        pytest.skip("this pyQuorvexSDK holds the interpreter lock while it waits (no release mode)")
    # Ticks every 10 ms through a wait of about half a second; a loop blocked by the read would not
    # tick at all, and ten is a count that a busy machine still reaches.
    assert outcome["ticks"] >= 10, outcome


@pytest.mark.parametrize(
    "preset, imported_first, mode, warns",
    [(None, False, "camera", False), ("library", False, "library", False), (None, True, "0", True),
     ("0", True, "0", True), ("camera", True, "camera", False)],
)
def test_release_mode_and_its_warning(preset, imported_first, mode, warns):
    code = textwrap.dedent(f"""
        import os, warnings
        warnings.simplefilter("always")
        if {imported_first}:
            import pyQuorvexSDK
        with warnings.catch_warnings(record=True) as caught:
            import quorvex
        print(quorvex.release_mode, os.environ.get("QX_RELEASE_GIL"),
              any(issubclass(w.category, quorvex.LockModeWarning) for w in caught))
    """)
    environment = {key: value for key, value in os.environ.items() if key != "QX_RELEASE_GIL"}
    if preset is not None:
        environment["QX_RELEASE_GIL"] = preset
    result = run_python(code, env=environment)
    assert result.returncode == 0, result.stderr
    seen_mode, variable, warned = result.stdout.split()
    assert seen_mode == mode and warned == str(warns)
    assert variable == (preset if preset is not None else ("camera" if not imported_first else "None"))
