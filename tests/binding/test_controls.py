import pytest

import pyQuorvexSDK as qx

from support import ISP, UVC


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

