"""The viewer's web application: JSON endpoints, a multipart MJPEG stream per camera, a
WebSocket of live state per camera, and the static page.

Every handler that talks to a camera is a plain function, which Starlette runs in its thread
pool, or hands its camera work to the pool itself: the event loop only moves bytes and never
waits on a camera.
"""

from __future__ import annotations

import asyncio
import contextlib
import json
import os
import socket
import tempfile
import threading
from collections.abc import AsyncIterator, Callable, Collection
from dataclasses import dataclass, field
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

from .access import Guard
from .capture import Capture, Picture, Publisher, Waiter
from .connections import BODY_TIMEOUT, HEADER_TIMEOUT, TimedH11Protocol, drop_connections
from .device import (Control, Device, DeviceError, NotSupported, RecordingError, camera_count, format_dict,
                     luminance_histogram, to_png)
from .recordings import Folder, Playback, Session, start_recording, stop_recording

STATIC = Path(__file__).resolve().parent / "static"
MAX_FIRMWARE_BYTES = 32 * 1024 * 1024  # the viewer's own bound on an upload, well above any image
MAX_JSON_BYTES = 64 * 1024  # far more than any setting the page sends
FIRST_FRAME_TIMEOUT = 5.0  # seconds a snapshot waits for a camera that was not streaming
EVENT_PERIOD = 0.2  # seconds between two state messages on a camera's WebSocket
BOUNDARY = "quorvexframe"
SHUTDOWN_GRACE = 0.5  # seconds the streams have to end on their own when the viewer stops


def _fail(status: int, message: str) -> HTTPException:
    return HTTPException(status, message)


@dataclass
class Upgrade:
    target: str = ""
    state: str = "idle"  # idle, running, done, failed
    percent: int = 0
    message: str = ""

    def as_dict(self) -> dict[str, object]:
        return {"target": self.target, "state": self.state, "percent": self.percent, "message": self.message}


@dataclass
class Camera:
    """A camera with what the viewer knows of it. While it is upgraded, the device's lock is
    held for the whole upgrade: requests for its state answer from here instead, and changes
    are refused, so that none of them waits (holding one of the server's threads) on the camera."""

    device: Device
    capture: Capture
    versions: dict[str, str | None]  # firmware versions: read at opening and after each upgrade
    controls: list[dict[str, object]]  # as last read or changed
    upgrade: Upgrade = field(default_factory=Upgrade)
    recording: Session | None = None
    changing: threading.Lock = field(default_factory=threading.Lock)  # one start or stop at a time
    _claiming: threading.Lock = field(default_factory=threading.Lock)

    @property
    def upgrading(self) -> bool:
        return self.upgrade.state == "running"

    def claim_upgrade(self, target: str) -> Upgrade | None:
        """Marks the camera as being upgraded and returns the previous upgrade's record; None
        when it is being upgraded already."""
        with self._claiming:
            if self.upgrading:
                return None
            previous, self.upgrade = self.upgrade, Upgrade(target, "running", message="receiving the image")
            return previous

    def refuse_while_upgrading(self) -> None:
        if self.upgrading:
            raise _fail(409, f"camera {self.device.index} is being upgraded; try again when the upgrade is over")


