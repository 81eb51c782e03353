import numpy
import pytest

import pyQuorvexSDK as qx

from frame_convert import frame_length, to_rgb
from support import BARS, PIXEL_FORMATS, grab, scripted_format

def offered(camera):
    status, formats = qx.QxGetFormatList(camera)
    assert status == 0 and formats
    return formats


def smallest(formats, name):
    candidates = [f for f in formats if f.format.name == "QX_IMAGE_FORMAT_" + name]
    assert candidates, f"no {name} format"
    return min(candidates, key=lambda f: (f.width * f.height, -f.framerate))


def frame_number(rgb):
    """The counter in the bottom rows: 32 cells, most significant bit on the left."""
    height, width, _ = rgb.shape
    row = rgb[height - 1].astype(int).mean(axis=1)
    cells = [row[(2 * j + 1) * width // 64] > 128 for j in range(32)]
    return sum(1 << (31 - j) for j, bit in enumerate(cells) if bit)


@pytest.mark.parametrize("name", PIXEL_FORMATS)
def test_capture_in_every_pixel_format(emu, camera, name):
    fmt = smallest(offered(camera), name)
    assert qx.QxSetFormat(camera, fmt) == 0
    assert qx.QxStartStreaming(camera) == 0
    frames = [grab(camera, fmt) for _ in range(3)]
    assert qx.QxStopStreaming(camera) == 0

    expected_length = frame_length(fmt)
    for frame in frames:
        assert frame.dtype == numpy.uint8 and frame.ndim == 1
        if expected_length is not None:
            assert frame.shape == (expected_length,)
    pictures = [to_rgb(frame, fmt) for frame in frames]
    width, height = fmt.width, fmt.height
    tolerance = 40 if name in ("MJPG", "NV12", "YUY2", "UYVY") else 8
    for picture in pictures:
        assert picture.shape == (height, width, 3)
        for bar, colour in enumerate(BARS):
            # Sample the middle of each bar near the top, clear of marker and bar edges.
            pixel = picture[height // 8, (2 * bar + 1) * width // 16].astype(int)
            assert numpy.abs(pixel - colour).max() <= tolerance, (bar, pixel)
        # Orientation: the grey ramp runs dark to light along the bottom quarter.
        ramp_row = picture[height * 3 // 4 + 2].astype(int).mean(axis=1)
        assert ramp_row[2] < 64 and ramp_row[-3] > 192
    assert not numpy.array_equal(pictures[0], pictures[1])
    assert not numpy.array_equal(pictures[1], pictures[2])
    if name != "MJPG":
        assert [frame_number(p) for p in pictures] == [0, 1, 2]


def test_streaming_statuses(emu, camera):
    formats = offered(camera)
    result, frame = qx.QxGetImage(camera, 10, formats[0])
    assert result == qx.QX_OTHER_ERROR and frame.shape == (0,)
    assert qx.QxStopStreaming(camera) == emu.QXE_NOT_STREAMING
    assert qx.QxStartStreaming(camera) == 0
    assert qx.QxStartStreaming(camera) == emu.QXE_BUSY
    assert qx.QxSetFormat(camera, formats[-1]) == emu.QXE_BUSY
    assert qx.QxStopStreaming(camera) == 0
    assert qx.QxSetFormat(camera, formats[-1]) == 0


def test_format_not_from_the_list_is_refused(emu, camera):
    genuine = offered(camera)[0]
    forged = scripted_format(emu, camera, genuine.width, genuine.height, genuine.format.value,
                             framerate=genuine.framerate, format_id=0xFFFF)
    assert qx.QxSetFormat(camera, forged) == emu.QXE_INVALID_ARGUMENT
    assert qx.QxSetFormat(camera, genuine) == 0


def test_timeout_when_no_frame_is_due(emu):
    assert emu.configure(
        "cameras:\n"
        "  - {name: Slow, path: /dev/slow, interface: usb, product: zena, hardware_id: S1,\n"
        "     formats: [{format: RGB, sizes: [64x48], fps: [1]}]}\n"
    )
    camera = qx.QxInitialCameraDevice(0)
    assert qx.QxOpen(camera) == 0
    try:
        (fmt,) = offered(camera)
        assert qx.QxStartStreaming(camera) == 0
        grab(camera, fmt)  # the first frame is due at once
        result, frame = qx.QxGetImage(camera, 20, fmt)
        assert result == qx.QX_TIMEOUT and frame.shape == (0,)
    finally:
        qx.QxClose(camera)


def test_device_held_through_another_handle_is_occupied(emu):
    entry = "{name: %s, path: /dev/video0, interface: usb, product: zena, hardware_id: H}"
    assert emu.configure(f"cameras:\n  - {entry % 'First'}\n  - {entry % 'Second'}\n")
    first, second = qx.QxInitialCameraDevice(0), qx.QxInitialCameraDevice(1)
    assert qx.QxOpen(first) == 0
    try:
        assert qx.QxOpen(second) == emu.QXE_BUSY
        fmt = offered(first)[0]
        assert qx.QxGetImage(second, 10, fmt)[0] == qx.QX_CAM_OCCUPIED
    finally:
        qx.QxClose(first)
    assert qx.QxOpen(second) == 0
    qx.QxClose(second)
