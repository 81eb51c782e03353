"""quorvex bridge on the emulated cameras, watched by a client speaking Foxglove's WebSocket protocol."""

import io
import json
import os
import pathlib
import random
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

import pytest

foxglove = pytest.importorskip("foxglove")
from foxglove_schemas_protobuf.CameraCalibration_pb2 import CameraCalibration  # noqa: E402
from foxglove_schemas_protobuf.CompressedImage_pb2 import CompressedImage  # noqa: E402
from PIL import Image  # noqa: E402
from websockets.exceptions import ConnectionClosed  # noqa: E402
from websockets.sync.client import connect  # noqa: E402

from quorvex.bridge import Bridge  # noqa: E402
from quorvex.bridge_guard import HEAD_LIMIT, host_allowed  # noqa: E402
from viewer_support import wait_until  # noqa: E402

# The SDK names its protocol foxglove.sdk.v1; older servers, foxglove.websocket.v1.
SUBPROTOCOLS = ["foxglove.sdk.v1", "foxglove.websocket.v1"]
WAIT = 30  # seconds: only a broken bridge takes this long


class Client:
    """A WebSocket client of the bridge: the server's information, its channels by topic."""

    def __init__(self, url, origin=None):
        self._connection = connect(url, subprotocols=SUBPROTOCOLS, max_size=None, open_timeout=WAIT, origin=origin)
        self.socket = self._connection.__enter__()
        self.info = json.loads(self.socket.recv(WAIT))
        advertise = json.loads(self.socket.recv(WAIT))
        assert advertise["op"] == "advertise"
        self.channels = {channel["topic"]: channel for channel in advertise["channels"]}
        self.subscribed = {}

    def subscribe(self, *topics):
        self.subscribed = {number: topic for number, topic in enumerate(topics, start=10)}
        subscriptions = [{"id": number, "channelId": self.channels[topic]["id"]}
                         for number, topic in self.subscribed.items()]
        self.socket.send(json.dumps({"op": "subscribe", "subscriptions": subscriptions}))

    def first_messages(self):
        """The first message of every subscribed topic: topic -> (log time, payload)."""
        first = {}
        deadline = time.monotonic() + WAIT
        while len(first) < len(self.subscribed):
            message = self.socket.recv(max(0.0, deadline - time.monotonic()))
            if isinstance(message, bytes):
                opcode, number, log_time = struct.unpack_from("<BIQ", message)
                assert opcode == 1
                first.setdefault(self.subscribed[number], (log_time, message[13:]))
        return first

    def close(self):
        self._connection.__exit__(None, None, None)


def wait_for(condition):
    assert wait_until(condition, WAIT, 0.02)


def test_images_calibration_and_imu_reach_a_client(emu):
    before = time.time_ns()
    with Bridge([0, 2], port=0) as bridge:
        client = Client(bridge.url)
        assert set(client.channels) == {"/camera0/image/compressed", "/camera0/calibration", "/camera0/imu",
                                        "/camera2/image/compressed"}  # camera 2, a webcam, has neither
        image = client.channels["/camera0/image/compressed"]
        assert (image["schemaName"], image["encoding"]) == ("foxglove.CompressedImage", "protobuf")
        client.subscribe(*client.channels)
        first = client.first_messages()
        client.close()
    # Camera 0 streams YUY2 640x480 (encoded here), camera 2 MJPG 1920x1080 (sent as delivered).
    for topic, size in (("/camera0/image/compressed", (640, 480)), ("/camera2/image/compressed", (1920, 1080))):
        log_time, payload = first[topic]
        message = CompressedImage.FromString(payload)
        assert message.format == "jpeg" and message.frame_id == topic.split("/")[1]
        assert Image.open(io.BytesIO(message.data)).size == size
        # Taken on the wall clock when the frame arrived, and logged at that time.
        assert message.timestamp.ToNanoseconds() == log_time and before <= log_time <= time.time_ns()
    calibration = CameraCalibration.FromString(first["/camera0/calibration"][1])
    assert calibration.frame_id == "camera0" and calibration.distortion_model == "plumb_bob"
    fx, _, cx, _, fy, cy, *_ = calibration.K
    assert 0 < cx < calibration.width and 0 < cy < calibration.height and fx > 0 and fy > 0
    imu = json.loads(first["/camera0/imu"][1])
    assert 9 < imu["acceleration"]["z"] < 10.6 and set(imu["angular_velocity"]) == {"x", "y", "z"}


