"""The call journal stays within its bounds and can be turned off."""

import os
import zlib

import pytest

import pyQuorvexSDK as qx

from conftest import run_python


@pytest.mark.parametrize("extra", [-1, 0, 1, 10_000_000])
def test_a_long_byte_string_is_journalled_as_its_length_and_crc(emu, extra):
    path = bytes(range(97, 123)) * (emu.limits()["journal_argument_bytes"] // 26 + 1)
    path = (path * (1 + extra // len(path)) if extra > 0 else path)[: emu.limits()["journal_argument_bytes"] + extra]
    emu.script("QxLoadRouteYaml", result=None)
    qx.QxLoadRouteYaml(path.decode())
    journalled = emu.journal("QxLoadRouteYaml")[0][1]["path"]
    if extra <= 0:
        assert journalled == path
    else:
        assert journalled == f"<{len(path)} bytes, CRC-32 {zlib.crc32(path):08x}>".encode()


def test_the_journal_keeps_the_latest_calls_within_its_byte_budget(emu):
    limits = emu.limits()
    argument = limits["journal_argument_bytes"]
    calls = 2 * limits["journal_bytes"] // argument
    assert calls < limits["journal_calls"]  # the byte budget, not the call count, must be what bounds it
    emu.script("QxLoadRouteYaml", result=None, times=0)  # no file to look for, nothing logged
    for i in range(calls):
        qx.QxLoadRouteYaml(f"{i:08d}".ljust(argument, "-"))
    kept = emu.journal()
    assert len(kept) < calls
    assert sum(len(entry[1]["path"]) for entry in kept) <= limits["journal_bytes"]
    assert [int(entry[1]["path"][:8]) for entry in kept] == list(range(calls - len(kept), calls))


def test_journalling_can_be_turned_off_and_reset_turns_it_on(emu):
    emu.set_journalling(False)
    emu.script("QxGetDeviceName", result=7)
    assert qx.QxGetDeviceName(None) == (7, "")  # scripts still answer
    qx.QxDiscoverCameraDevices()
    assert emu.journal() == []
    emu.set_journalling(True)
    qx.QxDiscoverCameraDevices()
    assert [name for name, _ in emu.journal()] == ["QxDiscoverCameraDevices"]
    emu.set_journalling(False)
    emu.reset()
    qx.QxDiscoverCameraDevices()
    assert len(emu.journal()) == 1


@pytest.mark.parametrize("setting, journalled", [(None, 1), ("off", 0), ("0", 0), ("on", 1), ("", 1)])
def test_the_environment_picks_whether_calls_are_journalled(setting, journalled):
    env = {key: value for key, value in os.environ.items() if key != "QX_EMULATOR_JOURNAL"}
    if setting is not None:
        env["QX_EMULATOR_JOURNAL"] = setting
    result = run_python("""
        import pyQuorvexSDK as qx, qx_emulator
        qx.QxDiscoverCameraDevices()
        qx_emulator.reset()
        qx.QxDiscoverCameraDevices()
        print(len(qx_emulator.journal()))
    """, env=env)
    assert result.stdout.strip() == str(journalled), result.stderr