class Viewer:
    """The cameras the viewer has opened, each with its capture loop, opened on first use."""

    def __init__(self, shown: list[int] | None = None, recordings: Path | None = None,
                 played: list[Path] | None = None) -> None:
        self.shown = shown or [0]
        self._cameras: dict[int, Camera] = {}
        self._lock = threading.Lock()
        self._opening: dict[int, threading.Lock] = {}  # one opening at a time per camera
        self._count: int | None = None  # cameras found by the last discovery
        self._closed = False
        self.folder = Folder(recordings if recordings is not None else Path("recordings"))
        self._playbacks: list[Playback] = []
        for path in played or []:
            self.play(path)

    def play(self, path: Path) -> Playback:
        """A playback of the recording at `path`, numbered in the order opened."""
        path = path.resolve()
        with self._lock:
            for playback in self._playbacks:
                if playback.recording.path == path:
                    return playback
            playback = Playback(len(self._playbacks), path)
            self._playbacks.append(playback)
            return playback

    def playbacks(self) -> list[Playback]:
        with self._lock:
            return list(self._playbacks)

    def playback(self, number: int) -> Playback:
        with self._lock:
            if not 0 <= number < len(self._playbacks):
                raise _fail(404, f"no recording {number} is open")
            return self._playbacks[number]

    def count(self) -> int:
        """The cameras attached; while one is upgraded, as last found: the library may hold up
        discovery until the upgrade ends."""
        if self._count is not None and any(camera.upgrading for camera in self.opened()):
            return self._count
        self._count = camera_count()
        return self._count

    def camera(self, index: int) -> Camera:
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
            camera.device.close()
            raise _fail(503, "the viewer is shutting down")

    def _open(self, index: int) -> Camera:
        count = self.count()
        if not 0 <= index < count:
            raise _fail(404, f"no camera {index}: there are {count} (0 to {count - 1})" if count else "no camera is attached")
        try:
            device = Device(index)
        except DeviceError as error:
            raise _fail(503, f"camera {index} cannot be opened: {error}") from error
        try:
            versions = device.firmware()
            controls = [control.as_dict() for control in device.controls().values()]
        except DeviceError as error:
            device.close()
            raise _fail(503, f"camera {index} cannot be read: {error}") from error
        return Camera(device, Capture(device), versions, controls)

    def opened(self) -> list[Camera]:
        with self._lock:
            return list(self._cameras.values())

    def end_streams(self) -> None:
        for camera in self.opened():
            camera.capture.end_clients()
        for playback in self.playbacks():
            playback.end_clients()

    def close(self) -> None:
        with self._lock:
            self._closed = True
            cameras, self._cameras = list(self._cameras.values()), {}
            playbacks, self._playbacks = self._playbacks, []
        for playback in playbacks:
            playback.shutdown()
        for camera in cameras:
            with camera.changing:
                if camera.recording is not None:  # what was recorded stays readable
                    stop_recording(camera.recording, camera.capture)
                    camera.recording = None
            camera.capture.shutdown()
            try:
                camera.device.close()
            except DeviceError:
                pass  # a camera gone away (reset, unplugged) is closed as far as it can be


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


def _viewer(request: Request | WebSocket) -> Viewer:
    viewer: Viewer = request.app.state.viewer
    return viewer


async def _camera(request: Request | WebSocket) -> Camera:
    return await run_in_threadpool(_viewer(request).camera, int(request.path_params["index"]))


async def _json_body(request: Request) -> dict[str, object]:
    raw = await _read_body(request, MAX_JSON_BYTES, "a request of this kind")
    try:
        body = json.loads(raw)
    except ValueError:
        raise _fail(400, "the request body must be JSON") from None
    if not isinstance(body, dict):
        raise _fail(400, "the request body must be a JSON object")
    return body


async def _read_body(request: Request, limit: int, what: str) -> bytes:
    """The request's body, refused with 413 once it passes `limit` bytes, declared or counted."""
    declared = request.headers.get("content-length")
    if declared is not None and declared.isdigit() and int(declared) > limit:
        raise _fail(413, f"{what} is at most {limit} bytes; this one has {declared}")
    chunks: list[bytes] = []
    size = 0
    try:
        async for chunk in request.stream():
            size += len(chunk)
            if size > limit:
                raise _fail(413, f"{what} is at most {limit} bytes")
            chunks.append(chunk)
    except ClientDisconnect:  # nobody is left to answer; an error here only keeps the log clean
        raise _fail(400, "the client went away before it sent the whole request") from None
    return b"".join(chunks)


