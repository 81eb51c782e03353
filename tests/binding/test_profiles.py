import numpy
import pytest

import pyQuorvexSDK as qx


def test_profile_flag(emu, camera):
    emu.script("QxSetOSPProfileFlag", result=-3)
    assert qx.QxSetOSPProfileFlag(camera, qx.ENABLED_AND_SAVE) == -3
    assert emu.journal("QxSetOSPProfileFlag")[0][1] == {"camera": 0, "flag": 2}
    emu.script("QxGetOSPProfileFlag", outs={"flag": 9})
    status, flag = qx.QxGetOSPProfileFlag(camera)
    assert status == 0 and type(flag) is qx.QX_OSP_PROFILE_FLAG and flag.value == 9
    for bad in (2, None):
        with pytest.raises(TypeError):
            qx.QxSetOSPProfileFlag(camera, bad)


def test_string_results_and_inputs(emu, camera):
    emu.script("QxGetOSPProfileConfig", result=-1)
    assert qx.QxGetOSPProfileConfig(camera) == (-1, "")
    emu.script("QxLoadProfileConfig", result=-6)
    assert qx.QxLoadProfileConfig(camera, "profile.yaml") == -6
    assert emu.journal("QxLoadProfileConfig")[0][1] == {"camera": 0, "config": b"profile.yaml"}


def test_counters(emu, camera):
    emu.script("QxGetTimestamp", outs={"timestamp": 0.1})
    assert qx.QxGetTimestamp(camera) == (0, float(numpy.float32(0.1)))
    emu.script("QxGetFrameCount", result=-1, outs={"count": 255})
    assert qx.QxGetFrameCount(camera) == (-1, 255)


def test_decode_passes_both_paths_in_order(emu):
    emu.script("QxDecodeSensorConfig", result=0, times=2)
    assert qx.QxDecodeSensorConfig("a.bin", "b.json") == 0
    assert qx.QxDecodeSensorConfig("b.json", "a.bin") == 0
    assert [arguments for _, arguments in emu.journal()] == [
        {"binaryPath": b"a.bin", "jsonPath": b"b.json"}, {"binaryPath": b"b.json", "jsonPath": b"a.bin"}]

