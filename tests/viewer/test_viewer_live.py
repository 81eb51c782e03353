"""The viewer's live side: state WebSockets, clients coming and going on a real server, failing
cameras."""

import contextlib
import http.client
import json
import threading
import time
import urllib.request

import pytest
from starlette.websockets import WebSocketDisconnect
from websockets.sync.client import connect

import pyQuorvexSDK as qx

from firmware_image import TARGET_SENSOR, TARGET_USB_CONTROLLER, firmware_image
from quorvex.viewer import capture as capture_module
from quorvex.viewer.server import create_app
from viewer_support import capture_threads, late_imu_sample, running_server, wait_until


def captures(app):
    return {camera.index: camera.capture for camera in app.state.viewer.opened()}


def test_events_carry_statistics_and_follow_the_stream(client):
    with client.websocket_connect("/api/cameras/0/events") as socket:
        state = socket.receive_json()
        assert state["stats"]["format"]["label"] == "YUY2:640x480@60"
        assert state["upgrade"]["state"] == "idle" and "imu" not in state
        client.get("/api/cameras/0/stream.mjpg?frames=20")
        for _ in range(5):
            state = socket.receive_json()
        assert state["stats"]["frames"] >= 20


def test_events_carry_imu_samples_where_there_is_an_imu(client):
    with client.websocket_connect("/api/cameras/0/events?imu=1") as socket:
        samples = [socket.receive_json()["imu"] for _ in range(3)]
    assert samples[0]["t"] <= samples[-1]["t"]
    assert abs(samples[-1]["acc"][2] - 9.80665) < 0.05
    with client.websocket_connect("/api/cameras/1/events?imu=1") as socket:
        assert "imu" not in socket.receive_json()


@pytest.mark.parametrize("path, code, reason", [
    ("/api/cameras/3/events", 4404, "no camera 3"),
    ("/api/cameras/40/events", 4404, "no camera 40"),
    ("/api/cameras/0/events?client=a%20b", 4422, "'client'"),
    (f"/api/cameras/0/events?client={'a' * 65}", 4422, "'client'"),
])
def test_events_that_cannot_be_sent_close_with_the_reason(client, path, code, reason):
    with pytest.raises(WebSocketDisconnect) as closed:
        with client.websocket_connect(path) as socket:
            socket.receive_json()
    assert closed.value.code == code and reason in closed.value.reason


def open_stream(url, query=""):
    """A raw connection reading a stream, as a browser's <img> does; returns it once a frame came."""
    host, port = url.removeprefix("http://").split(":")
    connection = http.client.HTTPConnection(host, int(port), timeout=10)
    connection.request("GET", f"/api/cameras/0/stream.mjpg{query}")
    response = connection.getresponse()
    assert response.status == 200
    assert b"image/jpeg" in response.read(200)
    return connection, response


def test_a_client_that_leaves_mid_stream_leaves_nothing_behind(served, emu):
    url, app = served
    connection, response = open_stream(url)
    capture = captures(app)[0]
    assert capture.clients == 1 and len(capture_threads()) == 1
    response.read(50_000)
    connection.sock.shutdown(2)
    connection.close()
    assert wait_until(lambda: capture.clients == 0 and not capture.running, timeout=10)
    assert capture_threads() == []
    assert len(emu.journal("QxOpen")) == 1  # the viewer's own opening of camera 0, nothing else
    assert len(emu.journal("QxStartStreaming")) == len(emu.journal("QxStopStreaming"))
    # A later client gets pictures again.
    connection, response = open_stream(url)
    connection.close()


def test_ten_clients_share_one_capture_loop(served, emu):
    url, app = served
    received = [0] * 10
    done = threading.Event()

    def watch(slot):
        connection, response = open_stream(url)
        try:
            while not done.is_set():
                received[slot] += response.read(4096).count(b"--quorvexframe")
        finally:
            connection.close()

    watchers = [threading.Thread(target=watch, args=(slot,)) for slot in range(10)]
    emu.clear_journal()
    for watcher in watchers:
        watcher.start()
    capture = wait_until(lambda: captures(app).get(0)) and captures(app)[0]
    assert wait_until(lambda: capture.clients == 10 and min(received) >= 5, timeout=20), received
    assert len(capture_threads()) == 1
    assert len(emu.journal("QxStartStreaming")) == 1
    done.set()
    for watcher in watchers:
        watcher.join(10)
    assert wait_until(lambda: not capture.running and capture_threads() == [], timeout=10)


def read_json(url):
    with urllib.request.urlopen(url, timeout=10) as response:
        return json.load(response)


