"""The viewer's web application: JSON endpoints, a multipart MJPEG stream per camera and per
playback, a WebSocket of live state per camera, and the static page.

Every handler that talks to a camera is a plain function, which Starlette runs in its thread
pool, or hands its camera work to the pool itself: the event loop only moves bytes and never
waits on a camera.
"""

from __future__ import annotations

import asyncio
import contextlib
import json
import re
import socket
import threading
from collections.abc import AsyncIterator, Awaitable, Callable, Collection
from pathlib import Path
from typing import Any

import uvicorn
from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.exceptions import HTTPException
from starlette.middleware import Middleware
from starlette.requests import ClientDisconnect, Request
from starlette.responses import FileResponse, JSONResponse, Response, StreamingResponse
from starlette.routing import Mount, Route, WebSocketRoute
from starlette.staticfiles import StaticFiles
from starlette.websockets import WebSocket, WebSocketDisconnect

import quorvex
from quorvex import NotSupportedError, QuorvexError, RecordingError

from . import payloads, settings
from .access import Guard
from .capture import Picture, Publisher, Subscription
from .connections import BODY_TIMEOUT, HEADER_TIMEOUT, TimedH11Protocol, drop_connections
from .live import Busy, LiveCamera
from .pictures import luminance_histogram, to_png
from .recordings import Folder, Playback

STATIC = Path(__file__).resolve().parent / "static"
MAX_FIRMWARE_BYTES = 32 * 1024 * 1024  # the viewer's own bound on an upload, well above any image
MAX_JSON_BYTES = 64 * 1024  # far more than any setting the page sends
MAX_SETTINGS_BYTES = 256 * 1024  # a settings file: some 50 controls take about 2 kB
MAX_PROFILE_BYTES = 64 * 1024  # the library's own bound on a profile file
FIRST_FRAME_TIMEOUT = 5.0  # seconds a snapshot waits for a camera that was not streaming
EVENT_PERIOD = 0.2  # seconds between two state messages on a camera's WebSocket
MESSAGE_IMU_WAIT = 0.05  # seconds a state message waits for its IMU sample before it goes without
CLIENT_NAME = re.compile(r"[A-Za-z0-9_-]{1,64}")  # what a page calls its stream (?client=...)
BOUNDARY = "quorvexframe"
SHUTDOWN_GRACE = 0.5  # seconds the streams have to end on their own when the viewer stops
NO_STORE = {"Cache-Control": "no-store"}


class Viewer:
    """The cameras the viewer has opened, opened on first use, and the recordings it plays."""

    def __init__(self, shown: list[int] | None = None, recordings: Path | None = None,
                 played: list[Path] | None = None) -> None:
        self.shown = shown or [0]
        self._cameras: dict[int, LiveCamera] = {}
        self._lock = threading.Lock()
        self._opening: dict[int, threading.Lock] = {}  # one opening at a time per camera
        self._count: int | None = None  # cameras found by the last discovery
        self._closed = False
        self.folder = Folder(recordings if recordings is not None else Path("recordings"))
        self._playbacks: list[Playback] = []
        for path in played or []:
            first = self.play(path)  # and a panel for every other camera of the recording
            for camera in range(1, first.recording.camera_count):
                self.play(path, camera)

    def play(self, path: Path, camera: int = 0) -> Playback:
        """A playback of camera `camera` of the recording at `path`, numbered in the order opened."""
        path = path.resolve()
        with self._lock:
            for playback in self._playbacks:
                if playback.recording.path == path and playback.camera.index == camera:
                    return playback
            playback = Playback(len(self._playbacks), path, camera)
            self._playbacks.append(playback)
            return playback

    def playbacks(self) -> list[Playback]:
        with self._lock:
            return list(self._playbacks)

    def playback(self, number: int) -> Playback:
        with self._lock:
            if not 0 <= number < len(self._playbacks):
                raise HTTPException(404, f"no recording {number} is open")
            return self._playbacks[number]

    def count(self) -> int:
        """The cameras attached; while one is upgraded, as last found: the library may hold up
        discovery until the upgrade ends."""
        if self._count is not None and any(camera.upgrading for camera in self.opened()):
            return self._count
        self._count = quorvex.camera_count()
        return self._count

    def camera(self, index: int) -> LiveCamera:
        # Opening a camera takes a while; requests for the others do not wait for it.
        with self._lock:
            if index in self._cameras:
                return self._cameras[index]
            opening = self._opening.setdefault(index, threading.Lock())
        with opening:
            with self._lock:
                if index in self._cameras:  # opened while this request waited
                    return self._cameras[index]
            camera = self._open(index)
            with self._lock:
                if not self._closed:
                    self._cameras[index] = camera
                    return camera
            camera.close()
            raise HTTPException(503, "the viewer is shutting down")

    def _open(self, index: int) -> LiveCamera:
        count = self.count()
        if not 0 <= index < count:
            raise HTTPException(404, f"no camera {index}: there are {count} (0 to {count - 1})" if count
                                else "no camera is attached")
        try:
            return LiveCamera(index)
        except QuorvexError as error:
            failed = "opened" if error.function == "QxOpen" else "read"
            raise HTTPException(503, f"camera {index} cannot be {failed}: {error}") from error

    def opened(self) -> list[LiveCamera]:
        with self._lock:
            return list(self._cameras.values())

    def recorded_now(self) -> dict[str, int]:
        """The recordings cameras are writing, by name, with their bytes so far."""
        return {camera.recording.name: camera.recording.recorder.bytes_written
                for camera in self.opened() if camera.recording is not None}

    def end_streams(self) -> None:
        for publisher in [camera.capture for camera in self.opened()] + self.playbacks():
            publisher.end_clients()

    def close(self) -> None:
        with self._lock:
            self._closed = True
            cameras, self._cameras = list(self._cameras.values()), {}
            playbacks, self._playbacks = self._playbacks, []
        for playback in playbacks:
            playback.shutdown()
        for camera in cameras:
            camera.close()


