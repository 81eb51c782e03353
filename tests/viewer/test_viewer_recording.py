"""The viewer's record button and playback: recording a camera's live stream into the server's
folder, listing and downloading recordings, and playing one back as a panel of its own."""

import threading
import urllib.request

import numpy as np
import pytest
from starlette.testclient import TestClient

import quorvex
from quorvex.recording_file import open_recording
from quorvex.viewer.server import create_app
from playback_support import pixels, write
from recording_support import DAMAGED, NO_FRAMES, cameras_bytes, recording_bytes
from viewer_support import capture_threads, running_server, wait_until


@pytest.fixture
def folder(tmp_path):
    return tmp_path / "recordings"


@pytest.fixture
def recorder_client(emu, folder):
    with TestClient(create_app(recordings=folder)) as test_client:
        yield test_client


def recording_state(client, camera=0):
    return client.get(f"/api/cameras/{camera}").json()["recording"]


def record(client, frames=5, camera=0):
    """Records until `frames` frames are in the file; returns the stop's summary."""
    started = client.post(f"/api/cameras/{camera}/recording")
    assert started.status_code == 201, started.text
    assert wait_until(lambda: recording_state(client, camera)["frames"] >= frames, timeout=10)
    stopped = client.post(f"/api/cameras/{camera}/recording/stop")
    assert stopped.status_code == 200, stopped.text
    return stopped.json()


def mjpeg_parts(content):
    return [part for part in content.split(b"--quorvexframe")[1:] if b"image/jpeg" in part]


def test_a_recording_made_in_the_viewer_reads_back(recorder_client, folder):
    summary = record(recorder_client, frames=5)
    assert summary["frames"] >= 5 and summary["error"] is None
    assert recording_state(recorder_client) is None
    recording = quorvex.open_recording(folder / summary["name"])
    assert recording.complete
    assert len(recording) == summary["frames"]
    assert recording.info["writer"] == "quorvex viewer"
    frames = list(recording.frames())
    assert all(frame.data.nbytes > 0 for frame in frames)
    indices = [frame.index for frame in frames]
    assert indices == sorted(indices)
    # Listed, and downloadable byte for byte.
    listing = recorder_client.get("/api/recordings").json()
    assert [entry["name"] for entry in listing["recordings"]] == [summary["name"]]
    download = recorder_client.get(listing["recordings"][0]["url"])
    assert download.status_code == 200
    assert download.content == (folder / summary["name"]).read_bytes()


def test_names_never_repeat_and_the_capture_ends_after_a_recording(recorder_client, folder):
    names = {record(recorder_client, frames=1)["name"] for _ in range(3)}
    assert len(names) == 3 and all(name.startswith("camera0-") for name in names)
    # Nobody watches: the recording alone kept the camera streaming, and stopping it lets go.
    assert wait_until(lambda: not capture_threads(), timeout=5)


@pytest.mark.parametrize("method, path, status", [
    ("POST", "/api/cameras/0/recording/stop", 409),  # not recording
    ("POST", "/api/cameras/99/recording", 404),
    ("POST", "/api/cameras/99/recording/stop", 404),
    ("GET", "/api/recordings/missing.qxrec", 404),
    ("GET", "/api/recordings/..%2f..%2fetc%2fpasswd", 404),
    ("GET", "/api/recordings/%2e%2e", 404),
    ("GET", "/api/recordings/notes.txt", 404),  # in the folder, but not a recording
    ("GET", "/api/recordings/sub", 404),  # a folder that is named like one
    ("GET", "/api/recordings/link.qxrec", 404),  # a link out of the folder
    ("POST", "/api/recordings/notes.txt/play", 404),
    ("GET", "/api/playbacks/0", 404),
    ("GET", "/api/playbacks/0/stream.mjpg", 404),
])
def test_bad_requests_are_refused(recorder_client, folder, method, path, status):
    folder.mkdir()
    (folder / "notes.txt").write_text("secret")
    (folder / "sub.qxrec").mkdir()
    (folder.parent / "outside.qxrec").write_text("secret")
    (folder / "link.qxrec").symlink_to(folder.parent / "outside.qxrec")
    response = recorder_client.request(method, path.replace("/sub", "/sub.qxrec"))
    assert response.status_code == status, response.text
    assert b"secret" not in response.content


def test_a_second_start_and_a_download_while_recording_are_refused(recorder_client, folder):
    started = recorder_client.post("/api/cameras/0/recording").json()
    try:
        assert recorder_client.post("/api/cameras/0/recording").status_code == 409
        assert recorder_client.get(f"/api/recordings/{started['name']}").status_code == 409
        listing = recorder_client.get("/api/recordings").json()["recordings"]
        assert listing[0]["recording"] is True
    finally:
        recorder_client.post("/api/cameras/0/recording/stop")
    assert recorder_client.get(f"/api/recordings/{started['name']}").status_code == 200