def test_frames_are_encoded_only_for_a_subscriber_and_clients_may_leave(emu):
    with Bridge([0], port=0) as bridge:
        feed = bridge.feeds[0]
        wait_for(lambda: feed.frames_read >= 5)
        assert feed.frames_sent == 0  # nobody watched: nothing encoded
        for _ in range(2):  # the second client finds the bridge as the first left it
            client = Client(bridge.url)
            client.subscribe("/camera0/image/compressed")
            assert client.first_messages()
            client.close()
            wait_for(lambda: not feed.image.has_sinks())
            # The frame being sent as the client left is the last one.
            read = feed.frames_read
            wait_for(lambda: feed.frames_read > read)
            sent, read = feed.frames_sent, feed.frames_read
            wait_for(lambda: feed.frames_read >= read + 5)
            assert feed.frames_sent == sent and bridge.is_running


@pytest.mark.parametrize("replugged", [True, False])
def test_an_unplugged_camera_comes_back_and_does_not_hold_up_closing(emu, replugged):
    bridge = Bridge([0], port=0).start()
    try:
        feed = bridge.feeds[0]
        client = Client(bridge.url)
        client.subscribe("/camera0/image/compressed")
        assert client.first_messages()
        emu.unplug("/dev/video0")
        wait_for(lambda: not feed.camera.is_connected)
        if replugged:
            emu.plug("/dev/video0")
            back = time.time_ns()
            wait_for(lambda: feed.stream.reconnects == 1)
            # A frame taken after the camera came back reaches the client that stayed.
            while client.first_messages()["/camera0/image/compressed"][0] < back:
                pass  # frames read before the camera went away, still on their way
        client.close()
    finally:
        closing = threading.Thread(target=bridge.close)
        closing.start()
        closing.join(WAIT)
    assert not closing.is_alive() and not feed.camera.is_open