class ViewerServer(uvicorn.Server):
    """uvicorn's server with deadlines on reading requests (see connections.py), ending the
    viewer's endless streams first when it shuts down."""

    def __init__(self, app: Starlette, header_timeout: float = HEADER_TIMEOUT, body_timeout: float = BODY_TIMEOUT,
                 **options: Any) -> None:
        config = uvicorn.Config(app, log_level="warning", timeout_graceful_shutdown=5, http=TimedH11Protocol,
                                timeout_keep_alive=5, h11_max_incomplete_event_size=16 * 1024, **options)
        config.header_timeout = header_timeout  # type: ignore[attr-defined]  # read by TimedH11Protocol
        config.body_timeout = body_timeout  # type: ignore[attr-defined]
        super().__init__(config)
        self.viewer: Viewer = app.state.viewer

    async def shutdown(self, sockets: list[socket.socket] | None = None) -> None:
        self.viewer.end_streams()
        # The streams woken above end at once, except those of clients that stopped reading:
        # their responses wait for room that never comes. Dropping every connection left after
        # a moment ends those, rather than uvicorn cancelling them after its grace period.
        connections = self.server_state.connections
        dropping = asyncio.get_running_loop().call_later(SHUTDOWN_GRACE, drop_connections, connections)
        try:
            await super().shutdown(sockets)
        finally:
            dropping.cancel()


# Reading requests


def _viewer(request: Request | WebSocket) -> Viewer:
    viewer: Viewer = request.app.state.viewer
    return viewer


async def _camera(request: Request | WebSocket) -> LiveCamera:
    return await run_in_threadpool(_viewer(request).camera, int(request.path_params["index"]))


def _refuse_while_upgrading(camera: LiveCamera) -> None:
    if camera.upgrading:
        raise Busy(f"camera {camera.index} is being upgraded; try again when the upgrade is over")


async def _json_body(request: Request, limit: int = MAX_JSON_BYTES,
                     what: str = "a request of this kind") -> dict[str, object]:
    raw = await _read_body(request, limit, what)
    try:
        body = json.loads(raw)
    except ValueError:
        raise HTTPException(400, "the request body must be JSON") from None
    if not isinstance(body, dict):
        raise HTTPException(400, "the request body must be a JSON object")
    return body


