import tracemalloc

import numpy
import pytest

import pyQuorvexSDK as qx

from support import grab, raw_format, scripted_format


class TestQxFormat:
    def test_fields_and_enumeration(self, emu, camera):
        fmt = scripted_format(emu, camera, 1920, 1080, 4, framerate=60)
        assert (fmt.width, fmt.height, fmt.framerate) == (1920, 1080, 60)
        assert fmt.format == qx.QX_IMAGE_FORMAT.QX_IMAGE_FORMAT_MJPG
        assert (fmt.format == 4) is False and int(fmt.format) == 4
        assert type(fmt.format) is qx.QX_IMAGE_FORMAT

    def test_full_range_and_unknown_format(self, emu, camera):
        fmt = scripted_format(emu, camera, 65535, 0, -7, framerate=65535)
        assert (fmt.width, fmt.height, fmt.framerate) == (65535, 0, 65535)
        assert fmt.format.value == -7 and fmt.format.name == "???"

    @pytest.mark.parametrize("name", ["width", "height", "framerate", "format", "extra"])
    def test_read_only(self, emu, camera, name):
        fmt = scripted_format(emu, camera, 640, 480, 1)
        with pytest.raises(AttributeError):
            setattr(fmt, name, 1)
        assert fmt.width == 640

    def test_not_constructible(self):
        with pytest.raises(TypeError, match="No constructor defined"):
            qx.QxFormat()

    def test_all_twelve_bytes_reach_the_library(self, emu, camera):
        raw = raw_format(1280, 720, 2, framerate=25, format_id=0xBEEF)
        emu.script("QxGetFormatList", outs={"formats": [raw]})
        _, (fmt,) = qx.QxGetFormatList(camera)
        emu.script("QxSetFormat", result=0)
        assert qx.QxSetFormat(camera, fmt) == 0
        assert emu.journal("QxSetFormat") == [("QxSetFormat", {"camera": 0, "format": raw})]


def test_format_list_keeps_what_a_failing_library_left(emu, camera):
    emu.script("QxGetFormatList", result=-5, outs={"formats": [raw_format(64, 48, 9)]})
    status, formats = qx.QxGetFormatList(camera)
    assert status == -5
    assert type(formats) is list and [(f.width, f.height) for f in formats] == [(64, 48)]


@pytest.mark.parametrize(
    "width, height, pixel_format, capacity",
    [
        (640, 480, 5, 1_228_800),   # BGRA: 4 bytes per pixel
        (640, 480, 6, 1_228_800),   # BGRX
        (640, 480, 1, 921_600),     # YUY2: 3, not its own 2
        (1920, 1080, 4, 6_220_800),  # MJPG
        (640, 480, 42, 921_600),    # a value the enumeration does not name
        (65535, 8191, 5, 65535 * 8191 * 4),  # largest sizes still fit 32 bits
    ],
    ids=["BGRA", "BGRX", "YUY2", "MJPG", "unknown", "large"],
)
def test_capacity_bounds_the_byte_count(emu, camera, width, height, pixel_format, capacity):
    fmt = scripted_format(emu, camera, width, height, pixel_format)
    emu.script("QxGetImage", outs={"size": capacity, "buffer": b"\x07"})
    result, frame = qx.QxGetImage(camera, 100, fmt)
    assert result == qx.QX_SUCCESS and frame.shape == (capacity,)
    assert frame[0] == 7 and frame[-1] == 0
    del frame
    emu.script("QxGetImage", outs={"size": capacity + 1})
    result, frame = qx.QxGetImage(camera, 100, fmt)
    assert result == qx.QX_BUFFER_CORRUPTED and frame.shape == (0,)


@pytest.mark.parametrize("size", [-1, -(2**31)])
def test_negative_byte_count_is_corrupted(emu, camera, size):
    fmt = scripted_format(emu, camera, 64, 48, 9)
    emu.script("QxGetImage", outs={"size": size})
    result, frame = qx.QxGetImage(camera, 100, fmt)
    assert result == qx.QX_BUFFER_CORRUPTED
    assert frame.shape == (0,) and frame.dtype == numpy.uint8


@pytest.mark.parametrize("width, height", [(65535, 65535), (65535, 8193)])
def test_capacity_beyond_32_bits_is_refused_before_the_library(emu, camera, width, height):
    fmt = scripted_format(emu, camera, width, height, 5)
    with pytest.raises(ValueError, match="2147483647"):
        qx.QxGetImage(camera, 100, fmt)
    assert emu.journal("QxGetImage") == []


def test_library_receives_a_zeroed_buffer_a_zero_count_and_the_timeout(emu, camera):
    fmt = scripted_format(emu, camera, 16, 4, 7)
    emu.script("QxGetImage", outs={"size": 192, "buffer": b"\x01\x02\x03"})
    frame = grab(camera, fmt, timeout=65535)
    assert frame.tolist() == [1, 2, 3] + [0] * 189
    (_, arguments), = emu.journal("QxGetImage")
    assert arguments["camera"] == 0 and arguments["buffer"] is not None
    assert arguments["size"] == 0 and arguments["timeout"] == 65535


