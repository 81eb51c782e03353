"""Library-wide settings and discovery through the package."""

import pytest

import pyQuorvexSDK as qx
import quorvex


def test_camera_count_opens_no_camera(emu):
    emu.clear_journal()
    assert quorvex.camera_count() == 3
    assert emu.journal("QxOpen") == []


@pytest.mark.parametrize("level, value", [("trace", qx.QX_LOG_LEVEL_TRACE), ("error", qx.QX_LOG_LEVEL_ERROR),
                                          ("off", qx.QX_LOG_LEVEL_OFF)])
def test_log_level_reaches_the_library(emu, level, value):
    emu.clear_journal()
    quorvex.set_log_level(level)
    assert emu.journal("QxSetLogLevel") == [("QxSetLogLevel", {"level": int(value)})]


@pytest.mark.parametrize("level", ["ERROR", "loud", ""])
def test_an_unknown_log_level_is_refused_before_the_library(emu, level):
    emu.clear_journal()
    with pytest.raises(ValueError, match="trace, debug"):
        quorvex.set_log_level(level)
    assert emu.journal("QxSetLogLevel") == []