async def _read_body(request: Request, limit: int, what: str) -> bytes:
    """The request's body, refused with 413 once it passes `limit` bytes, declared or counted."""
    declared = request.headers.get("content-length")
    if declared is not None and declared.isdigit() and int(declared) > limit:
        raise HTTPException(413, f"{what} is at most {limit} bytes; this one has {declared}")
    chunks: list[bytes] = []
    size = 0
    try:
        async for chunk in request.stream():
            size += len(chunk)
            if size > limit:
                raise HTTPException(413, f"{what} is at most {limit} bytes")
            chunks.append(chunk)
    except ClientDisconnect:  # nobody is left to answer; an error here only keeps the log clean
        raise HTTPException(400, "the client went away before it sent the whole request") from None
    return b"".join(chunks)


def _client(request: Request | WebSocket) -> str | None:
    """The name a page gave its stream, `?client=NAME`, or None; HTTPException 422 for a name
    that is no short word. It only pairs a page's stream with its state WebSocket."""
    client = request.query_params.get("client")
    if client is not None and not CLIENT_NAME.fullmatch(client):
        raise HTTPException(422, "'client' is 1 to 64 letters, digits, '-' or '_'")
    return client


def _integer(body: dict[str, object], key: str) -> int:
    value = body.get(key)
    if isinstance(value, bool) or not isinstance(value, int):
        raise HTTPException(422, f"{key!r} must be a whole number, not {value!r}")
    return value


# Cameras and formats


async def index_page(request: Request) -> Response:
    return FileResponse(STATIC / "index.html")


def list_cameras(request: Request) -> Response:
    viewer = _viewer(request)
    cameras: list[dict[str, object]] = []
    # An open camera that was unplugged is still listed: its panel waits for it to come back.
    indexes = sorted(set(range(viewer.count())) | {camera.index for camera in viewer.opened()})
    for index in indexes:
        try:
            cameras.append(payloads.camera_dict(viewer.camera(index)))
        except HTTPException as error:
            cameras.append({"index": index, "error": error.detail})
    return JSONResponse({"cameras": cameras, "shown": viewer.shown})


async def camera_detail(request: Request) -> Response:
    return JSONResponse(payloads.camera_detail(await _camera(request)))


async def set_format(request: Request) -> Response:
    camera = await _camera(request)
    body = await _json_body(request)
    _refuse_while_upgrading(camera)
    pixel_format = body.get("pixel_format")
    if not isinstance(pixel_format, str):
        raise HTTPException(422, f"'pixel_format' must be a string such as \"YUY2\", not {pixel_format!r}")
    fmt = camera.find_format(pixel_format, _integer(body, "width"), _integer(body, "height"), _integer(body, "fps"))
    camera.choose(fmt)
    return JSONResponse({"format": payloads.format_dict(fmt)})


# Controls


async def list_controls(request: Request) -> Response:
    camera = await _camera(request)
    controls = camera.controls if camera.upgrading else await run_in_threadpool(camera.read_controls)
    return JSONResponse({"controls": controls})


async def set_control(request: Request) -> Response:
    camera = await _camera(request)
    value = _integer(await _json_body(request), "value")
    return await _change_control(camera, request.path_params["name"], value)


async def reset_control(request: Request) -> Response:
    return await _change_control(await _camera(request), request.path_params["name"], None)


async def _change_control(camera: LiveCamera, name: str, value: int | None) -> Response:
    return await _change(camera, name, camera.change_control, value)


async def _change(camera: LiveCamera, name: str, change: Callable[[str, Any], dict[str, object]],
                  argument: Any) -> Response:
    """`change(name, argument)` run in the pool, refused while upgrading; what the camera
    refuses is 409."""
    _refuse_while_upgrading(camera)
    try:
        return JSONResponse(await run_in_threadpool(change, name, argument))
    except QuorvexError as error:
        raise HTTPException(409, f"the camera refused {name}: {error}") from None


async def set_control_mode(request: Request) -> Response:
    """POST .../controls/NAME/auto with {"auto": true} (the camera chooses) or false (manual,
    at the value in use)."""
    camera = await _camera(request)
    automatic = (await _json_body(request)).get("auto")
    if not isinstance(automatic, bool):
        raise HTTPException(422, f"'auto' must be true or false, not {automatic!r}")
    return await _change(camera, request.path_params["name"], camera.change_mode, automatic)


# Settings files and the OSP profile


