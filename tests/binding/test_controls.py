import pytest

import pyQuorvexSDK as qx

UVC = qx.QX_UVC_IMAGE_PROPERTIES
ISP = qx.QX_ISP_IMAGE_PROPERTIES


# Through the emulator's scripts: what the binding makes of the library's answers.

@pytest.mark.parametrize("library_status", [0, 1, 7])
def test_isp_getter_reports_success_as_zero(emu, camera, library_status):
    emu.script("QxGetISPImageProcessing", result=library_status, outs={"value": -40, "flag": 3})
    assert qx.QxGetISPImageProcessing(camera, ISP.ISP_IMAGE_BRIGHTNESS) == (0, -40, 3)
    emu.script("QxGetISPImageProcessingRange", result=library_status,
               outs={"min": -64, "max": 64, "step": 2, "defaultValue": 0})
    assert qx.QxGetISPImageProcessingRange(camera, ISP.ISP_IMAGE_BRIGHTNESS) == (0, -64, 64, 2, 0)


@pytest.mark.parametrize("library_status", [-1, -5, -(2**31)])
def test_isp_getter_reports_failure_as_minus_one_with_values_cleared(emu, camera, library_status):
    emu.script("QxGetISPImageProcessing", result=library_status, outs={"value": 12, "flag": 1})
    assert qx.QxGetISPImageProcessing(camera, ISP.ISP_IMAGE_CONTRAST) == (-1, 0, 0)
    emu.script("QxGetISPImageProcessingRange", result=library_status,
               outs={"min": 1, "max": 2, "step": 3, "defaultValue": 4})
    assert qx.QxGetISPImageProcessingRange(camera, ISP.ISP_IMAGE_CONTRAST) == (-1, 0, 0, 0, 0)


def test_uvc_getters_pass_the_status_through(emu, camera):
    emu.script("QxGetUVCImageProcessing", result=-5, outs={"value": -2**31, "flag": 2})
    assert qx.QxGetUVCImageProcessing(camera, UVC.UVC_IMAGE_GAIN) == (-5, -2**31, 2)
    emu.script("QxGetUVCImageProcessingRange", result=-5,
               outs={"min": -2**31, "max": 2**31 - 1, "step": 1, "defaultValue": 0})
    assert qx.QxGetUVCImageProcessingRange(camera, UVC.UVC_IMAGE_GAIN) == (-5, -2**31, 2**31 - 1, 1, 0)
    (_, arguments), = emu.journal("QxGetUVCImageProcessingRange")
    assert arguments == {"camera": 0, "property": 9}


@pytest.mark.parametrize(
    "function, out, library_value, python_value",
    [
        ("QxGetCurrentGain", "gain", 255, 255),
        ("QxGetCurrentExposure", "exposure", 3_000_000_000, 3_000_000_000),
        ("QxGetCurrentExposure", "exposure", 2**32 - 1, 2**32 - 1),
        ("QxGetMaxFPS", "fps", 255, 255),
        ("QxGetThroughPut", "throughput", 65535, 65535),
    ],
)
def test_unsigned_values_come_back_unsigned(emu, camera, function, out, library_value, python_value):
    emu.script(function, result=-3, outs={out: library_value})
    assert getattr(qx, function)(camera) == (-3, python_value)


@pytest.mark.parametrize("function", ["QxGetCurrentGain", "QxGetCurrentExposure", "QxGetMaxFPS",
                                      "QxGetThroughPut", "QxGetUVCImageProcessing"])
def test_unwritten_values_read_zero(emu, camera, function):
    emu.script(function, result=-1)
    arguments = (camera, UVC.UVC_IMAGE_ZOOM) if "UVC" in function else (camera,)
    result = getattr(qx, function)(*arguments)
    assert result[0] == -1 and all(value == 0 for value in result[1:])


def test_setters_pass_their_arguments_in_order(emu, camera):
    emu.clear_journal()
    for function in ("QxSetUVCImageProcessing", "QxSetISPImageProcessing", "QxSetMaxFPS",
                     "QxSetThroughPut", "QxSetISPImageProcessingDefault"):
        emu.script(function, result=-9)
    assert qx.QxSetUVCImageProcessing(camera, UVC.UVC_IMAGE_FOCUS, -2**31, -7) == -9
    assert qx.QxSetISPImageProcessing(camera, ISP.ISP_IMAGE_PROP_MAX, 2**31 - 1) == -9
    assert qx.QxSetMaxFPS(camera, 255) == -9
    assert qx.QxSetThroughPut(camera, 0) == -9
    assert qx.QxSetISPImageProcessingDefault(camera) == -9
    assert [arguments for _, arguments in emu.journal()] == [
        {"camera": 0, "property": 16, "value": -2**31, "flag": -7},
        {"camera": 0, "property": 30, "value": 2**31 - 1},
        {"camera": 0, "fps": 255},
        {"camera": 0, "throughput": 0},
        {"camera": 0},
    ]


