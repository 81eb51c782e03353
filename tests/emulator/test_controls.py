import pytest

import pyQuorvexSDK as qx

from support import ISP, UVC


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