async def save_settings(request: Request) -> Response:
    camera = await _camera(request)
    _refuse_while_upgrading(camera)
    saved = await run_in_threadpool(settings.saved, camera)
    name = f"camera{camera.index}-{camera.info.name or 'camera'}-settings.json"
    name = "".join(c if c.isalnum() or c in "-_." else "_" for c in name)
    return JSONResponse(saved, headers={"Content-Disposition": f'attachment; filename="{name}"', **NO_STORE})


def _load_settings(camera: LiveCamera, body: dict[str, object]) -> dict[str, object]:
    chosen = settings.plan(camera, body)
    try:
        return settings.apply(camera, chosen)
    except settings.Refused as error:
        raise HTTPException(409, str(error)) from None
    except QuorvexError as error:  # a value it had could not be read
        raise HTTPException(409, f"the camera refused: {error}") from None


async def load_settings(request: Request) -> Response:
    """POST .../settings with a settings file as saved by GET: every value is checked before
    any is set (422 naming what is wrong); the camera's controls then, and the names skipped."""
    camera = await _camera(request)
    body = await _json_body(request, MAX_SETTINGS_BYTES, "a settings file")
    _refuse_while_upgrading(camera)
    return JSONResponse(await run_in_threadpool(_load_settings, camera, body))


def _profile_call(camera: LiveCamera, work: Callable[..., dict[str, object]], *args: Any) -> dict[str, object]:
    try:
        return work(camera, *args)
    except NotSupportedError:
        raise HTTPException(404, f"camera {camera.index} has no OSP profile") from None
    except QuorvexError as error:
        if error.status_name == "QXE_PROFILE_DISABLED":
            raise HTTPException(409, f"camera {camera.index}'s profile is disabled: enable the profile first") from None
        raise HTTPException(409, f"the camera refused: {error}") from None
    except settings.Refused as error:
        raise HTTPException(422, str(error)) from None


async def profile(request: Request) -> Response:
    camera = await _camera(request)
    _refuse_while_upgrading(camera)
    return JSONResponse(await run_in_threadpool(_profile_call, camera, settings.profile))


async def load_profile(request: Request) -> Response:
    """POST .../profile with the profile's text as the body."""
    camera = await _camera(request)
    data = await _read_body(request, MAX_PROFILE_BYTES, "a profile")
    if not data:
        raise HTTPException(400, "the request carries no profile")
    _refuse_while_upgrading(camera)
    return JSONResponse(await run_in_threadpool(_profile_call, camera, settings.load_profile, data))


async def change_profile(request: Request) -> Response:
    """POST .../profile/flag with {"flag": ...}; .../profile/streaming or /image_processing
    activates that part of it."""
    camera = await _camera(request)
    action = request.path_params["action"]
    if action == "flag":
        flag = (await _json_body(request)).get("flag")
        _refuse_while_upgrading(camera)
        return JSONResponse(await run_in_threadpool(_profile_call, camera, settings.set_profile_flag, flag))
    if action not in ("streaming", "image_processing"):
        raise HTTPException(404, f"a profile's flag is set, or its streaming or image_processing activated, "
                                 f"not {action!r}")
    _refuse_while_upgrading(camera)
    return JSONResponse(await run_in_threadpool(_profile_call, camera, settings.activate_profile, action))


# Pictures


async def _picture(camera: LiveCamera) -> Picture:
    """The latest frame of a watched camera; a new one from a camera nobody watches. Either is
    of the format in force: a frame the loop read just before a format change is passed over."""
    capture = camera.capture
    latest = capture.latest
    if latest is not None and (capture.clients > 0 or camera.upgrading) and latest.format == camera.format:
        return latest
    _refuse_while_upgrading(camera)  # no new frame comes before the upgrade ends
    after = latest.sequence if latest is not None else 0
    async with capture.subscribe() as subscription:
        try:
            picture = await asyncio.wait_for(_next_in_format(camera, subscription, after), FIRST_FRAME_TIMEOUT)
        except TimeoutError:
            detail = capture.error or "no frame came"
            raise HTTPException(503, f"camera {camera.index} gives no picture: {detail}") from None
    if picture is None:
        raise HTTPException(503, "the viewer is shutting down")
    return picture


async def _next_in_format(camera: LiveCamera, subscription: Subscription, after: int) -> Picture | None:
    while True:
        picture = await subscription.next_picture(after)
        if picture is None or picture.format == camera.format:
            return picture
        after = picture.sequence