BAD_CONTROL_CALLS = [
    pytest.param(lambda c: qx.QxSetUVCImageProcessing(c, UVC.UVC_IMAGE_GAIN, 2**31, 0), id="uvc-value-2**31"),
    pytest.param(lambda c: qx.QxSetUVCImageProcessing(c, UVC.UVC_IMAGE_GAIN, -2**31 - 1, 0), id="uvc-value-low"),
    pytest.param(lambda c: qx.QxSetUVCImageProcessing(c, UVC.UVC_IMAGE_GAIN, 1.0, 0), id="uvc-value-float"),
    pytest.param(lambda c: qx.QxSetUVCImageProcessing(c, 9, 1, 0), id="uvc-property-int"),
    pytest.param(lambda c: qx.QxSetUVCImageProcessing(c, ISP.ISP_IMAGE_GAMMA, 1, 0), id="uvc-property-isp"),
    pytest.param(lambda c: qx.QxGetUVCImageProcessing(c, None), id="uvc-property-none"),
    pytest.param(lambda c: qx.QxSetISPImageProcessing(c, ISP.ISP_IMAGE_GAMMA, 2**31), id="isp-value-2**31"),
    pytest.param(lambda c: qx.QxGetISPImageProcessingRange(c, UVC.UVC_IMAGE_GAMMA), id="isp-property-uvc"),
    pytest.param(lambda c: qx.QxSetMaxFPS(c, 256), id="fps-256"),
    pytest.param(lambda c: qx.QxSetMaxFPS(c, -1), id="fps-negative"),
    pytest.param(lambda c: qx.QxSetThroughPut(c, 65536), id="throughput-65536"),
    pytest.param(lambda c: qx.QxSetThroughPut(c, -1), id="throughput-negative"),
    pytest.param(lambda c: qx.QxSetThroughPut(c, 3.0), id="throughput-float"),
    pytest.param(lambda c: qx.QxGetCurrentGain(c, 1), id="gain-extra"),
    pytest.param(lambda c: qx.QxSetMaxFPS(camera=c, fps=30), id="keywords"),
]


@pytest.mark.parametrize("call", BAD_CONTROL_CALLS)
def test_bad_arguments_are_refused_before_the_library(emu, camera, call):
    emu.clear_journal()
    with pytest.raises(TypeError):
        call(camera)
    assert emu.journal() == []


def test_numpy_integers_are_accepted(emu, camera):
    numpy = pytest.importorskip("numpy")
    emu.script("QxSetMaxFPS", result=0)
    assert qx.QxSetMaxFPS(camera, numpy.uint8(15)) == 0
    assert emu.journal("QxSetMaxFPS")[0][1]["fps"] == 15


# End to end against the emulated cameras.

def rgb_frame(camera):
    """One RGB 640x480 frame of the camera's current settings, as an array (H, W, 3)."""
    status, formats = qx.QxGetFormatList(camera)
    fmt = next(f for f in formats if f.format == qx.QX_IMAGE_FORMAT_RGB and f.width == 640)
    assert qx.QxSetFormat(camera, fmt) == 0 and qx.QxStartStreaming(camera) == 0
    try:
        result, frame = qx.QxGetImage(camera, 2000, fmt)
        assert result == qx.QX_SUCCESS
        return frame.reshape(fmt.height, fmt.width, 3).astype(int)
    finally:
        qx.QxStopStreaming(camera)


