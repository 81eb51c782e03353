"""Who may use the viewer: its token, the names it answers to, and pages of other sites."""

import pytest
from starlette.testclient import TestClient
from starlette.websockets import WebSocketDisconnect

import pyQuorvexSDK as qx
from firmware_image import TARGET_SENSOR, firmware_image
from quorvex.viewer.access import loopback_names
from quorvex.viewer.server import create_app

TOKEN = "the-viewers-token"
BASE = "http://127.0.0.1:8000"
COOKIE = "quorvex-viewer-8000"

# Every request that changes something, with a body it would accept.
STATE_CHANGES = [
    ("/api/cameras/0/format", {"pixel_format": "YUY2", "width": 640, "height": 480, "fps": 30}),
    ("/api/cameras/0/controls/brightness", {"value": 20}),
    ("/api/cameras/0/controls/brightness/reset", None),
    ("/api/cameras/0/controls/exposure/auto", {"auto": False}),
    ("/api/cameras/0/profile/flag", {"flag": "enabled"}),
    ("/api/cameras/0/profile/streaming", None),
    ("/api/cameras/0/profile/image_processing", None),
    ("/api/cameras/0/firmware/sensor", "image"),
    ("/api/cameras/0/recording", None),
    ("/api/cameras/0/recording/stop", None),
    ("/api/recordings/camera0-20261207-140512.qxrec/play", None),
    ("/api/playbacks/0/pause", None),
    ("/api/playbacks/0/resume", None),
    ("/api/playbacks/0/step", None),
    ("/api/playbacks/0/seek", {"frame": 0}),
]
READS = ["/", "/static/app.js", "/api/cameras", "/api/cameras/0", "/api/cameras/0/frame.jpg", "/api/recordings"]

# (headers, expected status) of requests the viewer must refuse, next to one it serves.
ATTACKS = {
    "foreign origin": ({"Origin": "http://attacker.example", "X-Quorvex-Token": TOKEN}, 403),
    "other port's page": ({"Origin": "http://127.0.0.1:9000", "X-Quorvex-Token": TOKEN}, 403),
    "null origin": ({"Origin": "null", "X-Quorvex-Token": TOKEN}, 403),
    "foreign host": ({"Host": "attacker.example:8000", "X-Quorvex-Token": TOKEN}, 403),
    "embedded elsewhere": ({"Sec-Fetch-Site": "cross-site", "Sec-Fetch-Mode": "no-cors", "X-Quorvex-Token": TOKEN}, 403),
    "no token": ({}, 403),
    "wrong token": ({"X-Quorvex-Token": TOKEN[:-1]}, 403),
    "stale cookie": ({"Cookie": f"{COOKIE}=old-{TOKEN}"}, 403),
}


@pytest.fixture
def guarded(emu, tmp_path):
    app = create_app(recordings=tmp_path, token=TOKEN, hosts=loopback_names("127.0.0.1"))
    with TestClient(app, base_url=BASE, follow_redirects=False) as client:
        yield client


def body_of(body):
    if body == "image":
        return {"content": firmware_image(TARGET_SENSOR, qx.QXCAM_PRODUCT_TYPE_ZENA, "6.6.6"),
                "headers": {"Content-Type": "text/plain"}}
    return {"json": body} if body is not None else {}


@pytest.mark.parametrize("attack", ATTACKS)
@pytest.mark.parametrize("path, body", STATE_CHANGES, ids=[path for path, _ in STATE_CHANGES])
def test_state_changes_refuse_what_is_not_the_viewers_page(guarded, emu, attack, path, body):
    headers, status = ATTACKS[attack]
    emu.clear_journal()
    request = body_of(body)
    extra = request.pop("headers", {})
    response = guarded.post(path, **request, headers={**extra, **headers})
    assert response.status_code == status and response.json()["error"]
    # Refused before the camera was even opened.
    assert emu.journal("QxOpen") == [] and guarded.app.state.viewer.opened() == []


@pytest.mark.parametrize("path", READS)
@pytest.mark.parametrize("attack", [name for name in ATTACKS if "origin" not in name])
def test_reads_need_the_token_and_the_viewers_own_name(guarded, attack, path):
    headers, status = ATTACKS[attack]
    assert guarded.get(path, headers=headers).status_code == status


@pytest.mark.parametrize("path, body", STATE_CHANGES, ids=[path for path, _ in STATE_CHANGES])
def test_state_changes_refuse_get(guarded, path, body):
    assert guarded.get(path, headers={"X-Quorvex-Token": TOKEN}).status_code == 405


@pytest.mark.parametrize("attack", ["foreign origin", "foreign host", "no token", "wrong token", "embedded elsewhere"])
def test_events_refuse_a_foreign_socket_before_accepting_it(guarded, attack):
    headers, _ = ATTACKS[attack]
    with pytest.raises(WebSocketDisconnect) as closed:
        with guarded.websocket_connect("ws://127.0.0.1:8000/api/cameras/0/events", headers=headers) as socket:
            socket.receive_json()
    assert closed.value.code == 1008


def test_the_token_once_in_the_address_then_a_cookie(guarded):
    answer = guarded.get(f"/?token={TOKEN}&camera=1")
    assert answer.status_code == 303 and answer.headers["location"] == "/?camera=1"
    cookie = answer.headers["set-cookie"].lower()
    assert cookie.startswith(f"{COOKIE}={TOKEN}".lower()) and "httponly" in cookie and "samesite=strict" in cookie
    # The client keeps the cookie: the page, its requests and its socket go through with it.
    assert "Quorvex viewer" in guarded.get("/").text
    same_origin = {"Origin": BASE, "Sec-Fetch-Site": "same-origin"}
    assert guarded.post("/api/cameras/0/controls/brightness", json={"value": 7}, headers=same_origin).json()["value"] == 7
    with guarded.websocket_connect("ws://127.0.0.1:8000/api/cameras/0/events", headers={"Origin": BASE}) as socket:
        assert socket.receive_json()["upgrade"]["state"] == "idle"


@pytest.mark.parametrize("headers", [
    {"X-Quorvex-Token": TOKEN}, {"Authorization": f"token {TOKEN}"}, {"Authorization": f"Bearer {TOKEN}"},
    # Through an SSH tunnel the browser may name another port, or [::1].
    {"X-Quorvex-Token": TOKEN, "Host": "localhost:9000", "Origin": "http://localhost:9000"},
    {"X-Quorvex-Token": TOKEN, "Host": "[::1]:8000"},
    # Following a link to the page from elsewhere is fine; the page then needs its token as ever.
    {"X-Quorvex-Token": TOKEN, "Sec-Fetch-Site": "cross-site", "Sec-Fetch-Mode": "navigate"},
])
def test_scripts_and_tunnels_with_the_token_are_served(guarded, headers):
    assert guarded.get("/api/cameras", headers=headers).status_code == 200
    assert guarded.get(f"/api/cameras/0/firmware?token={TOKEN}").status_code == 200


def test_without_a_token_the_viewer_still_answers_only_to_its_own_names(emu):
    app = create_app(hosts=loopback_names("127.0.0.1"))
    with TestClient(app, base_url=BASE) as client:
        assert client.get("/api/cameras").status_code == 200
        assert client.get("/api/cameras", headers={"Host": "rebound.attacker.example"}).status_code == 403
        assert client.post("/api/cameras/0/controls/brightness/reset",
                           headers={"Origin": "http://attacker.example"}).status_code == 403