async def frame_jpeg(request: Request) -> Response:
    picture = await _picture(await _camera(request))
    return Response(picture.jpeg, media_type="image/jpeg", headers=NO_STORE)


async def snapshot_png(request: Request) -> Response:
    camera = await _camera(request)
    picture = await _picture(camera)
    png = await run_in_threadpool(to_png, picture.raw, picture.format)
    name = f"camera{camera.index}-{picture.format.pixel_format}-{picture.sequence}.png"
    return Response(png, media_type="image/png",
                    headers={"Content-Disposition": f'attachment; filename="{name}"', **NO_STORE})


def _raw(picture: Picture, source: str, position: int | None = None) -> Response:
    """The picture's own bytes, described in headers (those the camera did not tell left out);
    `position`: a recording's frame, its place in the recording."""
    fmt = picture.format
    described = {"X-Pixel-Format": fmt.pixel_format, "X-Width": fmt.width, "X-Height": fmt.height,
                 "X-Frame-Index": picture.sequence, "X-Position": position, "X-Sequence": picture.camera_sequence,
                 "X-Device-Timestamp": picture.device_timestamp, "X-Host-Time": picture.host_time}
    name = f"{source}-{fmt.pixel_format}-{fmt.width}x{fmt.height}-{picture.sequence}.raw"
    headers = {key: str(value) for key, value in described.items() if value is not None}
    return Response(picture.raw.tobytes(), media_type="application/octet-stream",
                    headers={**headers, "Content-Disposition": f'attachment; filename="{name}"', **NO_STORE})


async def frame_raw(request: Request) -> Response:
    camera = await _camera(request)
    return _raw(await _picture(camera), f"camera{camera.index}")


def playback_frame_raw(request: Request) -> Response:
    playback = _playback(request)
    picture, shown = playback.showing()
    if picture is None or shown is None:
        raise Busy(f"recording {playback.number} has shown no frame yet")
    return _raw(picture, f"recording{playback.number}", shown.position)


async def histogram(request: Request) -> Response:
    picture = await _picture(await _camera(request))
    counts = await run_in_threadpool(luminance_histogram, picture.raw, picture.format)
    return JSONResponse({"sequence": picture.sequence, "counts": counts})


def _mjpeg(source: Publisher, request: Request) -> StreamingResponse:
    """The source's pictures as a multipart stream, endless or of ?frames=N; ?client=NAME
    names it, for the state WebSocket of the same page to report what it delivers."""
    limit = request.query_params.get("frames")
    try:
        frames = int(limit) if limit is not None else None
    except ValueError:
        raise HTTPException(422, f"'frames' must be a whole number, not {limit!r}") from None
    if frames is not None and frames < 1:
        raise HTTPException(422, "'frames' must be at least 1")
    return StreamingResponse(_mjpeg_parts(source, frames, _client(request)), headers=NO_STORE,
                             media_type=f"multipart/x-mixed-replace; boundary={BOUNDARY}")


async def _mjpeg_parts(source: Publisher, frames: int | None, client: str | None = None) -> AsyncIterator[bytes]:
    # Subscribing here, not in the handler, ties the subscription to the generator's life:
    # a client that goes away cancels the generator, which lets go of it.
    async with source.subscribe(client) as subscription:
        sent, after = 0, 0
        while frames is None or sent < frames:
            picture = await subscription.next_picture(after)
            if picture is None:
                return
            after = picture.sequence
            head = (f"--{BOUNDARY}\r\nContent-Type: image/jpeg\r\nContent-Length: {len(picture.jpeg)}\r\n"
                    f"X-Frame: {picture.sequence}\r\n\r\n").encode()
            yield head + picture.jpeg + b"\r\n"
            # Resumed once the server has taken the part: a client that reads slowly is counted
            # at its own pace.
            subscription.delivered(picture)
            sent += 1


async def mjpeg_stream(request: Request) -> Response:
    return _mjpeg((await _camera(request)).capture, request)


# IMU and firmware


def _imu_sample(camera: LiveCamera) -> dict[str, object]:
    try:
        return camera.imu_sample()
    except NotSupportedError:
        raise HTTPException(404, f"camera {camera.index} has no IMU") from None
    except (QuorvexError, Busy) as error:
        raise HTTPException(409, f"the IMU cannot be read: {error}") from None