def _integer(body: dict[str, object], key: str) -> int:
    value = body.get(key)
    if isinstance(value, bool) or not isinstance(value, int):
        raise _fail(422, f"{key!r} must be a whole number, not {value!r}")
    return value


# Cameras and formats


async def index_page(request: Request) -> Response:
    return FileResponse(STATIC / "index.html")


def list_cameras(request: Request) -> Response:
    viewer = _viewer(request)
    cameras: list[dict[str, object]] = []
    for index in range(viewer.count()):
        try:
            camera = viewer.camera(index)
        except HTTPException as error:
            cameras.append({"index": index, "error": error.detail})
            continue
        cameras.append({**camera.device.info, "firmware": camera.versions})
    return JSONResponse({"cameras": cameras, "shown": viewer.shown})


def _state(camera: Camera) -> dict[str, object]:
    session = camera.recording
    return {"stats": camera.capture.stats(), "upgrade": camera.upgrade.as_dict(),
            "recording": session.progress(camera.capture) if session is not None else None}


async def camera_detail(request: Request) -> Response:
    camera = await _camera(request)
    device = camera.device
    return JSONResponse({**device.info, "firmware": camera.versions,
                         "formats": [format_dict(f) for f in device.formats], **_state(camera)})


async def set_format(request: Request) -> Response:
    camera = await _camera(request)
    body = await _json_body(request)
    camera.refuse_while_upgrading()
    pixel_format = body.get("pixel_format")
    if not isinstance(pixel_format, str):
        raise _fail(422, f"'pixel_format' must be a string such as \"YUY2\", not {pixel_format!r}")
    try:
        fmt = camera.device.find_format(pixel_format, _integer(body, "width"), _integer(body, "height"), _integer(body, "fps"))
    except LookupError as error:
        raise _fail(404, str(error)) from None
    # The format is set when the capture loop (re)starts the stream.
    camera.device.format = fmt
    camera.capture.restart()
    return JSONResponse({"format": format_dict(fmt)})


# Controls


async def list_controls(request: Request) -> Response:
    camera = await _camera(request)
    if camera.upgrading:
        return JSONResponse({"controls": camera.controls})
    controls = await run_in_threadpool(camera.device.controls)
    camera.controls = [c.as_dict() for c in controls.values()]
    return JSONResponse({"controls": camera.controls})


async def set_control(request: Request) -> Response:
    camera = await _camera(request)
    name = request.path_params["name"]
    value = _integer(await _json_body(request), "value")
    camera.refuse_while_upgrading()
    return await _change_control(camera, name, lambda: camera.device.set_control(name, value))


async def reset_control(request: Request) -> Response:
    camera = await _camera(request)
    name = request.path_params["name"]
    camera.refuse_while_upgrading()
    return await _change_control(camera, name, lambda: camera.device.reset_control(name))


async def _change_control(camera: Camera, name: str, change: Callable[[], Control]) -> Response:
    try:
        control = await run_in_threadpool(change)
    except KeyError as error:
        raise _fail(404, error.args[0]) from None
    except ValueError as error:
        raise _fail(422, str(error)) from None
    except DeviceError as error:
        raise _fail(409, f"the camera refused {name}: {error}") from None
    camera.controls = [control.as_dict() if c["name"] == name else c for c in camera.controls]
    return JSONResponse(control.as_dict())


# Pictures


async def _picture(camera: Camera) -> Picture:
    """The latest frame of a watched camera; a new one from a camera nobody watches. Either is
    of the format in force: a frame the loop read just before a format change is passed over."""
    capture = camera.capture
    latest = capture.latest
    if latest is not None and (capture.clients > 0 or camera.upgrading) and latest.format == camera.device.format:
        return latest
    camera.refuse_while_upgrading()  # no new frame comes before the upgrade ends
    waiter = capture.subscribe()
    try:
        after = latest.sequence if latest is not None else 0
        picture = await asyncio.wait_for(_next_in_format(camera, waiter, after), FIRST_FRAME_TIMEOUT)
    except TimeoutError:
        detail = capture.error or "no frame came"
        raise _fail(503, f"camera {camera.device.index} gives no picture: {detail}") from None
    finally:
        capture.unsubscribe(waiter)
    if picture is None:
        raise _fail(503, "the viewer is shutting down")
    return picture


