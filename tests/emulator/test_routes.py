import pytest

import pyQuorvexSDK as qx

from support import EXAMPLES

ROUTES = EXAMPLES / "routes"
PIPELINE = [("ap1302", 2, "video0", 0), ("ar0521 10-0036", 0, "csi2-rx", 0), ("csi2-rx", 1, "ap1302", 0)]


def test_load_activate_and_reset(emu):
    routes = qx.QxLoadRouteYaml(str(ROUTES / "sensor_to_video0.yaml"))
    assert type(routes) is qx.QxRoute
    assert emu.active_routes() == []
    assert qx.QxActivateYamlRoutes(routes) == 0
    assert qx.QxActivateYamlRoutes(routes) == 0
    assert emu.active_routes() == PIPELINE
    first, second = (arguments["routes"] for _, arguments in emu.journal("QxActivateYamlRoutes"))
    assert first == second is not None
    assert qx.QxResetActiveRoutes() == 0
    assert emu.active_routes() == []


def test_conflicting_routes_change_nothing(emu):
    assert qx.QxActivateYamlRoutes(qx.QxLoadRouteYaml(str(ROUTES / "sensor_to_video0.yaml"))) == 0
    broken = qx.QxLoadRouteYaml(str(ROUTES / "broken_two_feeds.yaml"))
    assert broken is not None
    assert qx.QxActivateYamlRoutes(broken) == emu.QXE_ROUTE_CONFLICT
    assert emu.active_routes() == PIPELINE


@pytest.mark.parametrize(
    "text",
    ["routes: [\n", "links: []\n",
     "routes:\n  - {source: {entity: nowhere, pad: 0}, sink: {entity: csi2-rx, pad: 0}}\n",
     "routes:\n  - {source: {entity: ar0521 10-0036, pad: 3}, sink: {entity: csi2-rx, pad: 0}}\n",
     "routes:\n  - {source: {entity: csi2-rx, pad: 0}, sink: {entity: ap1302, pad: 0}}\n"],
    ids=["bad-yaml", "unknown-key", "unknown-entity", "unknown-pad", "sink-as-source"],
)
def test_unloadable_route_files_give_none(emu, tmp_path, text):
    path = tmp_path / "routes.yaml"
    path.write_text(text)
    assert qx.QxLoadRouteYaml(str(path)) is None
    assert qx.QxLoadRouteYaml(str(tmp_path / "missing.yaml")) is None


def test_route_set_outlives_the_library_reset(emu):
    routes = qx.QxLoadRouteYaml(str(ROUTES / "sensor_to_video0.yaml"))
    emu.reset()
    assert qx.QxActivateYamlRoutes(routes) == 0
    assert emu.active_routes() == PIPELINE