async def imu(request: Request) -> Response:
    camera = await _camera(request)
    _refuse_while_upgrading(camera)
    return JSONResponse(await run_in_threadpool(_imu_sample, camera))


async def firmware(request: Request) -> Response:
    return JSONResponse(payloads.firmware(await _camera(request)))


async def upgrade_firmware(request: Request) -> Response:
    camera = await _camera(request)
    target = request.path_params["target"]
    if target not in ("usb", "sensor"):
        raise HTTPException(404, f"firmware target is 'usb' or 'sensor', not {target!r}")
    if camera.versions.get(target) is None:
        raise HTTPException(404, f"camera {camera.index} has no {target} firmware")
    # Claimed before the image is read, so that a second upgrade is refused from the start
    # rather than queued behind the first one.
    previous = camera.claim_upgrade(target)
    if previous is None:
        raise Busy(f"camera {camera.index} is being upgraded already")
    upgrade = camera.upgrade
    try:
        image = await _read_body(request, MAX_FIRMWARE_BYTES, "a firmware image")
        if not image:
            raise HTTPException(400, "the request carries no firmware image")
    except BaseException:
        camera.upgrade = previous  # nothing was tried
        raise
    try:
        await run_in_threadpool(camera.run_upgrade, image)
    except OSError:  # the server could not store the image: its fault, not the image's
        raise HTTPException(507, upgrade.message) from None
    finally:
        if upgrade.state == "running":  # cancelled before the upgrade began
            upgrade.state, upgrade.message = "failed", "interrupted before it finished"
    if upgrade.state != "done":
        raise HTTPException(422, upgrade.message)  # names the call and its status; 422 says it failed
    return JSONResponse(payloads.firmware(camera))


# Recordings


def _start_recording(viewer: Viewer, camera: LiveCamera) -> dict[str, object]:
    _refuse_while_upgrading(camera)
    try:
        session = camera.start_recording(viewer.folder)
    except OSError as error:
        raise HTTPException(507, f"cannot record into {viewer.folder.path}: {error.strerror or error}") from None
    return payloads.recording_progress(session, camera.capture)


async def start_camera_recording(request: Request) -> Response:
    camera = await _camera(request)
    return JSONResponse(await run_in_threadpool(_start_recording, _viewer(request), camera), status_code=201)


async def stop_camera_recording(request: Request) -> Response:
    camera = await _camera(request)
    return JSONResponse(await run_in_threadpool(camera.stop_recording))


def _recording_path(request: Request) -> Path:
    viewer = _viewer(request)
    name = request.path_params["name"]
    if name in viewer.recorded_now():
        raise Busy(f"{name} is still being recorded")
    path = viewer.folder.find(name)
    if path is None:
        raise HTTPException(404, f"no recording named {name!r}")
    return path


def list_recordings(request: Request) -> Response:
    """The folder's recordings, each with "damaged": why it cannot be played (or null), and the
    ones being recorded (their files take their names when they end)."""
    viewer = _viewer(request)
    busy = viewer.recorded_now()
    entries = [payloads.recording_entry(name, size, True, None, None) for name, size in busy.items()]
    for name in viewer.folder.names():
        if name not in busy:
            with contextlib.suppress(OSError):  # removed between the listing and now
                entries.append(payloads.recording_entry(name, (viewer.folder.path / name).stat().st_size, False,
                                                        *viewer.folder.damage(name)))
    entries.sort(key=lambda entry: str(entry["name"]))
    return JSONResponse({"folder": str(viewer.folder.path), "recordings": entries,
                         "open": [payloads.playback_dict(playback) for playback in viewer.playbacks()]})


def download_recording(request: Request) -> Response:
    path = _recording_path(request)
    return FileResponse(path, media_type="application/octet-stream", filename=path.name)


async def open_recording_playback(request: Request) -> Response:
    """POST /api/recordings/NAME/play, with {"camera": k} for camera k of a recording of several
    (no body: camera 0)."""
    path = _recording_path(request)
    body = await _json_body(request) if await request.body() else {}
    if set(body) - {"camera"}:
        raise HTTPException(422, 'a playback takes {"camera": K} or nothing')
    camera = _integer(body, "camera") if "camera" in body else 0
    try:
        playback = await run_in_threadpool(_viewer(request).play, path, camera)
    except (RecordingError, LookupError, ValueError, OSError) as error:
        raise HTTPException(422, f"{path.name} cannot be played: {error}") from None
    return JSONResponse(payloads.playback_dict(playback), status_code=201)