async def _next_in_format(camera: Camera, waiter: Waiter, after: int) -> Picture | None:
    while True:
        picture = await camera.capture.next_picture(waiter, after)
        if picture is None or picture.format == camera.device.format:
            return picture
        after = picture.sequence


async def frame_jpeg(request: Request) -> Response:
    picture = await _picture(await _camera(request))
    return Response(picture.jpeg, media_type="image/jpeg", headers={"Cache-Control": "no-store"})


async def snapshot_png(request: Request) -> Response:
    camera = await _camera(request)
    picture = await _picture(camera)
    png = await run_in_threadpool(to_png, picture.raw, picture.format)
    name = f"camera{camera.device.index}-{picture.format.pixel_format}-{picture.sequence}.png"
    return Response(png, media_type="image/png",
                    headers={"Content-Disposition": f'attachment; filename="{name}"', "Cache-Control": "no-store"})


async def histogram(request: Request) -> Response:
    picture = await _picture(await _camera(request))
    counts = await run_in_threadpool(luminance_histogram, picture.raw, picture.format)
    return JSONResponse({"sequence": picture.sequence, "counts": counts})


def _frame_limit(request: Request) -> int | None:
    limit = request.query_params.get("frames")
    try:
        frames = int(limit) if limit is not None else None
    except ValueError:
        raise _fail(422, f"'frames' must be a whole number, not {limit!r}") from None
    if frames is not None and frames < 1:
        raise _fail(422, "'frames' must be at least 1")
    return frames


async def mjpeg_stream(request: Request) -> Response:
    camera = await _camera(request)
    return StreamingResponse(_mjpeg_parts(camera.capture, _frame_limit(request)),
                             media_type=f"multipart/x-mixed-replace; boundary={BOUNDARY}",
                             headers={"Cache-Control": "no-store"})


async def _mjpeg_parts(source: Publisher, frames: int | None) -> AsyncIterator[bytes]:
    # Subscribing here, not in the handler, ties the subscription to the generator's life:
    # a client that goes away cancels the generator and the finally clause lets go.
    waiter = source.subscribe()
    try:
        sent, after = 0, 0
        while frames is None or sent < frames:
            picture = await source.next_picture(waiter, after)
            if picture is None:
                return
            after = picture.sequence
            head = (f"--{BOUNDARY}\r\nContent-Type: image/jpeg\r\nContent-Length: {len(picture.jpeg)}\r\n"
                    f"X-Frame: {picture.sequence}\r\n\r\n").encode()
            yield head + picture.jpeg + b"\r\n"
            sent += 1
    finally:
        source.unsubscribe(waiter)


# IMU and firmware


def _imu_sample(camera: Camera) -> dict[str, object]:
    try:
        return camera.device.imu_sample()
    except NotSupported:
        raise _fail(404, f"camera {camera.device.index} has no IMU") from None
    except DeviceError as error:
        raise _fail(409, f"the IMU cannot be read: {error}") from None


async def imu(request: Request) -> Response:
    camera = await _camera(request)
    camera.refuse_while_upgrading()
    return JSONResponse(await run_in_threadpool(_imu_sample, camera))


async def firmware(request: Request) -> Response:
    camera = await _camera(request)
    return JSONResponse({"versions": camera.versions, "upgrade": camera.upgrade.as_dict()})


async def _read_upload(request: Request) -> bytes:
    image = await _read_body(request, MAX_FIRMWARE_BYTES, "a firmware image")
    if not image:
        raise _fail(400, "the request carries no firmware image")
    return image


