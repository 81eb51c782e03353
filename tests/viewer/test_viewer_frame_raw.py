"""The raw frame snapshot (frame.raw) and the frame's metadata in the events messages."""

import numpy as np
import pytest
from starlette.testclient import TestClient

from quorvex import to_rgb
from quorvex.viewer.live import Upgrade
from quorvex.viewer.server import create_app
from playback_support import HEIGHT, WIDTH, pixels, write

BARS = [(255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 255), (255, 255, 0), (0, 255, 255), (255, 0, 255), (0, 0, 0)]


@pytest.mark.parametrize("pixel_format, width, height, fps, size, tolerance", [
    ("YUY2", 640, 480, 60, 640 * 480 * 2, 3), ("NV12", 1920, 1080, 30, 1920 * 1080 * 3 // 2, 3),
    ("BGRA", 640, 480, 30, 640 * 480 * 4, 0), ("MJPG", 640, 480, 30, None, 12),
])
def test_the_raw_frame_is_the_frame_in_its_own_format(client, pixel_format, width, height, fps, size, tolerance):
    chosen = {"pixel_format": pixel_format, "width": width, "height": height, "fps": fps}
    assert client.post("/api/cameras/0/format", json=chosen).status_code == 200
    answer = client.get("/api/cameras/0/frame.raw")
    assert answer.status_code == 200, answer.text
    headers = answer.headers
    assert headers["content-type"] == "application/octet-stream" and headers["cache-control"] == "no-store"
    assert (headers["x-pixel-format"], int(headers["x-width"]), int(headers["x-height"])) == (pixel_format, width, height)
    assert size is None or len(answer.content) == size
    assert int(headers["x-frame-index"]) >= 1 and int(headers["x-sequence"]) >= 0
    assert float(headers["x-device-timestamp"]) >= 0 and float(headers["x-host-time"]) > 1.7e9
    rgb = to_rgb(np.frombuffer(answer.content, np.uint8), pixel_format, width, height).astype(int)
    bars = [rgb[height // 8, (2 * i + 1) * width // 16] for i in range(8)]
    assert np.abs(np.array(bars) - BARS).max() <= tolerance  # YUV and JPEG round to a few levels


def test_the_events_carry_the_latest_frames_description(client):
    with client.websocket_connect("/api/cameras/0/events") as socket:
        assert socket.receive_json()["frame"] is None  # nobody watched yet
        raw = client.get("/api/cameras/0/frame.raw")
        frames = (socket.receive_json()["frame"] for _ in range(100))  # some may have been sent before it
        frame = next(frame for frame in frames if frame is not None)
    assert frame["index"] >= int(raw.headers["x-frame-index"])
    assert (frame["pixel_format"], frame["width"], frame["height"], frame["bytes"]) == ("YUY2", 640, 480, 640 * 480 * 2)
    assert frame["sequence"] is not None and frame["device_timestamp"] is not None and frame["host_time"] > 1.7e9


def test_no_raw_frame_where_there_is_none(client, emu, tmp_path):
    assert client.get("/api/cameras/9/frame.raw").status_code == 404
    assert client.get("/api/playbacks/0/frame.raw").status_code == 404
    # While upgraded, a camera that has no picture yet cannot take one.
    client.app.state.viewer.camera(0).upgrade = Upgrade("sensor", "running")
    answer = client.get("/api/cameras/0/frame.raw")
    assert answer.status_code == 409 and "being upgraded" in answer.json()["error"]


def test_a_playbacks_raw_frame_is_the_frame_shown(emu, tmp_path):
    folder = tmp_path / "recordings"
    folder.mkdir()
    write(folder / "three.qxrec", [0, 0.1, 0.2])
    with TestClient(create_app(recordings=folder)) as client:
        assert client.post("/api/recordings/three.qxrec/play").status_code == 201
        client.post("/api/playbacks/0/pause")
        answer = client.get("/api/playbacks/0/frame.raw")
        assert answer.status_code == 409 and "no frame yet" in answer.json()["error"]
        client.post("/api/playbacks/0/seek", json={"frame": 2})
        answer = client.get("/api/playbacks/0/frame.raw")
    assert answer.status_code == 200 and answer.content == pixels(2).tobytes()
    assert (answer.headers["x-pixel-format"], answer.headers["x-width"], answer.headers["x-height"]) == (
        "RGB", str(WIDTH), str(HEIGHT))
    assert "x-sequence" not in answer.headers  # a recording without what the camera told
    assert answer.headers["x-position"] == "2"
