import pytest

import pyQuorvexSDK as qx


def test_route_type_has_no_constructor():
    with pytest.raises(TypeError, match="^pyQuorvexSDK.QxRoute: No constructor defined!$"):
        qx.QxRoute()


def test_failed_load_gives_none(emu):
    emu.script("QxLoadRouteYaml", result=None)
    assert qx.QxLoadRouteYaml("routes.yaml") is None
    assert emu.journal("QxLoadRouteYaml") == [("QxLoadRouteYaml", {"path": b"routes.yaml"})]


def test_reset_takes_no_argument(emu):
    with pytest.raises(TypeError):
        qx.QxResetActiveRoutes(None)
    assert emu.journal() == []


def test_none_route_reaches_the_library_as_an_empty_handle(emu):
    emu.script("QxActivateYamlRoutes", result=-2)
    assert qx.QxActivateYamlRoutes(None) == -2
    assert emu.journal("QxActivateYamlRoutes") == [("QxActivateYamlRoutes", {"routes": None})]
    with pytest.raises(TypeError):
        qx.QxActivateYamlRoutes(qx.QxInitialCameraDevice(0))