def test_a_folder_that_cannot_be_made_is_reported(emu, tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("")
    with TestClient(create_app(recordings=blocker / "recordings")) as client:
        response = client.post("/api/cameras/0/recording")
        assert response.status_code == 507 and "cannot record" in response.json()["error"]
        assert recording_state(client) is None


def test_recording_while_two_clients_watch(emu, folder):
    app = create_app([0], recordings=folder)
    counts = []

    def watch(url):
        with urllib.request.urlopen(f"{url}/api/cameras/0/stream.mjpg?frames=15", timeout=20) as response:
            counts.append(len(mjpeg_parts(response.read())))

    with running_server(app) as url:
        start = urllib.request.Request(f"{url}/api/cameras/0/recording", method="POST")
        with urllib.request.urlopen(start, timeout=10) as response:
            name = response.read() and app.state.viewer.opened()[0].recording.name
        watchers = [threading.Thread(target=watch, args=(url,)) for _ in range(2)]
        for thread in watchers:
            thread.start()
        for thread in watchers:
            thread.join(30)
        stop = urllib.request.Request(f"{url}/api/cameras/0/recording/stop", method="POST")
        with urllib.request.urlopen(stop, timeout=10) as response:
            assert response.status == 200
    assert counts == [15, 15]
    recording = quorvex.open_recording(folder / name)
    # One capture loop feeds both clients and the file: it holds every frame they saw.
    assert recording.complete and len(recording) >= 15


def test_a_recording_plays_as_a_panel_of_its_own(recorder_client, folder):
    name = record(recorder_client, frames=4)["name"]
    opened = recorder_client.post(f"/api/recordings/{name}/play")
    assert opened.status_code == 201
    number = opened.json()["index"]
    assert opened.json()["frames"] >= 4
    # Opening it again shows the same playback.
    assert recorder_client.post(f"/api/recordings/{name}/play").json()["index"] == number
    total = opened.json()["frames"]
    stream = recorder_client.get(f"/api/playbacks/{number}/stream.mjpg?frames={total + 2}")
    assert len(mjpeg_parts(stream.content)) == total + 2  # more than the recording holds: it loops
    detail = recorder_client.get(f"/api/playbacks/{number}").json()
    frame = detail["frame"]
    assert frame["of"] == opened.json()["frames"] and 0 <= frame["position"] < frame["of"]
    assert frame["format"]["pixel_format"] and frame["unix_ns"] > 0
    assert detail["loops"] >= 1
    assert [entry["name"] for entry in recorder_client.get("/api/recordings").json()["open"]] == [name]


@pytest.mark.parametrize("content", [b"", b"not a recording at all", b"QXRECORD" + b"\0" * 8])
def test_a_file_that_is_no_recording_does_not_play(recorder_client, folder, content):
    folder.mkdir()
    (folder / "broken.qxrec").write_bytes(content)
    response = recorder_client.post("/api/recordings/broken.qxrec/play")
    assert response.status_code == 422
    assert recorder_client.get("/api/recordings").json()["open"] == []


def test_the_command_line_opens_a_recording(emu, folder, tmp_path):
    with TestClient(create_app(recordings=folder)) as client:
        name = record(client, frames=2)["name"]
    with TestClient(create_app(recordings=tmp_path / "other", played=[folder / name])) as client:
        assert client.get("/api/recordings").json()["open"][0]["name"] == name
        assert len(mjpeg_parts(client.get("/api/playbacks/0/stream.mjpg?frames=2").content)) == 2


@pytest.mark.parametrize("content", [case[1] for case in DAMAGED] + [NO_FRAMES],
                         ids=[case[0] for case in DAMAGED] + ["no-frames"])
def test_a_damaged_recording_is_listed_as_such_and_the_others_still_play(emu, folder, content):
    folder.mkdir()
    (folder / "bad.qxrec").write_bytes(content)
    (folder / "good.qxrec").write_bytes(recording_bytes())
    with TestClient(create_app(recordings=folder)) as client:
        for _ in range(2):  # the first play of the damaged file must not break what follows
            listing = client.get("/api/recordings")
            assert listing.status_code == 200, listing.text
            damaged = {entry["name"]: entry["damaged"] for entry in listing.json()["recordings"]}
            assert damaged["bad.qxrec"] and damaged["good.qxrec"] is None
            bad = client.post("/api/recordings/bad.qxrec/play")
            assert bad.status_code == 422 and "bad.qxrec cannot be played" in bad.json()["error"]
        good = client.post("/api/recordings/good.qxrec/play")
        assert good.status_code == 201
        detail = client.get(f"/api/playbacks/{good.json()['index']}")
        assert detail.status_code == 200 and detail.json()["camera"] == "Cam"


@pytest.fixture
def played(emu, folder):
    """A viewer playing a recording of six frames 0.1 s apart: (client, its playback)."""
    folder.mkdir()
    write(folder / "six.qxrec", [k * 0.1 for k in range(6)])
    with TestClient(create_app(recordings=folder)) as client:
        assert client.post("/api/recordings/six.qxrec/play").status_code == 201
        yield client, client.app.state.viewer.playback(0)


def test_a_playback_pauses_steps_seeks_and_resumes(played):
    client, playback = played

    def control(action, body=None):
        response = client.post(f"/api/playbacks/0/{action}", json=body)
        assert response.status_code == 200, response.text
        state = response.json()
        shown = state["frame"]["position"] if state["frame"] else None
        # What the page is told is what the stream of pictures shows.
        assert shown is None or np.array_equal(playback.latest.raw, pixels(shown))
        return state["paused"], shown

    assert control("pause") == (True, None)
    assert control("step") == (True, 0)
    assert control("step") == (True, 1)
    assert control("seek", {"frame": 4}) == (True, 4)  # paused: the frame sought shows at once
    assert control("seek", {"seconds": 0.25}) == (True, 2)
    assert client.get("/api/playbacks/0").json()["frame"]["seconds"] == 0.2
    paused, _ = control("resume")
    assert not paused and playback.stream.position == 3
    parts = mjpeg_parts(client.get("/api/playbacks/0/stream.mjpg?frames=2").content)
    assert len(parts) == 2
    assert not client.get("/api/playbacks/0").json()["paused"]


def test_a_frame_the_loop_read_as_a_pause_came_is_the_next_step_not_shown_after_the_pause(played, monkeypatch):
    client, playback = played
    read, taken = playback.stream.read, []

    def read_then_pause(timeout):  # the pause comes between the loop's read and its showing the frame
        frame = read(timeout)
        taken.append(frame.index)
        if len(taken) == 2:
            playback.pause()
        return frame

    monkeypatch.setattr(playback.stream, "read", read_then_pause)
    watcher = threading.Thread(target=lambda: client.get("/api/playbacks/0/stream.mjpg?frames=2"), daemon=True)
    watcher.start()
    assert wait_until(lambda: taken[1:] and playback.stream.position == 1, timeout=20), taken  # frame 1 given back
    assert playback.current.position == 0
    assert client.post("/api/playbacks/0/step").json()["frame"]["position"] == 1
    watcher.join(20)


@pytest.mark.parametrize("path, body, status", [
    ("/api/playbacks/0/seek", {"frame": 6}, 422),
    ("/api/playbacks/0/seek", {"seconds": 0.6}, 422),
    ("/api/playbacks/0/seek", {"frame": 1, "seconds": 0.1}, 422),
    ("/api/playbacks/0/seek", {"frame": True}, 422),
    ("/api/playbacks/0/seek", {"seconds": "soon"}, 422),
    ("/api/playbacks/0/seek", {}, 422),
    ("/api/playbacks/0/seek", "not json", 400),
    ("/api/playbacks/0/rewind", None, 404),
    ("/api/playbacks/1/pause", None, 404),
])
def test_bad_playback_controls_are_refused(played, path, body, status):
    client, playback = played
    content = {"content": body} if isinstance(body, str) else {"json": body}
    response = client.post(path, **content)
    assert response.status_code == status and response.json()["error"]
    assert playback.stream.position == 0 and not playback.paused


def test_each_camera_of_a_recording_of_several_plays(emu, folder):
    folder.mkdir()
    path = folder / "pair.qxrec"
    path.write_bytes(cameras_bytes())
    with TestClient(create_app(recordings=folder, played=[path])) as client:
        # Opened from the command line, every camera gets a panel; before, camera 1 was never shown.
        assert [(p["recorded_camera"], p["cameras"]) for p in client.get("/api/recordings").json()["open"]] == [
            (0, 2), (1, 2)]
        assert client.get("/api/recordings").json()["recordings"][0]["cameras"] == 2
        assert client.post("/api/recordings/pair.qxrec/play", json={"camera": 1}).json()["index"] == 1
        assert client.post("/api/recordings/pair.qxrec/play", json={"camera": 2}).status_code == 422
        playback = client.app.state.viewer.playback(1)
        list(mjpeg_parts(client.get("/api/playbacks/1/stream.mjpg?frames=1").content))
        assert np.array_equal(playback.latest.raw, open_recording(path, camera=1).frame(0).data)
