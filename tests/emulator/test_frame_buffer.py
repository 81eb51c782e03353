"""A paced camera produces frames at its rate whether read or not and keeps the newest four: a slow
reader loses the older ones, and the frame counter and timestamp tell it which frame it got."""

import time

import pytest

import pyQuorvexSDK as qx

FPS = 60


def configuration(pacing, fps=FPS):
    return (f"pacing: {'true' if pacing else 'false'}\ncameras:\n"
            "  - {name: Counted, path: /dev/video5, interface: usb, product: zena, hardware_id: C-1,"
            f" formats: [{{format: RGB, sizes: ['64x32'], fps: [{fps}]}}]}}\n")


@pytest.fixture
def streaming(emu, request):
    assert emu.configure(configuration(request.param))
    camera = qx.QxInitialCameraDevice(0)
    assert qx.QxOpen(camera) == 0
    fmt = qx.QxGetFormatList(camera)[1][0]
    assert qx.QxSetFormat(camera, fmt) == 0 and qx.QxStartStreaming(camera) == 0
    yield camera, fmt, request.param
    qx.QxClose(camera)


def stamped(data):
    """The frame number in the picture's bottom row: 32 cells, most significant bit first."""
    row = data.reshape(32, 64, 3)[31].astype(int).mean(axis=1)
    return sum(1 << (31 - j) for j in range(32) if row[2 * j + 1] > 128)


def read(camera, fmt, timeout=1000):
    """(stamped number, frame counter, timestamp) of the next frame, or None at a timeout."""
    result, data = qx.QxGetImage(camera, timeout, fmt)
    if result == qx.QX_TIMEOUT:
        return None
    assert result == qx.QX_SUCCESS
    status, count = qx.QxGetFrameCount(camera)
    assert status == 0
    status, seconds = qx.QxGetTimestamp(camera)
    assert status == 0
    return stamped(data), count, seconds


@pytest.mark.parametrize("streaming", [True, False], ids=["paced", "unpaced"], indirect=True)
def test_a_slow_reader_sees_the_frames_it_missed(streaming):
    camera, fmt, paced = streaming
    frames = [read(camera, fmt)]
    for _ in range(4):
        time.sleep(6 / FPS)
        frames.append(read(camera, fmt))
    for (k0, count0, t0), (k1, count1, t1) in zip(frames, frames[1:]):
        # Six periods produce at least six frames, of which the camera kept four.
        assert k1 - k0 >= 3 if paced else k1 - k0 == 1
        assert (count1 - count0) % 256 == k1 - k0
        if paced:
            assert t1 - t0 == pytest.approx((k1 - k0) / FPS, abs=1e-4)
        else:
            assert t1 > t0
    k, count, _ = frames[0]
    assert count == k + 1  # frames 0 ... k produced


@pytest.mark.parametrize("streaming", [True], ids=["paced"], indirect=True)
def test_after_a_long_pause_only_the_newest_four_frames_come_at_once(streaming):
    camera, fmt, _ = streaming
    k0, _, _ = read(camera, fmt)
    time.sleep(0.51)  # frames k0 + 1 ... k0 + 30 are produced meanwhile
    burst = []
    while (frame := read(camera, fmt, timeout=0)) is not None:
        burst.append(frame[0])
    # The four kept come at once (and any produced meanwhile), in order; the older ones are lost.
    assert burst[0] >= k0 + 30 - 3 and len(burst) >= 4
    assert burst == list(range(burst[0], burst[0] + len(burst)))


@pytest.mark.parametrize("streaming", [True], ids=["paced"], indirect=True)
def test_the_counter_goes_on_across_streams_and_the_timestamp_is_the_clock_until_a_frame(streaming):
    camera, fmt, _ = streaming
    k, count, _ = read(camera, fmt)
    time.sleep(6 / FPS)  # the camera produces six more frames, unread
    assert qx.QxStopStreaming(camera) == 0 and qx.QxStartStreaming(camera) == 0
    assert qx.QxGetFrameCount(camera) == (0, count)
    first, second = qx.QxGetTimestamp(camera)[1], qx.QxGetTimestamp(camera)[1]
    assert second > first
    k_again, count_again, _ = read(camera, fmt)
    assert (count_again - count) % 256 >= 6 + k_again + 1