async def upgrade_firmware(request: Request) -> Response:
    camera = await _camera(request)
    target = request.path_params["target"]
    if target not in ("usb", "sensor"):
        raise _fail(404, f"firmware target is 'usb' or 'sensor', not {target!r}")
    if camera.versions.get(target) is None:
        raise _fail(404, f"camera {camera.device.index} has no {target} firmware")
    # Claimed before the image is read, so that a second upgrade is refused from the start
    # rather than queued behind the first one.
    previous = camera.claim_upgrade(target)
    if previous is None:
        raise _fail(409, f"camera {camera.device.index} is being upgraded already")
    upgrade = camera.upgrade
    try:
        image = await _read_upload(request)
    except BaseException:
        camera.upgrade = previous  # nothing was tried
        raise
    failure: str | None = "the upgrade did not finish"
    try:
        await run_in_threadpool(_run_upgrade, camera, upgrade, image)
        failure = None
    except DeviceError as error:
        # The status, not the whole message: that names the server's temporary file.
        failure = f"{error.function} refused the image: {error.status_name or error.status}"
    finally:
        try:
            camera.versions = await run_in_threadpool(camera.device.firmware)
        finally:
            if failure is not None:  # the camera is free again either way
                upgrade.state, upgrade.message = "failed", failure
    if failure is not None:
        raise _fail(422, f"the upgrade failed: {failure}")
    upgrade.state, upgrade.percent = "done", 100
    upgrade.message = f"{target} firmware is now {camera.versions.get(target)}"
    return JSONResponse({"versions": camera.versions, "upgrade": upgrade.as_dict()})


def _run_upgrade(camera: Camera, upgrade: Upgrade, image: bytes) -> None:
    def progress(percent: int) -> None:
        upgrade.percent = int(percent)

    with tempfile.TemporaryDirectory(prefix="quorvex-viewer-") as folder:
        path = os.path.join(folder, "firmware.img")
        with open(path, "wb") as file:
            file.write(image)
        camera.capture.pause()
        try:
            camera.device.upgrade(upgrade.target, path, progress)
        finally:
            camera.capture.resume()


# Recordings


def _start_recording(viewer: Viewer, camera: Camera) -> dict[str, object]:
    with camera.changing:
        if camera.recording is not None:
            raise _fail(409, f"camera {camera.device.index} is recording to {camera.recording.name} already")
        try:
            camera.recording = start_recording(viewer.folder, camera.device, camera.capture)
        except OSError as error:
            raise _fail(507, f"cannot record into {viewer.folder.path}: {error.strerror or error}") from None
        return camera.recording.progress(camera.capture)


def _stop_recording(camera: Camera) -> dict[str, object]:
    with camera.changing:
        session, camera.recording = camera.recording, None
        if session is None:
            raise _fail(409, f"camera {camera.device.index} is not recording")
        return stop_recording(session, camera.capture)


async def start_camera_recording(request: Request) -> Response:
    camera = await _camera(request)
    camera.refuse_while_upgrading()
    return JSONResponse(await run_in_threadpool(_start_recording, _viewer(request), camera), status_code=201)


async def stop_camera_recording(request: Request) -> Response:
    camera = await _camera(request)
    return JSONResponse(await run_in_threadpool(_stop_recording, camera))


def _recording_name(viewer: Viewer, request: Request) -> Path:
    name = request.path_params["name"]
    busy = {camera.recording.name for camera in viewer.opened() if camera.recording is not None}
    if name in busy:
        raise _fail(409, f"{name} is still being recorded")
    path = viewer.folder.find(name)
    if path is None:
        raise _fail(404, f"no recording named {name!r}")
    return path


