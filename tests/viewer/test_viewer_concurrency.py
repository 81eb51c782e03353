"""The viewer under load: an upgrade beside other requests, and clients that never finish a request."""

import json
import os
import signal
import socket
import threading
import time
import urllib.error
import urllib.request
from concurrent.futures import ThreadPoolExecutor

import pytest

import pyQuorvexSDK as qx
from firmware_image import TARGET_SENSOR, TARGET_USB_CONTROLLER, firmware_image
from quorvex.viewer.server import ViewerServer, create_app
from viewer_support import free_port, running_server, wait_until

UPGRADE_MS = 6000  # long enough for the requests below to come and go while the upgrade runs


def post(url, image):
    request = urllib.request.Request(url, data=image, method="POST")
    try:
        with urllib.request.urlopen(request, timeout=60) as answer:
            return answer.status, json.load(answer)
    except urllib.error.HTTPError as error:
        return error.code, json.load(error)


def threading_submit(function, *arguments):
    """A call running in a thread of its own, as a future."""
    pool = ThreadPoolExecutor(1)
    try:
        return pool.submit(function, *arguments)
    finally:
        pool.shutdown(wait=False)


def get(url):
    with urllib.request.urlopen(url, timeout=60) as answer:
        return json.load(answer)


def image(target):
    return firmware_image(TARGET_SENSOR if target == "sensor" else TARGET_USB_CONTROLLER,
                          qx.QXCAM_PRODUCT_TYPE_ZENA, "1.0.11" if target == "sensor" else "3.12.9")


@pytest.fixture
def slow_upgrades(emu, served):
    assert emu.configure(emu.builtin_configuration() + f"\nupgrade_time_ms: {UPGRADE_MS}\n")
    return served


def test_an_upgrade_leaves_the_cameras_state_answered(slow_upgrades):
    url, app = slow_upgrades
    before = get(f"{url}/api/cameras/0/controls")["controls"]
    urllib.request.urlopen(f"{url}/api/cameras/0/frame.jpg", timeout=60).read()
    upgrade = threading_submit(post, f"{url}/api/cameras/0/firmware/sensor", image("sensor"))
    viewer = app.state.viewer
    assert wait_until(lambda: viewer.camera(0).upgrade.percent > 0, timeout=30)
    # More requests for the upgraded camera than the server has threads, and one for another camera.
    paths = [f"/api/cameras/0{tail}" for tail in ("", "/firmware", "/controls", "/frame.jpg") for _ in range(15)]
    with ThreadPoolExecutor(len(paths) + 2) as pool:
        answers = list(pool.map(lambda path: urllib.request.urlopen(f"{url}{path}", timeout=60),
                                [*paths, "/api/cameras", "/api/cameras/1/controls"]))
        percent = viewer.camera(0).upgrade.percent
    assert all(answer.status == 200 for answer in answers)
    # All answered while the upgrade went on, from what the viewer knew before it.
    assert percent < 100 and not upgrade.done()
    detail = json.loads(answers[0].read())
    assert detail["upgrade"]["state"] == "running" and detail["firmware"]["sensor"] != "1.0.11"
    assert json.loads(answers[30].read())["controls"] == before
    # Changes wait for the end of the upgrade.
    assert post(f"{url}/api/cameras/0/controls/brightness", b'{"value": 3}')[0] == 409
    status, body = upgrade.result(timeout=60)
    assert status == 200 and body["versions"]["sensor"] == "1.0.11"
    assert get(f"{url}/api/cameras/0")["firmware"]["sensor"] == "1.0.11"


@pytest.mark.parametrize("first, second, together", [("sensor", "sensor", True), ("sensor", "usb", False)],
                         ids=["sent-together", "sent-during-the-first"])
def test_a_second_upgrade_of_a_camera_is_refused(slow_upgrades, first, second, together):
    url, app = slow_upgrades
    get(f"{url}/api/cameras/0")
    start = threading.Barrier(2)

    def upgrade(target, later):
        start.wait()
        if later:  # once the first one programs the camera
            assert wait_until(lambda: app.state.viewer.camera(0).upgrade.percent > 0, timeout=30)
        status, body = post(f"{url}/api/cameras/0/firmware/{target}", image(target))
        return status, body, app.state.viewer.camera(0).upgrade.percent

    with ThreadPoolExecutor(2) as pool:
        results = list(pool.map(upgrade, [first, second], [False, not together]))
    assert sorted(status for status, _, _ in results) == [200, 409], results
    # Refused at once, while the other one still programs: not queued behind it.
    refusal, percent = next((body, percent) for status, body, percent in results if status == 409)
    assert "being upgraded already" in refusal["error"] and percent < 100


def test_connections_that_never_finish_a_request_are_closed(emu):
    with running_server(create_app([0]), header_timeout=1, body_timeout=1) as url:
        port = int(url.rsplit(":", 1)[1])
        starts = [b"", b"GET /api/cameras HTTP/1.1\r\nHost: 127.0.0.1\r\n",
                  b"POST /api/cameras/0/controls/brightness HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 50\r\n\r\n{"]
        stalled = []
        for start in starts * 10:
            client = socket.create_connection(("127.0.0.1", port), timeout=60)
            client.sendall(start)
            stalled.append(client)
        try:
            # The server goes on serving meanwhile.
            assert get(f"{url}/api/cameras")["shown"] == [0]
            for client in stalled:
                try:
                    assert client.recv(1000) == b""
                except ConnectionResetError:
                    pass
        finally:
            for client in stalled:
                client.close()


def test_sigterm_with_clients_that_stopped_reading_stops_at_once_and_quietly(emu, capfd):
    server = ViewerServer(create_app([0]), host="127.0.0.1", port=free_port())
    url = f"http://127.0.0.1:{server.config.port}"
    clients, failures, signalled = [], [], []

    def stall_then_terminate():
        try:
            assert wait_until(lambda: server.started, timeout=20)
            # The camera's largest JPEG, passed through as it comes, fills the connections quickly.
            post(f"{url}/api/cameras/0/format", b'{"pixel_format": "MJPG", "width": 3840, "height": 2160, "fps": 60}')
            for _ in range(3):
                client = socket.socket()
                client.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                client.connect(("127.0.0.1", server.config.port))
                client.sendall(b"GET /api/cameras/0/stream.mjpg HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
                clients.append(client)
            # Stalled: each stream waits for room the client will never make.
            assert wait_until(lambda: sum(connection.flow.write_paused for connection in
                                          list(server.server_state.connections)) == 3, timeout=60)
        except BaseException as error:
            failures.append(error)
            server.should_exit = True
            return
        signalled.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGTERM)

    # uvicorn takes SIGTERM in the main thread while it serves, and raises it again once stopped.
    previous = signal.signal(signal.SIGTERM, lambda number, frame: None)
    try:
        threading.Thread(target=stall_then_terminate, daemon=True).start()
        server.run()
        stopped = time.monotonic()
    finally:
        signal.signal(signal.SIGTERM, previous)
        for client in clients:
            client.close()
    assert not failures, failures
    assert stopped - signalled[0] < 15
    output = capfd.readouterr().err
    assert "CancelledError" not in output and "Traceback" not in output and "ERROR" not in output, output
