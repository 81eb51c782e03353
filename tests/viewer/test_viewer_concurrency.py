"""The viewer under load: an upgrade beside other requests, clients that never finish a
request, and clients that stopped reading when it is told to stop."""

import json
import os
import signal
import socket
import threading
import time
import urllib.error
import urllib.request
from concurrent.futures import ThreadPoolExecutor

import pyQuorvexSDK as qx
from firmware_image import TARGET_SENSOR, TARGET_USB_CONTROLLER, firmware_image
from quorvex.viewer.server import ViewerServer, create_app
from viewer_support import free_port, running_server, wait_until


def request(url, data=None):
    """(status, body, decoded when JSON) of a GET, or of a POST of `data`."""
    try:
        answer = urllib.request.urlopen(urllib.request.Request(url, data=data), timeout=60)
    except urllib.error.HTTPError as error:
        answer = error
    with answer:
        body = answer.read()
        return answer.status, json.loads(body) if "json" in answer.headers["content-type"] else body


def image(target):
    return firmware_image(TARGET_SENSOR if target == "sensor" else TARGET_USB_CONTROLLER,
                          qx.QXCAM_PRODUCT_TYPE_ZENA, "1.0.11" if target == "sensor" else "3.12.9")


def upgrading(emu, served):
    """Sends a sensor upgrade that lasts long enough for the requests of a test to come and go
    meanwhile; returns its future once the camera is being programmed."""
    url, app = served
    assert emu.configure(emu.builtin_configuration() + "\nupgrade_time_ms: 6000\n")
    request(f"{url}/api/cameras")  # opens them all: opening one may wait for the upgrade, as the library has it
    request(f"{url}/api/cameras/0/frame.jpg")
    pool = ThreadPoolExecutor(1)
    upgrade = pool.submit(request, f"{url}/api/cameras/0/firmware/sensor", image("sensor"))
    pool.shutdown(wait=False)
    assert wait_until(lambda: app.state.viewer.camera(0).upgrade.percent > 0, timeout=30)
    return upgrade


def test_during_an_upgrade_the_camera_state_is_answered_and_a_second_upgrade_refused(emu, served):
    url, app = served
    upgrade = upgrading(emu, served)
    # More requests for the camera than the server has threads, one for another camera, a change
    # and a second upgrade of the camera.
    paths = [f"/api/cameras/0{tail}" for tail in ("", "/firmware", "/controls", "/frame.jpg") for _ in range(12)]
    sent = [(path, None) for path in [*paths, "/api/cameras", "/api/cameras/1/controls"]]
    sent += [("/api/cameras/0/controls/brightness", b'{"value": 3}'), ("/api/cameras/0/firmware/usb", image("usb"))]
    with ThreadPoolExecutor(len(sent)) as pool:
        answers = list(pool.map(lambda item: request(url + item[0], item[1]), sent))
    # All answered while the upgrade went on, from what the viewer knew before it.
    assert app.state.viewer.camera(0).upgrade.percent < 100 and not upgrade.done()
    assert [status for status, _ in answers] == [200] * (len(sent) - 2) + [409, 409]
    assert answers[0][1]["upgrade"]["state"] == "running" and answers[0][1]["firmware"]["sensor"] != "1.0.11"
    assert "being upgraded already" in answers[-1][1]["error"]
    status, body = upgrade.result(timeout=60)
    assert status == 200 and body["versions"] == request(f"{url}/api/cameras/0/firmware")[1]["versions"]


def test_of_two_upgrades_sent_together_one_is_refused_at_once(emu, served):
    url, app = served
    assert emu.configure(emu.builtin_configuration() + "\nupgrade_time_ms: 6000\n")
    request(f"{url}/api/cameras/0")
    start = threading.Barrier(2)

    def upgrade(target):
        start.wait()
        status, body = request(f"{url}/api/cameras/0/firmware/{target}", image(target))
        return status, app.state.viewer.camera(0).upgrade.percent

    with ThreadPoolExecutor(2) as pool:
        results = sorted(pool.map(upgrade, ["sensor", "usb"]))
    # The refusal came while the other one still programmed: not queued behind it.
    assert results[0][0] == 200 and results[1][0] == 409 and results[1][1] < 100


def test_connections_that_never_finish_a_request_are_closed(emu):
    starts = [b"", b"GET /api/cameras HTTP/1.1\r\nHost: 127.0.0.1\r\n",
              b"POST /api/cameras/0/controls/brightness HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 50\r\n\r\n{"]
    with running_server(create_app([0]), header_timeout=1, body_timeout=1) as url:
        stalled = [socket.create_connection(("127.0.0.1", int(url.rsplit(":", 1)[1])), timeout=60) for _ in range(30)]
        try:
            for client, start in zip(stalled, starts * 10):
                client.sendall(start)
            assert request(f"{url}/api/cameras")[0] == 200  # served meanwhile
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
    clients, failures, signalled = [], [], []

    def stall_then_terminate():
        try:
            assert wait_until(lambda: server.started, timeout=20)
            # The camera's largest JPEG, passed through as it comes, fills the connections quickly.
            request(f"http://127.0.0.1:{server.config.port}/api/cameras/0/format",
                    b'{"pixel_format": "MJPG", "width": 3840, "height": 2160, "fps": 60}')
            for _ in range(3):
                clients.append(socket.socket())
                clients[-1].setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                clients[-1].connect(("127.0.0.1", server.config.port))
                clients[-1].sendall(b"GET /api/cameras/0/stream.mjpg HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            # Stalled: each stream waits for room the client will never make.
            assert wait_until(lambda: sum(c.flow.write_paused for c in list(server.server_state.connections)) == 3,
                              timeout=60)
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
    assert not failures and stopped - signalled[0] < 15, failures
    output = capfd.readouterr().err
    assert "CancelledError" not in output and "Traceback" not in output and "ERROR" not in output, output