def _playback(request: Request) -> Playback:
    return _viewer(request).playback(int(request.path_params["number"]))


async def playback_detail(request: Request) -> Response:
    return _playback_answer(_playback(request))


async def playback_stream(request: Request) -> Response:
    return _mjpeg(_playback(request), request)


def _playback_answer(playback: Playback) -> Response:
    return JSONResponse({**payloads.playback_dict(playback), **payloads.playback_state(playback)})


def _control_playback(playback: Playback, action: str, body: dict[str, object]) -> Response:
    try:
        if action == "seek":
            playback.seek(**_seek_target(body))
        else:
            getattr(playback, action)()
    except ValueError as error:  # a seek outside the recording
        raise HTTPException(422, str(error)) from None
    return _playback_answer(playback)


def _seek_target(body: dict[str, object]) -> dict[str, Any]:
    """{"frame": n} or {"seconds": t}, from the request body."""
    given = [key for key in ("frame", "seconds") if key in body]
    if len(given) != 1 or len(body) != 1:
        raise HTTPException(422, 'a seek takes {"frame": N} or {"seconds": T}')
    if given == ["frame"]:
        return {"frame": _integer(body, "frame")}
    seconds = body["seconds"]
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
        raise HTTPException(422, f"'seconds' must be a number, not {seconds!r}")
    return {"seconds": float(seconds)}


async def control_playback(request: Request) -> Response:
    """POST /api/playbacks/N/pause, /resume, /step, or /seek with {"frame": n} or {"seconds": t}."""
    playback = _playback(request)
    action = request.path_params["action"]
    if action not in ("pause", "resume", "step", "seek"):
        raise HTTPException(404, f"a playback is paused, resumed, stepped or sought, not {action!r}")
    body = await _json_body(request) if action == "seek" else {}
    return await run_in_threadpool(_control_playback, playback, action, body)


# Live state


@contextlib.asynccontextmanager
async def _disconnection(websocket: WebSocket) -> AsyncIterator[asyncio.Event]:
    """An event set once the client goes away, watched while the context lasts."""
    closed = asyncio.Event()

    async def watch() -> None:
        try:
            while (await websocket.receive())["type"] != "websocket.disconnect":
                pass
        finally:
            closed.set()

    watcher = asyncio.create_task(watch())
    try:
        yield closed
    finally:
        watcher.cancel()
        with contextlib.suppress(asyncio.CancelledError, Exception):
            await watcher


async def events(websocket: WebSocket) -> None:
    """Sends the camera's statistics, errors and upgrade progress every EVENT_PERIOD, IMU
    samples with ?imu=1, and with ?client=NAME what the page's stream of that name delivers."""
    try:
        camera = await _camera(websocket)
        client = _client(websocket)
    except HTTPException as error:
        await websocket.close(code=4000 + error.status_code, reason=str(error.detail)[:120])
        return
    await websocket.accept()
    with_imu = websocket.query_params.get("imu") == "1" and camera.has_imu
    sampling: asyncio.Future[dict[str, object]] | None = None
    async with _disconnection(websocket) as closed:
        try:
            while not closed.is_set():
                imu: dict[str, object] = {}
                if with_imu:
                    # A sample runs beside the messages, one at a time: one that waits for the
                    # camera (an upgrade begun meanwhile holds it) never holds the state back.
                    if sampling is None and not camera.upgrading:
                        sampling = asyncio.ensure_future(run_in_threadpool(_imu_sample, camera))
                    if sampling is not None:
                        await asyncio.wait([sampling], timeout=MESSAGE_IMU_WAIT)
                    imu = _imu_result(camera, sampling)
                    if sampling is not None and sampling.done():
                        sampling = None
                message = payloads.state(camera)
                message["frame"] = payloads.picture_dict(camera.capture.latest)
                if client is not None:
                    message["client"] = payloads.delivered(camera.capture.subscription(client), camera.format)
                await websocket.send_json({**message, **imu})
                with contextlib.suppress(TimeoutError):
                    await asyncio.wait_for(closed.wait(), EVENT_PERIOD)
        except (WebSocketDisconnect, RuntimeError, OSError):
            pass  # the client went away between two messages
        finally:
            if sampling is not None:
                sampling.cancel()