@pytest.mark.parametrize("width, height", [(0, 480), (640, 0)])
def test_empty_capacity_passes_a_null_buffer(emu, camera, width, height):
    fmt = scripted_format(emu, camera, width, height, 1)
    emu.script("QxGetImage", outs={"size": 0})
    frame = grab(camera, fmt)
    assert frame.shape == (0,)
    assert emu.journal("QxGetImage")[0][1]["buffer"] is None


@pytest.mark.parametrize("result", [-1, -2, -3, -4, -9, 3])
def test_failure_gives_the_result_and_an_empty_array(emu, camera, result):
    fmt = scripted_format(emu, camera, 64, 48, 9)
    emu.script("QxGetImage", result=result, outs={"size": 100, "buffer": b"\x01"})
    status, frame = qx.QxGetImage(camera, 100, fmt)
    assert type(status) is qx.QX_CAPTURE_RESULT and status.value == result
    assert frame.shape == (0,) and frame.dtype == numpy.uint8


def test_success_with_no_bytes_gives_an_empty_array(emu, camera):
    fmt = scripted_format(emu, camera, 64, 48, 9)
    emu.script("QxGetImage", outs={"size": 0})
    frame = grab(camera, fmt)
    assert frame.shape == (0,) and frame.dtype == numpy.uint8


def test_frame_array_owns_exactly_the_reported_bytes(emu, camera):
    fmt = scripted_format(emu, camera, 1920, 1080, 4)  # 6,220,800 bytes of capacity
    tracemalloc.start()
    try:
        emu.script("QxGetImage", outs={"size": 200_000, "buffer": b"\xff\xd8"})
        before = tracemalloc.get_traced_memory()[0]
        frame = grab(camera, fmt)
        kept = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert frame.shape == (200_000,) and frame.dtype == numpy.uint8
    assert frame.flags.owndata and frame.flags.c_contiguous and frame.flags.writeable
    assert frame.base is None
    assert kept < 1_000_000  # the 6 MB buffer is not pinned


def test_calls_share_no_memory(emu, camera):
    fmt = scripted_format(emu, camera, 8, 8, 7)
    emu.script("QxGetImage", outs={"size": 4, "buffer": b"\x01\x01\x01\x01"}, times=2)
    first, second = grab(camera, fmt), grab(camera, fmt)
    first[:] = 9
    assert second.tolist() == [1, 1, 1, 1]
    assert not numpy.shares_memory(first, second)


BAD_CAPTURE_CALLS = [
    pytest.param(lambda camera, fmt: qx.QxGetImage(camera, -1, fmt), id="timeout-negative"),
    pytest.param(lambda camera, fmt: qx.QxGetImage(camera, 65536, fmt), id="timeout-too-large"),
    pytest.param(lambda camera, fmt: qx.QxGetImage(camera, 1.0, fmt), id="timeout-float"),
    pytest.param(lambda camera, fmt: qx.QxGetImage(camera, 100, None), id="format-none"),
    pytest.param(lambda camera, fmt: qx.QxGetImage(camera, 100, (640, 480)), id="format-tuple"),
    pytest.param(lambda camera, fmt: qx.QxGetImage(camera, fmt, 100), id="swapped"),
    pytest.param(lambda camera, fmt: qx.QxGetImage(camera, timeout=100, format=fmt), id="keywords"),
    pytest.param(lambda camera, fmt: qx.QxSetFormat(camera, None), id="set-none"),
    pytest.param(lambda camera, fmt: qx.QxSetFormat(camera, 1), id="set-int"),
    pytest.param(lambda camera, fmt: qx.QxStartStreaming(camera, fmt), id="start-extra"),
    pytest.param(lambda camera, fmt: qx.QxGetFormatList("camera"), id="list-str"),
]


@pytest.mark.parametrize("call", BAD_CAPTURE_CALLS)
def test_bad_arguments_are_refused_before_the_library(emu, camera, call):
    fmt = scripted_format(emu, camera, 64, 48, 9)
    emu.clear_journal()
    with pytest.raises(TypeError):
        call(camera, fmt)
    assert emu.journal() == []


def test_none_camera_reaches_the_library_as_an_empty_handle(emu, camera):
    fmt = scripted_format(emu, camera, 64, 48, 9)
    emu.clear_journal()
    assert qx.QxGetImage(None, 0, fmt)[0] == qx.QX_OTHER_ERROR
    assert qx.QxStartStreaming(None) == emu.QXE_INVALID_HANDLE
    assert qx.QxGetFormatList(None) == (emu.QXE_INVALID_HANDLE, [])
    assert [arguments["camera"] for _, arguments in emu.journal()] == [None, None, None]