def test_a_failing_camera_shows_its_error_and_the_viewer_keeps_serving(served, emu):
    url, app = served
    connection, response = open_stream(url)
    capture = captures(app)[0]
    # Three failures in a row: the loop waits a second after each before it tries again.
    emu.script("QxGetImage", result=int(qx.QX_OTHER_ERROR), times=3)
    errors = []
    assert wait_until(lambda: errors.append(read_json(f"{url}/api/cameras/0")["stats"]["error"]) or errors[-1])
    assert "QxGetImage" in errors[-1] and "OTHER_ERROR" in errors[-1]
    # Everything else goes on: the list, the other cameras, their pictures.
    assert len(read_json(f"{url}/api/cameras")["cameras"]) == 3
    with urllib.request.urlopen(f"{url}/api/cameras/1/frame.jpg", timeout=10) as picture:
        assert picture.read(2) == b"\xff\xd8"
    # Once the camera recovers, frames flow again and the error clears.
    assert wait_until(lambda: capture.error is None and capture.latest is not None, timeout=15)
    connection.close()


@pytest.mark.parametrize("function", ["QxStartStreaming", "QxSetFormat"])
def test_a_camera_that_will_not_stream_reports_why(client, emu, function):
    client.get("/api/cameras/0")
    emu.script(function, result=emu.QXE_BUSY, times=0)
    response = client.get("/api/cameras/0/frame.jpg")
    assert response.status_code == 503
    assert function in response.json()["error"] and "-5" in response.json()["error"]
    assert client.get("/api/cameras").status_code == 200
    emu.clear_scripts()
    assert client.get("/api/cameras/0/frame.jpg").status_code == 200


@pytest.mark.parametrize("target, version", [("sensor", "1.0.11"), ("usb", "3.12.9")])
def test_an_upgrade_while_clients_watch_pauses_the_stream_and_resumes_it(served, target, version):
    url, app = served
    connection, response = open_stream(url)
    product = read_json(f"{url}/api/cameras")["cameras"][0]["product"]
    image = firmware_image(TARGET_SENSOR if target == "sensor" else TARGET_USB_CONTROLLER,
                           getattr(qx, f"QXCAM_PRODUCT_TYPE_{product}"), version)
    upload = urllib.request.Request(f"{url}/api/cameras/0/firmware/{target}", data=image, method="POST")
    with urllib.request.urlopen(upload, timeout=30) as answer:
        assert json.load(answer)["versions"][target] == version
    # The same client goes on receiving pictures after the upgrade.
    capture = captures(app)[0]
    count = capture.frames
    response.read(300_000)
    assert wait_until(lambda: capture.frames > count + 3 and capture.error is None, timeout=10)
    connection.close()


def test_an_unplugged_camera_shows_as_disconnected_and_streams_again_when_back(served, emu):
    url, _ = served
    connection, _ = open_stream(url)
    try:
        def stats():
            return read_json(f"{url}/api/cameras/0")["stats"]

        assert stats()["disconnected"] is False
        emu.unplug("/dev/video0")
        assert wait_until(lambda: stats()["disconnected"], timeout=20)
        frames = stats()["frames"]
        emu.plug("/dev/video0")
        assert wait_until(lambda: (now := stats())["disconnected"] is False and now["frames"] > frames, timeout=20)
        assert stats()["error"] is None
    finally:
        connection.close()


class Events:
    """Camera 0's state WebSocket on a real server, as `with Events(url, query) as events`;
    each message is waited for at most 20 s."""

    def __init__(self, url, query=""):
        self.address = f"ws{url.removeprefix('http')}/api/cameras/0/events?{query}"
        self.closing = contextlib.ExitStack()

    def __enter__(self):
        self.socket = self.closing.enter_context(connect(self.address, open_timeout=20))
        return self

    def __exit__(self, *failure):
        self.closing.close()

    def recv(self):
        return json.loads(self.socket.recv(timeout=20))

    def until(self, predicate, timeout=20):
        """Reads messages until one satisfies `predicate`; the messages read, that one last."""
        read = []
        assert wait_until(lambda: read.append(self.recv()) or predicate(read[-1]), timeout), read[-5:]
        return read


def post(url, body):
    urllib.request.urlopen(urllib.request.Request(url, data=body), timeout=60).close()