def _imu_result(camera: LiveCamera, sampling: asyncio.Future[dict[str, object]] | None) -> dict[str, object]:
    """{"imu": the sample} when it came, {"imu_error": ...} when there is none to wait for."""
    if sampling is not None and sampling.done():
        try:
            return {"imu": sampling.result()}
        except HTTPException as error:
            return {"imu_error": error.detail}
    if camera.upgrading:
        return {"imu_error": "the camera is being upgraded"}
    return {}  # on its way: it goes with the next message


async def _http_error(request: Request, error: Exception) -> Response:
    assert isinstance(error, HTTPException)
    return JSONResponse({"error": error.detail}, status_code=error.status_code, headers=error.headers)


def _answer(status: int) -> Callable[[Request, Exception], Awaitable[Response]]:
    """A handler answering an exception of the camera's objects with `status` and its message."""

    async def handler(request: Request, error: Exception) -> Response:
        message = error.args[0] if len(error.args) == 1 else str(error)  # a KeyError's str() quotes it
        return JSONResponse({"error": str(message)}, status_code=status)

    return handler


def create_app(shown: list[int] | None = None, recordings: Path | None = None,
               played: list[Path] | None = None, *, token: str | None = None,
               hosts: Collection[str] | None = None) -> Starlette:
    """The application; `recordings` is the folder recordings go to (default ./recordings),
    `played` recordings to show as panels of their own. `token`, when given, is required on
    every request; `hosts`, when given, are the only host names it answers to (access.py)."""
    viewer = Viewer(shown, recordings, played)

    @contextlib.asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        try:
            yield
        finally:
            await run_in_threadpool(viewer.close)

    camera = "/api/cameras/{index:int}"
    app = Starlette(
        routes=[
            Route("/", index_page),
            Route("/api/cameras", list_cameras),
            Route(camera, camera_detail),
            Route(camera + "/format", set_format, methods=["POST"]),
            Route(camera + "/controls", list_controls),
            Route(camera + "/controls/{name}", set_control, methods=["POST"]),
            Route(camera + "/controls/{name}/reset", reset_control, methods=["POST"]),
            Route(camera + "/controls/{name}/auto", set_control_mode, methods=["POST"]),
            Route(camera + "/settings", save_settings, methods=["GET"]),
            Route(camera + "/settings", load_settings, methods=["POST"]),
            Route(camera + "/profile", profile, methods=["GET"]),
            Route(camera + "/profile", load_profile, methods=["POST"]),
            Route(camera + "/profile/{action}", change_profile, methods=["POST"]),
            Route(camera + "/stream.mjpg", mjpeg_stream),
            Route(camera + "/frame.jpg", frame_jpeg),
            Route(camera + "/snapshot.png", snapshot_png),
            Route(camera + "/frame.raw", frame_raw),
            Route(camera + "/histogram", histogram),
            Route(camera + "/imu", imu),
            Route(camera + "/firmware", firmware),
            Route(camera + "/firmware/{target}", upgrade_firmware, methods=["POST"]),
            Route(camera + "/recording", start_camera_recording, methods=["POST"]),
            Route(camera + "/recording/stop", stop_camera_recording, methods=["POST"]),
            WebSocketRoute(camera + "/events", events),
            Route("/api/recordings", list_recordings),
            Route("/api/recordings/{name}", download_recording),
            Route("/api/recordings/{name}/play", open_recording_playback, methods=["POST"]),
            Route("/api/playbacks/{number:int}", playback_detail),
            Route("/api/playbacks/{number:int}/stream.mjpg", playback_stream),
            Route("/api/playbacks/{number:int}/frame.raw", playback_frame_raw),
            Route("/api/playbacks/{number:int}/{action}", control_playback, methods=["POST"]),
            Mount("/static", StaticFiles(directory=STATIC), name="static"),
        ],
        middleware=[Middleware(Guard, token=token, hosts=hosts)],
        # What the camera's objects refuse: a name they lack (LookupError), a value out of range.
        exception_handlers={HTTPException: _http_error, Busy: _answer(409), LookupError: _answer(404),
                            ValueError: _answer(422)},
        lifespan=lifespan,
    )
    app.state.viewer = viewer
    return app