def handshake(port, host, *lines):
    """All the bridge answers a WebSocket handshake from `host` with the header `lines`, until it closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=WAIT) as connection:
        connection.sendall("\r\n".join([
            "GET / HTTP/1.1", f"Host: {host}", "Upgrade: websocket", "Connection: Upgrade",
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==", "Sec-WebSocket-Version: 13",
            f"Sec-WebSocket-Protocol: {SUBPROTOCOLS[0]}", *lines, "", ""]).encode())
        answer = b""
        try:
            while chunk := connection.recv(65536):
                answer += chunk
        except ConnectionResetError:
            pass  # closed with the rest of a too long head unread
        return answer


@pytest.mark.parametrize("host, lines, refused", [
    ("127.0.0.1:{port}", ["Origin: https://evil.example"], b"Origin"),
    ("127.0.0.1:{port}", ["Origin: null"], b"Origin"),  # a sandboxed page or a file
    ("evil.example:{port}", [], b"Host"),  # a page rebound to this machine
    ("127.0.0.1:{port}", ["X-Padding: " + "x" * HEAD_LIMIT], None),  # closed, unanswered
])
def test_the_guard_refuses_web_pages_and_rebound_names(emu, host, lines, refused):
    with Bridge([0], port=0) as bridge:
        answer = handshake(bridge.port, host.format(port=bridge.port), *lines)
        assert bridge.is_running
    if refused is None:
        assert answer == b""
    else:
        head, _, body = answer.partition(b"\r\n\r\n")
        assert head.startswith(b"HTTP/1.1 403 Forbidden\r\n") and refused in body and b"serverInfo" not in body


@pytest.mark.parametrize("origin", [None, "https://app.foxglove.dev", "http://localhost:5173",
                                    "https://Studio.Example:8443"])
def test_the_guard_admits_tools_and_allowed_origins(emu, origin):
    with Bridge([0], port=0, allowed_origins=["https://studio.example:8443/"]) as bridge:
        client = Client(bridge.url.replace("127.0.0.1", "localhost"), origin=origin)
        assert client.info["op"] == "serverInfo"
        client.close()


def test_closing_ends_the_connections_through_the_guard(emu):
    bridge = Bridge([0], port=0).start()
    client = Client(bridge.url)
    client.subscribe("/camera0/image/compressed")
    bridge.close()
    with pytest.raises(ConnectionClosed):
        while True:
            client.socket.recv(WAIT)  # what was on its way, then the end (TimeoutError if it never comes)


@pytest.mark.parametrize("host, bound, allowed", [
    ("localhost:8765", "127.0.0.1", True),
    ("127.8.9.10", "127.0.0.1", True),
    ("[::1]:8765", "::1", True),
    ("evil.example:8765", "0.0.0.0", False),
    ("127.0.0.1.evil.example", "127.0.0.1", False),
    ("192.168.1.5:8765", "192.168.1.5", True),
    ("192.168.1.6:8765", "192.168.1.5", False),
    ("192.168.1.6:8765", "0.0.0.0", True),  # bound to every address: reached by number
    ("[fe80::1]:8765", "::", True),
    ("", "127.0.0.1", False),
])
def test_host_names_loopback_or_the_address_bound(host, bound, allowed):
    assert host_allowed(host, bound) == allowed


def unused_port():
    """A port free now, below the range of those the system hands out to connections, so that no
    connection made meanwhile on this machine takes it."""
    low = int(pathlib.Path("/proc/sys/net/ipv4/ip_local_port_range").read_text().split()[0])
    for port in random.sample(range(max(1024, low - 10000), low), 200):
        with socket.socket() as probe:
            try:
                probe.bind(("127.0.0.1", port))
            except OSError:
                continue
            return port
    pytest.skip("no free port found")


def test_a_camera_that_fails_to_open_frees_the_port(emu):
    port = unused_port()
    with pytest.raises(LookupError, match="no camera 7"):
        Bridge([0, 7], port=port).start()
    with Bridge([0], port=port) as bridge:
        assert bridge.port == port


def quorvex(*args, **kwargs):
    environment = {key: value for key, value in os.environ.items() if key != "QX_EMULATOR_CONFIG"}
    return subprocess.Popen([sys.executable, "-m", "quorvex", "bridge", *args], env=environment,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kwargs)


@pytest.mark.parametrize("host, warned", [(None, False), ("0.0.0.0", True)])
def test_command_serves_on_loopback_by_default_and_stops_on_ctrl_c(emu, host, warned):
    process = quorvex("--camera", "0", "--port", "0", "--allow-origin", "https://studio.example",
                      *(["--host", host] if host else []))
    try:
        url = process.stdout.readline().strip()
        assert url.startswith("ws://127.0.0.1:")
        Client(url, origin="https://studio.example").close()
        process.send_signal(signal.SIGINT)
        _, errors = process.communicate(timeout=WAIT)
    finally:
        process.kill()
    assert process.returncode == 130, errors
    assert ("warning: 0.0.0.0 is reached from other machines" in errors) == warned
    serving = [line for line in errors.splitlines() if "serving on" in line]
    assert serving == [f"quorvex bridge: serving on {host or '127.0.0.1'} port {url.rsplit(':', 1)[1]} "
                       "(Ctrl+C stops it); connect to:"]


@pytest.mark.parametrize("args, message", [
    (["--port", "{taken}"], "cannot listen on 127.0.0.1:{taken}: Address already in use"),
    (["--allow-origin", "*"], "an allowed origin is scheme://host[:port]"),
    (["--camera", "7"], "no camera 7 (3 found)"),
    (["--format", "MJPG:99x99"], "no format matches MJPG 99x99"),
    (["--quality", "0"], "quality must be a whole number from 1 to 100, not 0"),
])
def test_command_failures_are_one_line(emu, args, message):
    with socket.create_server(("127.0.0.1", 0)) as taken:
        port = str(taken.getsockname()[1])
        args = [arg.replace("{taken}", port) for arg in args] + ([] if "--port" in args else ["--port", "0"])
        process = quorvex(*args)
        output, errors = process.communicate(timeout=WAIT)
    assert process.returncode == 1 and output == ""
    assert len(errors.splitlines()) == 1 and errors.startswith(f"quorvex bridge: {message.replace('{taken}', port)}")
