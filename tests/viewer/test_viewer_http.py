"""The viewer's HTTP endpoints through Starlette's test client, against the emulated cameras."""

import io
import json
import math

import numpy as np
import pytest
from PIL import Image, JpegImagePlugin

import pyQuorvexSDK as qx
from quorvex.errors import NO_DEVICE, DisconnectedError
from firmware_image import TARGET_SENSOR, TARGET_USB_CONTROLLER, firmware_image
from viewer_support import wait_until

# The smallest format of each pixel format camera 0 offers.
PIXEL_FORMATS = [
    ("YUY2", 640, 480, 60), ("UYVY", 1280, 720, 30), ("NV12", 1920, 1080, 30), ("MJPG", 640, 480, 30),
    ("BGRA", 640, 480, 30), ("BGRX", 1920, 1080, 30), ("BGR", 640, 480, 30), ("RGB16", 640, 480, 30),
    ("RGB", 640, 480, 30),
]
BARS = [(255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 255), (255, 255, 0), (0, 255, 255), (255, 0, 255), (0, 0, 0)]


def set_format(client, camera, pixel_format, width, height, fps):
    body = {"pixel_format": pixel_format, "width": width, "height": height, "fps": fps}
    return client.post(f"/api/cameras/{camera}/format", json=body)


def picture(response):
    assert response.status_code == 200, response.text
    return np.asarray(Image.open(io.BytesIO(response.content)).convert("RGB")).astype(int)


