import json

import pytest

import pyQuorvexSDK as qx

from support import EXAMPLES

PROFILE = EXAMPLES / "osp_profile.yaml"


def test_profiles_need_the_flag(emu, camera):
    assert qx.QxGetOSPProfileFlag(camera) == (0, qx.DISABLED)
    assert qx.QxLoadProfileConfig(camera, str(PROFILE)) == emu.QXE_PROFILE_DISABLED
    assert qx.QxSetOSPProfileFlag(camera, qx.ENABLED) == 0
    assert qx.QxGetOSPProfileFlag(camera) == (0, qx.ENABLED)
    assert qx.QxSetOSPProfileFlag(camera, qx.QX_OSP_PROFILE_FLAG(7)) == emu.QXE_INVALID_ARGUMENT


def test_profile_load_and_activation(emu, camera):
    assert qx.QxSetOSPProfileFlag(camera, qx.ENABLED) == 0
    status, factory = qx.QxGetOSPProfileConfig(camera)
    assert status == 0 and factory.startswith("format:")
    assert qx.QxLoadProfileConfig(camera, str(PROFILE)) == 0
    status, loaded = qx.QxGetOSPProfileConfig(camera)
    assert "YUY2 1280x720@30" in loaded and "ISP_IMAGE_BRIGHTNESS: 12" in loaded
    assert qx.QxGetISPImageProcessing(camera, qx.ISP_IMAGE_BRIGHTNESS) == (0, 0, 1)
    assert qx.QxActivateProfileImageProcessing(camera) == 0
    assert qx.QxGetISPImageProcessing(camera, qx.ISP_IMAGE_BRIGHTNESS) == (0, 12, 0)
    assert qx.QxActivateProfileStreaming(camera) == 0
    assert qx.QxStartStreaming(camera) == 0
    fmt = next(f for f in qx.QxGetFormatList(camera)[1]
               if (f.format, f.width, f.height, f.framerate) == (qx.QX_IMAGE_FORMAT_YUY2, 1280, 720, 30))
    result, frame = qx.QxGetImage(camera, 2000, fmt)
    assert result == qx.QX_SUCCESS and frame.size == 1280 * 720 * 2


@pytest.mark.parametrize(
    "text",
    ["ISP_IMAGE_BRIGHTNESS: 1\n", "format: YUY2 1281x720@30\n", "format: YUY2 1280x720@30\nCOLOUR: 1\n",
     "format: YUY2 1280x720@30\nISP_IMAGE_BRIGHTNESS: 101\n", "format: YUY2 1280x720@30\nISP_IMAGE_GAMMA: x\n"],
    ids=["no-format", "format-not-offered", "unknown-key", "out-of-range", "not-a-number"],
)
def test_malformed_profiles_change_nothing(emu, camera, tmp_path, text):
    assert qx.QxSetOSPProfileFlag(camera, qx.ENABLED) == 0
    before = qx.QxGetOSPProfileConfig(camera)
    profile = tmp_path / "profile.yaml"
    profile.write_text(text)
    assert qx.QxLoadProfileConfig(camera, str(profile)) == emu.QXE_INVALID_ARGUMENT
    assert qx.QxLoadProfileConfig(camera, str(tmp_path / "missing.yaml")) == emu.QXE_IO_ERROR
    assert qx.QxGetOSPProfileConfig(camera) == before


def test_saved_flag_survives_a_library_reset(emu, camera):
    assert qx.QxSetOSPProfileFlag(camera, qx.ENABLED_AND_SAVE) == 0
    emu.reset()
    again = qx.QxInitialCameraDevice(0)
    assert qx.QxOpen(again) == 0
    assert qx.QxGetOSPProfileFlag(again) == (0, qx.ENABLED_AND_SAVE)
    assert qx.QxSetOSPProfileFlag(again, qx.ENABLED) == 0
    emu.reset()
    again = qx.QxInitialCameraDevice(0)
    assert qx.QxOpen(again) == 0
    assert qx.QxGetOSPProfileFlag(again) == (0, qx.DISABLED)
    qx.QxClose(again)


def test_frame_counter_wraps_and_resets(emu):
    assert emu.configure(emu.builtin_configuration().replace("cameras:", "pacing: false\ncameras:", 1))
    camera = qx.QxInitialCameraDevice(0)
    assert qx.QxOpen(camera) == 0
    fmt = qx.QxGetFormatList(camera)[1][0]
    assert qx.QxSetFormat(camera, fmt) == 0 and qx.QxStartStreaming(camera) == 0
    counts = []
    for _ in range(258):
        assert qx.QxGetImage(camera, 100, fmt)[0] == qx.QX_SUCCESS
        counts.append(qx.QxGetFrameCount(camera)[1])
    assert counts[:2] == [1, 2] and counts[254:] == [255, 0, 1, 2]
    assert qx.QxResetFrameCount(camera) == 0 and qx.QxGetFrameCount(camera) == (0, 0)
    status, seconds = qx.QxGetTimestamp(camera)
    assert status == 0 and seconds > 0
    assert qx.QxResetTimestamp(camera) == 0
    assert 0 <= qx.QxGetTimestamp(camera)[1] < seconds
    qx.QxClose(camera)


def test_sensor_configuration_round_trip(emu, camera, tmp_path):
    binary, decoded = tmp_path / "sensor.bin", tmp_path / "sensor.json"
    assert qx.QxAP1302SensorRegisterWrite(camera, 0x36, 0x3012, 0x0400) == 0
    assert qx.QxExportSensorConfig(camera, str(binary)) == 0
    assert qx.QxDecodeSensorConfig(str(binary), str(decoded)) == 0
    registers = {int(r["address"], 16): int(r["value"], 16) for r in json.loads(decoded.read_text())["registers"]}
    assert registers[0x3000] == 0x0153 and registers[0x3012] == 0x0400
    assert qx.QxExportSensorConfig(camera, str(tmp_path / "missing" / "sensor.bin")) == emu.QXE_IO_ERROR


@pytest.mark.parametrize(
    "damage, status_name",
    [(lambda raw: raw[:-6], "QXE_IMAGE_TRUNCATED"), (lambda raw: b"XXXX" + raw[4:], "QXE_BAD_IMAGE"),
     (lambda raw: raw[:20] + bytes([raw[20] ^ 1]) + raw[21:], "QXE_BAD_CHECKSUM"),
     (lambda raw: raw[:6], "QXE_IMAGE_TRUNCATED"), (lambda raw: None, "QXE_IO_ERROR")],
    ids=["truncated", "bad-magic", "corrupted", "header-only", "missing"],
)
def test_bad_sensor_configuration_leaves_no_json(emu, camera, tmp_path, damage, status_name):
    binary, decoded = tmp_path / "sensor.bin", tmp_path / "sensor.json"
    assert qx.QxExportSensorConfig(camera, str(binary)) == 0
    damaged = damage(binary.read_bytes())
    if damaged is None:
        binary.unlink()
    else:
        binary.write_bytes(damaged)
    assert qx.QxDecodeSensorConfig(str(binary), str(decoded)) == getattr(emu, status_name)
    assert list(tmp_path.iterdir()) == ([binary] if damaged is not None else [])