def test_events_with_imu_go_on_through_an_upgrade_begun_while_a_sample_was_on_its_way(served, emu, monkeypatch):
    url, app = served
    assert emu.configure(emu.builtin_configuration() + "\nupgrade_time_ms: 3000\n")
    image = firmware_image(TARGET_SENSOR, qx.QXCAM_PRODUCT_TYPE_ZENA, "1.0.11")
    with Events(url, "imu=1") as events:
        events.until(lambda state: "imu" in state)
        assert late_imu_sample(monkeypatch).wait(20)
        upgrade = threading.Thread(target=post, args=(f"{url}/api/cameras/0/firmware/sensor", image))
        upgrade.start()
        states = events.until(lambda state: state["upgrade"]["state"] == "done", timeout=60)
        upgrade.join(60)
        events.until(lambda state: "imu" in state)  # sampled again afterwards
    during = [state["upgrade"]["percent"] for state in states if state["upgrade"]["state"] == "running"]
    assert len({percent for percent in during if 0 < percent < 100}) >= 3, during


def test_events_tell_what_a_named_stream_delivers_and_forget_it_when_it_ends(served):
    url, app = served
    post(f"{url}/api/cameras/0/format", b'{"pixel_format": "MJPG", "width": 3840, "height": 2160, "fps": 30}')
    with Events(url, "client=slow") as events:
        assert events.recv()["client"] is None  # no such stream yet
        slow, response = open_stream(url, "?client=slow&t=1")
        reading = threading.Event()
        reading.set()

        def read_slowly():  # about 800 kB/s, a few of the camera's 200 kB pictures a second
            while reading.is_set():
                response.read(16384)
                time.sleep(0.02)

        reader = threading.Thread(target=read_slowly, daemon=True)
        reader.start()
        try:
            state = events.until(lambda state: state["client"] and state["client"]["skipped_recent"] > 0
                                 and 0 < state["client"]["fps"] < state["stats"]["fps"] / 2, timeout=60)[-1]
            assert state["client"]["frames"] > 0 and state["client"]["skipped"] > 0
        finally:
            reading.clear()
            reader.join(10)
            slow.close()
        events.until(lambda state: state["client"] is None)
    assert captures(app)[0].subscription("slow") is None


@pytest.mark.parametrize(("arrivals", "fps"), [
    ([-3.0] + [-1.0 + 0.01 * i for i in range(4)], 2.0),  # a burst of 4 behind a full socket
    ([-3.0 + i / 30 for i in range(90)], 30.0),  # steady
    ([-0.5 + i / 30 for i in range(15)], 30.0),  # less than a window since the first frame
    ([-3.0 + i / 30 for i in range(45)], 7.5),  # stalled 1.5 s ago
])
def test_rates_count_the_frames_of_the_window_over_the_time_measured(arrivals, fps):
    window, now = capture_module.Window(), time.monotonic()
    for at in arrivals:
        window.add(now + at, 1000)
    assert window.rates()[0] == pytest.approx(fps, rel=0.1)


def test_recent_drops_rise_with_a_stall_fall_back_and_restart_with_a_format(served, monkeypatch):
    url, app = served
    format_url = f"{url}/api/cameras/0/format"
    post(format_url, b'{"pixel_format": "MJPG", "width": 640, "height": 480, "fps": 30}')
    connection, response = open_stream(url)
    stalls = []
    original = capture_module.to_jpeg

    def to_jpeg(*arguments):  # the capture loop stalls once per stall asked for: the camera drops frames
        if stalls:
            time.sleep(stalls.pop())
        return original(*arguments)

    monkeypatch.setattr(capture_module, "to_jpeg", to_jpeg)
    try:
        def stats():
            return read_json(f"{url}/api/cameras/0")["stats"]

        assert wait_until(lambda: (now := stats())["fps"] > 0 and now["dropped_recent"] == 0, timeout=20)
        stalls.append(0.5)
        assert wait_until(lambda: stats()["dropped_recent"] >= 5, timeout=20)
        assert stats()["dropped"] >= 5  # the total since the camera was opened keeps them
        assert wait_until(lambda: stats()["dropped_recent"] == 0, timeout=20)
        stalls.append(0.5)
        assert wait_until(lambda: stats()["dropped_recent"] >= 5, timeout=20)
        post(format_url, b'{"pixel_format": "MJPG", "width": 1280, "height": 720, "fps": 30}')
        assert stats()["dropped_recent"] == 0
    finally:
        connection.close()


def test_an_events_socket_outlives_the_deadlines_of_reading_a_request(emu):
    with running_server(create_app([0]), header_timeout=0.5, body_timeout=0.5) as url, Events(url) as events:
        for _ in range(15):  # three seconds' worth
            assert "stats" in events.recv()
