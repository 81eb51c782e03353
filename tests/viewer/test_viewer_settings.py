"""Automatic modes, settings files and the OSP profile over HTTP."""

import tempfile

import pytest

PROFILE = b"format: YUY2 1280x720@30\nISP_IMAGE_BRIGHTNESS: 12   # a comment\nISP_IMAGE_SATURATION: 120\n"
SETTERS = ("QxSetUVCImageProcessing", "QxSetISPImageProcessing")


def controls(client, camera=0):
    return {c["name"]: c for c in client.get(f"/api/cameras/{camera}/controls").json()["controls"]}


def sets(emu):
    """The calls that changed a control or camera 0's profile flag."""
    flags = [call for call in emu.journal("QxSetOSPProfileFlag") if call[1]["camera"] == 0]
    return [call for name in SETTERS for call in emu.journal(name)] + flags


@pytest.mark.parametrize("camera, switchable", [
    (0, {"white_balance", "exposure", "focus", "isp_white_balance_temperature", "isp_exposure_time",
         "isp_exposure_gain"}),
    (2, {"white_balance", "exposure"}),
])
def test_controls_with_an_automatic_mode_switch_between_it_and_manual(client, camera, switchable):
    before = controls(client, camera)
    assert {name for name, c in before.items() if c["auto_mode"]} == switchable
    for name in switchable:
        manual = client.post(f"/api/cameras/{camera}/controls/{name}/auto", json={"auto": False}).json()
        # Manual at the value the camera had chosen.
        assert (manual["automatic"], manual["value"]) == (False, before[name]["value"])
        now = controls(client, camera)
        assert now[name]["automatic"] is False
        if "mode" in manual:  # an ISP control's mode is a control of its own
            assert now[manual["mode"]]["value"] == 0
        automatic = client.post(f"/api/cameras/{camera}/controls/{name}/auto", json={"auto": True}).json()
        assert automatic["automatic"] is True and controls(client, camera)[name]["automatic"] is True


@pytest.mark.parametrize("method, path, body, status, words", [
    ("post", "/api/cameras/0/controls/brightness/auto", {"auto": True}, 422, "no automatic mode"),
    ("post", "/api/cameras/0/controls/isp_brightness/auto", {"auto": True}, 422, "no automatic mode"),
    ("post", "/api/cameras/0/controls/loudness/auto", {"auto": True}, 404, "no control"),
    ("post", "/api/cameras/2/controls/focus/auto", {"auto": True}, 404, "no control"),
    ("post", "/api/cameras/0/controls/exposure/auto", {"auto": 1}, 422, "true or false"),
    ("post", "/api/cameras/0/settings", {"brightness": 3}, 422, '"controls"'),
    ("post", "/api/cameras/0/settings", {"controls": {"brightness": 65, "gamma": "1", "hue": True}}, 422,
     "brightness must lie in [-64, 64], not 65; gamma takes a whole number or true (automatic), not '1'; "
     "hue has no automatic mode"),
    ("post", "/api/cameras/0/settings", {"controls": {"brightness": 3, "exposure": False}}, 422, "exposure takes"),
    ("post", "/api/cameras/0/settings", {"controls": {"pan": 100}}, 422, "steps of 3600"),
    ("post", "/api/cameras/0/settings", {"controls": {"pan": 0}, "format": 3}, 422, '"format" is text'),
    ("get", "/api/cameras/1/profile", None, 404, "no OSP profile"),
    ("get", "/api/cameras/2/profile", None, 404, "no OSP profile"),
    ("post", "/api/cameras/1/profile/flag", {"flag": "enabled"}, 404, "no OSP profile"),
    ("post", "/api/cameras/0/profile/flag", {"flag": "on"}, 422, "not 'on'"),
    ("post", "/api/cameras/0/profile/wipe", None, 404, "not 'wipe'"),
    ("post", "/api/cameras/0/profile", PROFILE, 409, "enable the profile first"),
])
def test_refusals_change_nothing(client, emu, method, path, body, status, words):
    client.get("/api/cameras/0/controls")
    emu.clear_journal()
    sent = {} if body is None else {"content": body} if isinstance(body, bytes) else {"json": body}
    response = getattr(client, method)(path, **sent)
    assert response.status_code == status and words in response.json()["error"], response.json()
    assert not sets(emu)


@pytest.mark.parametrize("path, body", [
    ("/controls/exposure/auto", {"auto": False}),
    ("/settings", {"controls": {"brightness": 3}}),
    ("/profile/flag", {"flag": "enabled"}),
    ("/profile/image_processing", None),
])
def test_changes_are_refused_while_the_camera_is_upgraded(client, emu, path, body):
    camera = client.app.state.viewer.camera(0)
    previous = camera.claim_upgrade("sensor")
    emu.clear_journal()
    try:
        response = client.post(f"/api/cameras/0{path}", json=body)
    finally:
        camera.upgrade = previous
    assert response.status_code == 409 and "being upgraded" in response.json()["error"]
    assert not sets(emu)


def test_saved_settings_load_back(client):
    response = client.get("/api/cameras/0/settings")
    assert "attachment" in response.headers["content-disposition"]
    saved = response.json()
    assert saved["camera"]["product"] == "ZENA" and saved["format"] == "YUY2:640x480@60"
    assert saved["controls"]["white_balance"] is True and saved["controls"]["brightness"] == 0
    for name, value in [("brightness", 30), ("isp_saturation", 150), ("white_balance", 3000)]:
        client.post(f"/api/cameras/0/controls/{name}", json={"value": value})
    client.post("/api/cameras/0/format", json={"pixel_format": "MJPG", "width": 1280, "height": 720, "fps": 30})
    loaded = client.post("/api/cameras/0/settings", json=saved).json()
    assert loaded["skipped"] == [] and "ZenA" in loaded["source"]
    assert client.get("/api/cameras/0").json()["stats"]["format"]["label"] == "YUY2:640x480@60"
    now = controls(client)
    assert {name: now[name]["value"] for name in ("brightness", "isp_saturation")} == {"brightness": 0,
                                                                                      "isp_saturation": 100}
    assert now["white_balance"]["automatic"] is True
    assert {c["name"]: c["value"] for c in loaded["controls"]} == {name: c["value"] for name, c in now.items()}