def bar_colours(rgb):
    """The colour at the middle of each of the eight bars, on a row above the marker."""
    height, width, _ = rgb.shape
    return [tuple(rgb[height // 8, (2 * i + 1) * width // 16]) for i in range(8)]


def library_camera(index):
    handle = qx.QxInitialCameraDevice(index)
    return handle


def test_page_and_its_files_are_served(client):
    page = client.get("/")
    assert page.status_code == 200 and "text/html" in page.headers["content-type"]
    for asset in ("/static/app.js", "/static/style.css"):
        assert asset in page.text
        assert client.get(asset).status_code == 200
    # Nothing on the page comes from elsewhere.
    assert "http://" not in page.text and "https://" not in page.text


@pytest.mark.parametrize("path", [
    "/static/../server.py", "/static/%2e%2e/server.py", "/static/..%2fserver.py", "/static/%2e%2e%2flive.py",
    "/static//etc/passwd", "/static/../../../../etc/passwd", "/static/", "/static/missing.js", "/server.py",
])
def test_no_path_outside_the_static_files(client, path):
    response = client.get(path)
    assert response.status_code == 404
    assert b"import" not in response.content and b"root:" not in response.content


def test_camera_list_describes_every_camera(client):
    body = client.get("/api/cameras").json()
    status, names = qx.QxDiscoverCameraDevices()
    assert [c["name"] for c in body["cameras"]] == list(names)
    assert body["shown"] == [0]
    first, mipi, webcam = body["cameras"]
    assert (first["interface"], first["product"], first["imu"]) == ("USB", "ZENA", True)
    assert (mipi["interface"], mipi["imu"]) == ("MIPI_CSI2", False)
    assert webcam["quorvex"] is False
    # Versions as the library reports them through the viewer's open handle.
    handle = library_camera(0)
    assert first["firmware"]["usb"] == qx.QxGetUSBFirmwareVersion(handle)[1]
    assert first["firmware"]["sensor"] == qx.QxGetSensorFirmwareVersion(handle)[1]
    assert mipi["firmware"]["usb"] is None and webcam["firmware"] == {"usb": None, "zena": None, "sensor": None}


def test_a_camera_that_cannot_open_is_listed_with_its_error(client, emu):
    emu.script("QxOpen", result=emu.QXE_BUSY)
    body = client.get("/api/cameras").json()
    assert "cannot be opened" in body["cameras"][0]["error"]
    assert body["cameras"][1]["name"]
    # The next request tries again.
    assert client.get("/api/cameras/0").status_code == 200


def test_camera_detail_lists_the_formats_in_library_order(client):
    body = client.get("/api/cameras/1").json()
    handle = library_camera(1)
    status, formats = qx.QxGetFormatList(handle)
    assert [(f["width"], f["height"], f["fps"]) for f in body["formats"]] == [
        (f.width, f.height, f.framerate) for f in formats]
    assert body["stats"]["format"] == body["formats"][0]
    assert body["upgrade"]["state"] == "idle"


@pytest.mark.parametrize("method, path, error", [
    ("GET", "/api/cameras/3", "no camera 3: there are 3 (0 to 2)"),
    ("GET", "/api/cameras/99", "no camera 99: there are 3 (0 to 2)"),
    ("GET", "/api/cameras/3/frame.jpg", "no camera 3: there are 3 (0 to 2)"),
    ("GET", "/api/cameras/7/controls", "no camera 7: there are 3 (0 to 2)"),
    ("GET", "/api/cameras/3/imu", "no camera 3: there are 3 (0 to 2)"),
    ("GET", "/api/cameras/x", "Not Found"),
    ("GET", "/api/cameras/-1", "Not Found"),
    # What a camera lacks.
    ("GET", "/api/cameras/1/imu", "camera 1 has no IMU"),
    ("POST", "/api/cameras/1/firmware/usb", "camera 1 has no usb firmware"),
])
def test_what_does_not_exist_gets_404_with_a_message(client, method, path, error):
    response = client.request(method, path, content=b"QXFW")
    assert response.status_code == 404
    assert response.json()["error"] == error


@pytest.mark.parametrize("pixel_format, width, height, fps", PIXEL_FORMATS)
def test_every_pixel_format_reaches_the_page_as_jpeg(client, pixel_format, width, height, fps):
    assert set_format(client, 0, pixel_format, width, height, fps).status_code == 200
    response = client.get("/api/cameras/0/frame.jpg")
    assert response.headers["content-type"] == "image/jpeg"
    rgb = picture(response)
    assert rgb.shape == (height, width, 3)
    for got, want in zip(bar_colours(rgb), BARS):
        assert np.abs(np.array(got) - want).max() <= 12, (got, want)
    state = client.get("/api/cameras/0").json()["stats"]
    assert state["format"]["label"] == f"{pixel_format}:{width}x{height}@{fps}"


def test_camera_jpeg_is_passed_through_untouched(client):
    # The camera's JPEG is 4:2:2; a re-encoded one would be 4:2:0 at the viewer's quality.
    set_format(client, 0, "MJPG", 640, 480, 30)
    camera_jpeg = Image.open(io.BytesIO(client.get("/api/cameras/0/frame.jpg").content))
    assert JpegImagePlugin.get_sampling(camera_jpeg) == 1
    set_format(client, 0, "YUY2", 640, 480, 30)
    viewer_jpeg = Image.open(io.BytesIO(client.get("/api/cameras/0/frame.jpg").content))
    assert JpegImagePlugin.get_sampling(viewer_jpeg) == 2


@pytest.mark.parametrize("body, status", [
    ({"pixel_format": "YUY2", "width": 641, "height": 480, "fps": 60}, 404),
    ({"pixel_format": "H264", "width": 640, "height": 480, "fps": 30}, 404),
    ({"pixel_format": "YUY2", "width": 640, "height": 480, "fps": 59}, 404),
    ({"pixel_format": "YUY2", "width": "640", "height": 480, "fps": 60}, 422),
    ({"pixel_format": 3, "width": 640, "height": 480, "fps": 60}, 422),
    ({"pixel_format": "YUY2", "width": 640, "height": 480}, 422),
    ({"pixel_format": "YUY2", "width": True, "height": 480, "fps": 60}, 422),
    ([1, 2], 400),
    ("not json", 400),
])
def test_bad_formats_are_refused_with_a_message(client, body, status):
    if body == "not json":
        response = client.post("/api/cameras/0/format", content=b"{not json")
    else:
        response = client.post("/api/cameras/0/format", json=body)
    assert response.status_code == status
    assert response.json()["error"]
    if status == 404:
        assert "offers" in response.json()["error"]  # names what exists
    # The camera goes on with its format.
    assert client.get("/api/cameras/0").json()["stats"]["format"]["label"] == "YUY2:640x480@60"


def test_snapshot_is_a_lossless_png_of_the_frame(client):
    set_format(client, 0, "RGB", 640, 480, 30)
    response = client.get("/api/cameras/0/snapshot.png")
    assert response.headers["content-type"] == "image/png"
    assert "attachment" in response.headers["content-disposition"]
    rgb = picture(response)
    assert [tuple(map(int, c)) for c in bar_colours(rgb)] == BARS


def test_histogram_counts_every_pixel_and_follows_brightness(client):
    first = client.get("/api/cameras/0/histogram").json()["counts"]
    assert len(first) == 256 and sum(first) == 640 * 480
    assert client.post("/api/cameras/0/controls/brightness", json={"value": 40}).status_code == 200
    mean = lambda counts: sum(level * n for level, n in enumerate(counts)) / sum(counts)  # noqa: E731
    # A frame the camera took before the change may still come first.
    assert wait_until(lambda: mean(client.get("/api/cameras/0/histogram").json()["counts"]) > mean(first) + 20,
                      timeout=20)


def test_controls_come_with_their_ranges(client):
    controls = {c["name"]: c for c in client.get("/api/cameras/0/controls").json()["controls"]}
    handle = library_camera(0)
    status, low, high, step, default = qx.QxGetUVCImageProcessingRange(handle, qx.UVC_IMAGE_BRIGHTNESS)
    assert (controls["brightness"]["min"], controls["brightness"]["max"], controls["brightness"]["step"],
            controls["brightness"]["default"]) == (low, high, step, default)
    assert controls["brightness"]["kind"] == "uvc" and controls["isp_brightness"]["kind"] == "isp"
    assert controls["exposure"]["automatic"] is True
    # The webcam has neither ISP controls nor the ones its table lacks.
    webcam = {c["name"] for c in client.get("/api/cameras/2/controls").json()["controls"]}
    assert "brightness" in webcam and "hue" not in webcam and not any(n.startswith("isp_") for n in webcam)


@pytest.mark.parametrize("name, value", [("brightness", -64), ("brightness", 64), ("isp_saturation", 150),
                                         ("color_enable", 0), ("pan", 3600 * 2), ("exposure", 200)])
def test_a_control_takes_a_value_and_goes_back_to_its_default(client, name, value):
    before = {c["name"]: c for c in client.get("/api/cameras/0/controls").json()["controls"]}[name]
    changed = client.post(f"/api/cameras/0/controls/{name}", json={"value": value})
    assert changed.status_code == 200 and changed.json()["value"] == value
    assert changed.json()["automatic"] is False  # a value set by hand ends automatic control
    reset = client.post(f"/api/cameras/0/controls/{name}/reset")
    assert reset.status_code == 200 and reset.json()["value"] == reset.json()["default"]
    # Reset returns an automatic control to automatic.
    assert reset.json()["automatic"] is before["automatic"]


@pytest.mark.parametrize("camera, name, body, status, words", [
    (0, "brightness", {"value": 65}, 422, "[-64, 64]"),
    (0, "brightness", {"value": -65}, 422, "[-64, 64]"),
    (0, "pan", {"value": 100}, 422, "steps of 3600"),
    (0, "brightness", {"value": 1.5}, 422, "whole number"),
    (0, "brightness", {"value": "1"}, 422, "whole number"),
    (0, "brightness", {}, 422, "whole number"),
    (0, "brightness", {"value": 2**40}, 422, "[-64, 64]"),
    (0, "loudness", {"value": 1}, 404, "no control"),
    (2, "isp_brightness", {"value": 1}, 404, "no control"),
    (2, "hue", {"value": 1}, 404, "no control"),
])
def test_bad_control_values_are_refused_before_the_camera(client, emu, camera, name, body, status, words):
    emu.clear_journal()
    response = client.post(f"/api/cameras/{camera}/controls/{name}", json=body)
    assert response.status_code == status
    assert words in response.json()["error"]
    assert not emu.journal("QxSetUVCImageProcessing") and not emu.journal("QxSetISPImageProcessing")


def test_a_control_the_camera_refuses_is_a_conflict(client, emu):
    client.get("/api/cameras/0/controls")
    emu.script("QxSetUVCImageProcessing", result=emu.QXE_BUSY)
    response = client.post("/api/cameras/0/controls/brightness", json={"value": 3})
    assert response.status_code == 409 and "refused" in response.json()["error"]


def test_imu_samples_on_the_camera_that_has_one(client):
    sample = client.get("/api/cameras/0/imu").json()
    assert abs(sample["acc"][2] - 9.80665) < 0.05 and all(abs(v) < 0.1 for v in sample["gyr"])
    later = client.get("/api/cameras/0/imu").json()
    assert later["t"] >= sample["t"]


def test_imu_samples_carry_the_ispu_orientation_in_ispu_mode_only(client):
    sample = client.get("/api/cameras/0/imu").json()
    t = sample["t"]
    # The emulated ISPU's slow synthetic motion (emulator/README.md, "IMU").
    expected = {"yaw": 30 + 6 * t, "pitch": 15 * math.cos(2 * math.pi * t / 40),
                "roll": -10 * math.cos(2 * math.pi * t / 25)}
    assert all(abs(sample["orientation"][name] - value) < 1 for name, value in expected.items())
    live = next(camera for camera in client.app.state.viewer.opened() if camera.index == 0)
    live.camera.imu.enable("self_test")
    sample = client.get("/api/cameras/0/imu").json()
    assert sample["orientation"] is None and abs(sample["acc"][2] - 9.80665) < 0.05


def test_multipart_stream_sends_jpeg_parts(client):
    response = client.get("/api/cameras/0/stream.mjpg?frames=3")
    assert response.headers["content-type"].startswith("multipart/x-mixed-replace; boundary=")
    boundary = response.headers["content-type"].split("boundary=")[1].encode()
    parts = [p for p in response.content.split(b"--" + boundary) if p.strip()]
    assert len(parts) == 3
    frames = []
    for part in parts:
        head, _, body = part.partition(b"\r\n\r\n")
        assert b"Content-Type: image/jpeg" in head
        frames.append(int(head.split(b"X-Frame: ")[1].split(b"\r\n")[0]))
        assert Image.open(io.BytesIO(body.removesuffix(b"\r\n"))).size == (640, 480)
    assert frames == sorted(set(frames))


@pytest.mark.parametrize("query, word", [
    ("frames=0", "'frames'"), ("frames=-2", "'frames'"), ("frames=many", "'frames'"),
    ("client=", "'client'"), ("client=a/b", "'client'"), (f"client={'x' * 65}", "'client'"),
])
def test_stream_refuses_a_bad_query(client, query, word):
    response = client.get(f"/api/cameras/0/stream.mjpg?{query}")
    assert response.status_code == 422 and word in response.json()["error"]


def product_of(index):
    return qx.QxGetDeviceProductType(library_camera(index))[1]


@pytest.mark.parametrize("target, image_target, version, other", [
    ("sensor", TARGET_SENSOR, "1.0.10", "usb"),
    ("usb", TARGET_USB_CONTROLLER, "3.12.7", "sensor"),  # through program mode
])
def test_firmware_upgrade_reports_progress_and_the_new_version(client, emu, target, image_target, version, other):
    emu.configure("")
    emu.reset()
    before = client.get("/api/cameras/0/firmware").json()["versions"]
    response = client.post(f"/api/cameras/0/firmware/{target}", content=firmware_image(image_target, product_of(0), version))
    assert response.status_code == 200, response.text
    body = response.json()
    assert body["versions"][target] == version and body["versions"][other] == before[other]
    assert body["upgrade"] == {"target": target, "state": "done", "percent": 100,
                               "message": f"{target} firmware is now {version}"}
    # The camera streams again afterwards.
    assert picture(client.get("/api/cameras/0/frame.jpg")).shape == (480, 640, 3)


@pytest.mark.parametrize("target, make, status, words", [
    ("sensor", lambda p: b"not a firmware image at all", 422, "QxUpgradeSensorFW refused the image: QX_UPGRADE_INVALID_FIRMWARE"),
    ("sensor", lambda p: firmware_image(TARGET_SENSOR, p, "1.0.10")[:-1], 422, "QX_UPGRADE_INVALID_FIRMWARE"),
    ("sensor", lambda p: firmware_image(TARGET_USB_CONTROLLER, p, "1.0.10"), 422, "QX_UPGRADE_INVALID_FIRMWARE"),
    ("sensor", lambda p: firmware_image(TARGET_SENSOR, int(p) + 1, "1.0.10"), 422, "QX_UPGRADE_MCU_MISMATCH"),
    ("usb", lambda p: b"QXFW", 422, "QxUpgradeFX3FW refused the image: QXE_IMAGE_TRUNCATED"),
    ("usb", lambda p: firmware_image(TARGET_SENSOR, p, "3.12.1"), 422, "QXE_WRONG_TARGET"),
    ("sensor", lambda p: b"", 400, "no firmware image"),
    ("bootloader", lambda p: firmware_image(TARGET_SENSOR, p, "1.0.10"), 404, "'usb' or 'sensor'"),
])
def test_refused_firmware_uploads_get_4xx_and_change_nothing(client, target, make, status, words):
    before = client.get("/api/cameras/0/firmware").json()["versions"]
    response = client.post(f"/api/cameras/0/firmware/{target}", content=make(product_of(0)))
    error = response.json()["error"]
    assert response.status_code == status
    assert words in error and "/tmp" not in error and "failed" not in error  # the status tells that
    assert client.get("/api/cameras/0/firmware").json()["versions"] == before
    assert picture(client.get("/api/cameras/0/frame.jpg")).shape == (480, 640, 3)


def _unplugged(camera):
    raise DisconnectedError("QxGetFirmwareVersion", NO_DEVICE, "QXE_NO_DEVICE")


@pytest.mark.parametrize("target, replacement, status, state, message", [
    ("tempfile.tempdir", "/nonexistent/folder", 507, "failed",
     "the image could not be stored for the camera: No such file or directory"),
    ("quorvex.viewer.live.LiveCamera._read_versions", _unplugged, 200, "done",
     "sensor firmware written; the camera did not tell its version (QXE_NO_DEVICE)"),
])
def test_an_upgrade_that_meets_trouble_outside_the_camera_says_what_and_ends(client, monkeypatch, target, replacement,
                                                                               status, state, message):
    before = client.get("/api/cameras/0/firmware").json()["versions"]
    monkeypatch.setattr(target, replacement)
    response = client.post("/api/cameras/0/firmware/sensor", content=firmware_image(TARGET_SENSOR, product_of(0), "1.0.10"))
    assert response.status_code == status, response.text
    after = client.get("/api/cameras/0/firmware").json()
    assert after["upgrade"]["state"] == state and after["upgrade"]["message"] == message
    assert after["versions"] == before  # not read again: what was known stays
    assert picture(client.get("/api/cameras/0/frame.jpg")).shape == (480, 640, 3)


def test_too_large_an_upload_is_refused_before_it_is_read(client, monkeypatch):
    from quorvex.viewer import server

    monkeypatch.setattr(server, "MAX_FIRMWARE_BYTES", 1000)
    image = firmware_image(TARGET_SENSOR, product_of(0), "1.0.10", payload=bytes(2000))
    response = client.post("/api/cameras/0/firmware/sensor", content=image)
    assert response.status_code == 413 and "at most 1000 bytes" in response.json()["error"]

    def chunks():  # no declared length: counted while read
        yield image[:700]
        yield image[700:]

    response = client.post("/api/cameras/0/firmware/sensor", content=chunks())
    assert response.status_code == 413


@pytest.mark.parametrize("path, content, status, error", [
    ("/api/cameras/0/format", b"[" + b"0," * 40_000 + b"0]", 413, "a request of this kind is at most 65536 bytes"),
    ("/api/cameras/0/controls/brightness", b"[" + b"0," * 40_000 + b"0]", 413, "a request of this kind is at most 65536 bytes"),
    ("/api/cameras/0/controls/brightness", b"]", 400, "the request body must be JSON"),
])
def test_unreadable_settings_are_refused_in_json(client, path, content, status, error):
    response = client.post(path, content=content)
    body = json.loads(response.text)
    assert response.status_code == status and list(body) == ["error"] and body["error"].startswith(error)