def bar(picture, index):
    height, width, _ = picture.shape
    return tuple(picture[height // 8, (2 * index + 1) * width // 16])


RED, WHITE, BLACK = 0, 3, 7


def test_uvc_control_reads_back_and_shows_in_the_frame(emu, camera):
    assert qx.QxGetUVCImageProcessingRange(camera, UVC.UVC_IMAGE_BRIGHTNESS) == (0, -64, 64, 1, 0)
    before = rgb_frame(camera)
    assert qx.QxSetUVCImageProcessing(camera, UVC.UVC_IMAGE_BRIGHTNESS, 40, 2) == 0
    assert qx.QxGetUVCImageProcessing(camera, UVC.UVC_IMAGE_BRIGHTNESS) == (0, 40, 2)
    after = rgb_frame(camera)
    assert bar(before, BLACK) == (0, 0, 0) and bar(after, BLACK) == (40, 40, 40)
    assert bar(after, WHITE) == (255, 255, 255)


def test_lower_saturation_greys_the_bars(emu, camera):
    assert qx.QxSetUVCImageProcessing(camera, UVC.UVC_IMAGE_SATURATION, 0, 2) == 0
    red = bar(rgb_frame(camera), RED)
    assert red[0] == red[1] == red[2]


@pytest.mark.parametrize(
    "value, flag, status_name",
    [(65, 2, "QXE_INVALID_ARGUMENT"), (-65, 2, "QXE_INVALID_ARGUMENT"), (0, 3, "QXE_INVALID_ARGUMENT")],
)
def test_refused_uvc_values_change_nothing(emu, camera, value, flag, status_name):
    assert qx.QxSetUVCImageProcessing(camera, UVC.UVC_IMAGE_BRIGHTNESS, value, flag) == getattr(emu, status_name)
    assert qx.QxGetUVCImageProcessing(camera, UVC.UVC_IMAGE_BRIGHTNESS) == (0, 0, 2)


def test_unsupported_controls(emu):
    webcam = qx.QxInitialCameraDevice(2)
    assert qx.QxOpen(webcam) == 0
    try:
        assert qx.QxGetUVCImageProcessing(webcam, UVC.UVC_IMAGE_PAN)[0] == emu.QXE_NOT_SUPPORTED
        assert qx.QxGetUVCImageProcessing(webcam, UVC.UVC_IMAGE_PROP_MAX)[0] == emu.QXE_NOT_SUPPORTED
        assert qx.QxGetISPImageProcessing(webcam, ISP.ISP_IMAGE_BRIGHTNESS) == (-1, 0, 0)
        assert qx.QxSetISPImageProcessing(webcam, ISP.ISP_IMAGE_BRIGHTNESS, 1) == emu.QXE_NOT_SUPPORTED
    finally:
        qx.QxClose(webcam)


def test_settings_persist_until_the_library_is_reset(emu, camera):
    assert qx.QxSetUVCImageProcessing(camera, UVC.UVC_IMAGE_CONTRAST, 70, 2) == 0
    assert qx.QxClose(camera) == 0 and qx.QxOpen(camera) == 0
    assert qx.QxGetUVCImageProcessing(camera, UVC.UVC_IMAGE_CONTRAST) == (0, 70, 2)
    emu.reset()
    again = qx.QxInitialCameraDevice(0)
    assert qx.QxOpen(again) == 0
    assert qx.QxGetUVCImageProcessing(again, UVC.UVC_IMAGE_CONTRAST) == (0, 50, 2)
    qx.QxClose(again)


def test_isp_values_and_their_defaults(emu, camera):
    status, low, high, step, default = qx.QxGetISPImageProcessingRange(camera, ISP.ISP_IMAGE_SATURATION)
    assert (status, low, high, default) == (0, 0, 200, 100)
    assert qx.QxSetISPImageProcessing(camera, ISP.ISP_IMAGE_SATURATION, 20) == 0
    assert qx.QxGetISPImageProcessing(camera, ISP.ISP_IMAGE_SATURATION) == (0, 20, 0)
    assert qx.QxSetISPImageProcessing(camera, ISP.ISP_IMAGE_SATURATION, 201) == emu.QXE_INVALID_ARGUMENT
    assert qx.QxSetISPImageProcessing(camera, ISP.ISP_IMAGE_PROP_MAX, 0) == emu.QXE_NOT_SUPPORTED
    assert qx.QxSetISPImageProcessingDefault(camera) == 0
    assert qx.QxGetISPImageProcessing(camera, ISP.ISP_IMAGE_SATURATION) == (0, 100, 1)


def test_gain_and_exposure_follow_the_settings(emu, camera):
    assert qx.QxGetCurrentGain(camera) == (0, 0)
    assert qx.QxSetUVCImageProcessing(camera, UVC.UVC_IMAGE_GAIN, 255, 2) == 0
    assert qx.QxGetCurrentGain(camera) == (0, 255)
    assert qx.QxSetUVCImageProcessing(camera, UVC.UVC_IMAGE_EXPOSURE, 200, 2) == 0
    assert qx.QxGetCurrentExposure(camera) == (0, 20000)
    brighter = rgb_frame(camera)
    assert bar(brighter, BLACK) == (0, 0, 0) and bar(brighter, RED)[0] == 255


def test_frame_rate_cap_paces_the_stream(emu, camera):
    assert qx.QxGetMaxFPS(camera) == (0, 0)
    assert qx.QxSetMaxFPS(camera, 1) == 0
    assert qx.QxGetMaxFPS(camera) == (0, 1)
    status, formats = qx.QxGetFormatList(camera)
    fmt = formats[0]  # 60 frames per second without the cap
    assert qx.QxSetFormat(camera, fmt) == 0 and qx.QxStartStreaming(camera) == 0
    assert qx.QxGetImage(camera, 1000, fmt)[0] == qx.QX_SUCCESS
    assert qx.QxGetImage(camera, 100, fmt)[0] == qx.QX_TIMEOUT
    assert qx.QxSetMaxFPS(camera, 0) == 0
    assert qx.QxGetImage(camera, 1000, fmt)[0] == qx.QX_SUCCESS


def test_throughput_is_kept(emu, camera):
    assert qx.QxGetThroughPut(camera) == (0, 100)
    assert qx.QxSetThroughPut(camera, 40) == 0
    assert qx.QxGetThroughPut(camera) == (0, 40)
    assert qx.QxSetThroughPut(camera, 101) == emu.QXE_INVALID_ARGUMENT
    assert qx.QxGetThroughPut(camera) == (0, 40)