def test_another_models_settings_skip_what_does_not_fit(client):
    webcam = client.get("/api/cameras/2/settings").json()
    webcam["controls"]["white_balance"] = 3000  # fits camera 0's range and grid too
    loaded = client.post("/api/cameras/0/settings", json=webcam).json()
    skipped = " ".join(loaded["skipped"])
    # The webcam's 0..255 brightness, contrast, saturation, sharpness are out of camera 0's ranges.
    assert all(f"{name} (" in skipped for name in ("brightness", "contrast", "sharpness")), skipped
    assert controls(client)["white_balance"]["value"] == 3000
    # Camera 0's own file on the webcam: the controls it lacks are named.
    assert client.get("/api/cameras/0").json()["stats"]["format"]["label"] == webcam["format"]
    zena = {**client.get("/api/cameras/0/settings").json(), "format": "NV12:3840x2160@30"}
    skipped = client.post("/api/cameras/2/settings", json=zena).json()["skipped"]
    assert {"hue (this camera has no such control)", "isp_brightness (this camera has no such control)",
            "format NV12:3840x2160@30 (this camera does not offer it)"} <= set(skipped)


def test_a_value_the_camera_refuses_puts_back_what_was_set(client, emu):
    before = controls(client)
    emu.script("QxSetISPImageProcessing", result=emu.QXE_BUSY, times=0)
    try:
        response = client.post("/api/cameras/0/settings",
                               json={"controls": {"brightness": 20, "isp_brightness": 20, "contrast": 70}})
    finally:
        emu.clear_scripts()
    assert response.status_code == 409 and "isp_brightness 20" in response.json()["error"]
    after = controls(client)
    assert [after[name]["value"] for name in ("brightness", "contrast")] == [before["brightness"]["value"],
                                                                             before["contrast"]["value"]]


def test_minimum_and_maximum_may_cross_in_one_file(client):
    # Each is refused alone beside the other's value in force; in one file both go in.
    loaded = client.post("/api/cameras/0/settings", json={"controls": {"isp_exposure_min_time": 40000,
                                                                       "isp_exposure_max_time": 50000}})
    assert loaded.status_code == 200
    assert [controls(client)[n]["value"] for n in ("isp_exposure_min_time", "isp_exposure_max_time")] == [40000, 50000]


def test_a_profile_is_loaded_from_a_private_file_and_activated(client, monkeypatch, tmp_path):
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    assert client.get("/api/cameras/0/profile").json()["flag"] == "disabled"
    assert client.post("/api/cameras/0/profile/flag", json={"flag": "enabled"}).json()["flag"] == "enabled"
    loaded = client.post("/api/cameras/0/profile", content=PROFILE).json()
    assert loaded["config"] == "format: YUY2 1280x720@30\nISP_IMAGE_BRIGHTNESS: 12\nISP_IMAGE_SATURATION: 120\n"
    assert list(tmp_path.iterdir()) == []
    applied = client.post("/api/cameras/0/profile/image_processing").json()
    assert {c["name"]: c["value"] for c in applied["controls"]}["isp_saturation"] == 120
    assert client.post("/api/cameras/0/profile/streaming").json()["format"] == "YUY2:1280x720@30"
    assert client.get("/api/cameras/0").json()["stats"]["format"]["label"] == "YUY2:1280x720@30"
    assert client.get("/api/cameras/0/frame.jpg").status_code == 200


@pytest.mark.parametrize("text, words", [
    (b"format: YUY2 1280x720@30\nISP_IMAGE_BRIGHTNESS: 500\n", "line 2: isp_brightness must lie in [-100, 100]"),
    (b"format: YUY2 1281x720@30\n", "line 1: camera 0 has no format YUY2:1281x720@30"),
    (b"ISP_IMAGE_BRIGHTNESS: 1\n", "names no format"),
    (b"format: YUY2 1280x720@30\nloudness: 3\n", "line 2: 'loudness' is neither"),
    (b"format: YUY2 1280x720@30\nISP_IMAGE_BRIGHTNESS\n", "line 2 of the profile is not KEY: VALUE"),
    ("format: YUY2 1280x720@30 # über\n".encode(), "plain ASCII"),
    (b"", "carries no profile"),
    (b"#" * (64 * 1024 + 1), "at most 65536 bytes"),
])
def test_a_bad_profile_is_refused_with_what_is_wrong(client, emu, text, words):
    client.post("/api/cameras/0/profile/flag", json={"flag": "enabled"})
    emu.clear_journal()
    response = client.post("/api/cameras/0/profile", content=text)
    assert response.status_code in (400, 413, 422) and words in response.json()["error"], response.json()
    assert not emu.journal("QxLoadProfileConfig")


@pytest.mark.parametrize("path", ["/api/cameras/0/settings", "/api/cameras/0/profile"])
def test_loads_come_only_from_the_viewers_page(client, emu, path):
    emu.clear_journal()
    response = client.post(path, content=b'{"controls": {"brightness": 3}}',
                           headers={"Origin": "http://attacker.example"})
    assert response.status_code == 403 and not sets(emu)