def list_recordings(request: Request) -> Response:
    """The folder's recordings, each with "damaged": why it cannot be played (or null), and the
    ones being recorded (their files take their names when they end)."""
    viewer = _viewer(request)
    busy = {camera.recording.name: camera.recording.recorder.bytes_written
            for camera in viewer.opened() if camera.recording is not None}
    entries = []
    for name in viewer.folder.names():
        if name in busy:
            continue
        with contextlib.suppress(OSError):  # removed between the listing and now
            entries.append({"name": name, "bytes": (viewer.folder.path / name).stat().st_size, "recording": False,
                            "damaged": viewer.folder.damage(name), "url": f"/api/recordings/{name}"})
    entries += [{"name": name, "bytes": size, "recording": True, "damaged": None, "url": f"/api/recordings/{name}"}
                for name, size in busy.items()]
    entries.sort(key=lambda entry: str(entry["name"]))
    return JSONResponse({"folder": str(viewer.folder.path), "recordings": entries,
                         "open": [playback.info() for playback in viewer.playbacks()]})


def download_recording(request: Request) -> Response:
    path = _recording_name(_viewer(request), request)
    return FileResponse(path, media_type="application/octet-stream", filename=path.name)


def open_recording_playback(request: Request) -> Response:
    viewer = _viewer(request)
    path = _recording_name(viewer, request)
    try:
        playback = viewer.play(path)
    except (RecordingError, ValueError, OSError) as error:
        raise _fail(422, f"{path.name} cannot be played: {error}") from None
    return JSONResponse(playback.info(), status_code=201)


async def _playback(request: Request) -> Playback:
    return _viewer(request).playback(int(request.path_params["number"]))


async def playback_detail(request: Request) -> Response:
    playback = await _playback(request)
    return JSONResponse({**playback.info(), **playback.state()})


async def playback_stream(request: Request) -> Response:
    playback = await _playback(request)
    return StreamingResponse(_mjpeg_parts(playback, _frame_limit(request)),
                             media_type=f"multipart/x-mixed-replace; boundary={BOUNDARY}",
                             headers={"Cache-Control": "no-store"})


# Live state


async def events(websocket: WebSocket) -> None:
    """Sends the camera's statistics, errors and upgrade progress, and IMU samples with ?imu=1."""
    try:
        camera = await _camera(websocket)
    except HTTPException as error:
        await websocket.close(code=4404, reason=str(error.detail)[:120])
        return
    await websocket.accept()
    with_imu = websocket.query_params.get("imu") == "1" and bool(camera.device.info.get("imu"))
    closed = asyncio.Event()

    async def watch() -> None:
        try:
            while (await websocket.receive())["type"] != "websocket.disconnect":
                pass
        finally:
            closed.set()

    watcher = asyncio.create_task(watch())
    try:
        while not closed.is_set():
            message: dict[str, object] = _state(camera)
            if with_imu and camera.upgrading:
                message["imu_error"] = "the camera is being upgraded"
            elif with_imu:
                try:
                    message["imu"] = await run_in_threadpool(_imu_sample, camera)
                except HTTPException as error:
                    message["imu_error"] = error.detail
            await websocket.send_json(message)
            with contextlib.suppress(TimeoutError):
                await asyncio.wait_for(closed.wait(), EVENT_PERIOD)
    except (WebSocketDisconnect, RuntimeError, OSError):
        pass  # the client went away between two messages
    finally:
        watcher.cancel()
        with contextlib.suppress(asyncio.CancelledError, Exception):
            await watcher


async def _http_error(request: Request, error: Exception) -> Response:
    assert isinstance(error, HTTPException)
    return JSONResponse({"error": error.detail}, status_code=error.status_code, headers=error.headers)


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
            Route(camera + "/stream.mjpg", mjpeg_stream),
            Route(camera + "/frame.jpg", frame_jpeg),
            Route(camera + "/snapshot.png", snapshot_png),
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
            Mount("/static", StaticFiles(directory=STATIC), name="static"),
        ],
        middleware=[Middleware(Guard, token=token, hosts=hosts)],
        exception_handlers={HTTPException: _http_error},
        lifespan=lifespan,
    )
    app.state.viewer = viewer
    return app
