"""The live bridge: cameras published through the Foxglove SDK's WebSocket server, for Foxglove
and the tools that speak its WebSocket protocol.

    from quorvex.bridge import Bridge

    with Bridge([0], port=8765) as bridge:
        bridge.wait()                    # until Ctrl-C (KeyboardInterrupt)

Each camera K gets the topics

- `/cameraK/image/compressed`: foxglove.CompressedImage, JPEG (MJPG frames as the camera
  delivered them, other formats converted and encoded once);
- `/cameraK/calibration`: foxglove.CameraCalibration, where the camera has intrinsics, scaled to
  the streamed size, sent once a second while a client subscribes (also on subscribing);
- `/cameraK/imu`: JSON with the acceleration (m/s²) and angular velocity (°/s), where the camera
  has an IMU, at `imu_rate` samples a second.

One thread per camera reads its frames and logs each once to the SDK, which hands it to every
subscribed client; a channel that no client subscribes to is not encoded at all. Streams
reconnect, so an unplugged camera comes back on its own. The SDK's server listens on a loopback
address only, behind the bridge's own listener, which refuses web pages and DNS rebinding
(quorvex.bridge_guard). Needs `pip install 'pyQuorvexSDK[bridge]'`.
"""

from __future__ import annotations

import math
import random
import socket
import sys
import threading
import time
from collections.abc import Iterable
from dataclasses import dataclass, field
from types import TracebackType
from typing import TYPE_CHECKING, Any

from ._net import is_loopback
from .bridge_guard import DEFAULT_ORIGINS, Guard, normal_origin
from .calibration import Intrinsics
from .camera import Camera, camera_count
from .camera import open as open_camera
from .errors import NotSupportedError, QuorvexError, TimeoutError
from .frame import Frame
from .stream import Stream

if TYPE_CHECKING:
    from foxglove import Channel
    from foxglove.channels import CameraCalibrationChannel, CompressedImageChannel

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8765
DEFAULT_QUALITY = 85
DEFAULT_IMU_RATE = 20.0
CALIBRATION_PERIOD = 1.0  # seconds between two calibration messages
READ_TIMEOUT = 0.25  # seconds; bounds how long stopping a capture thread takes
RETRY_AFTER = 1.0  # seconds between tries of a camera whose reads fail
# Messages the SDK's server holds for one client before it drops the oldest image (the SDK's
# default, 1024, is some 300 MB of 1080p JPEGs for a client that cannot keep up); a client that
# lags drops frames instead, and 32 still covers a second of a 30 fps camera's burst.
BACKLOG = 32

_VECTOR = {"type": "object", "properties": {axis: {"type": "number"} for axis in "xyz"}}
IMU_SCHEMA: dict[str, Any] = {
    "title": "quorvex.Imu",
    "type": "object",
    "description": "One IMU reading: acceleration in m/s², angular velocity in degrees per second",
    "properties": {
        "timestamp": {"type": "object", "properties": {"sec": {"type": "integer"}, "nsec": {"type": "integer"}}},
        "acceleration": _VECTOR,
        "angular_velocity": _VECTOR,
    },
}


def _missing_sdk(missing: ImportError) -> ImportError:
    return ImportError(f"the bridge needs foxglove-sdk ({missing.name} is missing): "
                       "pip install 'pyQuorvexSDK[bridge]'")


def topics(index: int) -> dict[str, str]:
    """The topics of camera `index`, by what they carry."""
    return {"image": f"/camera{index}/image/compressed", "calibration": f"/camera{index}/calibration",
            "imu": f"/camera{index}/imu"}


def calibration_message(intrinsics: Intrinsics, width: int, height: int, frame_id: str) -> Any:
    """foxglove.CameraCalibration of `intrinsics` for a width x height image (export.calibration_fields)."""
    from foxglove.messages import CameraCalibration, Timestamp

    from .export import calibration_fields

    return CameraCalibration(timestamp=Timestamp.from_epoch_secs(time.time()), frame_id=frame_id,
                             **calibration_fields(intrinsics, width, height))


@dataclass(eq=False)
class CameraFeed:
    """One camera on the bridge: its stream, its channels and its capture thread's counts."""

    index: int
    camera: Camera
    stream: Stream
    image: "CompressedImageChannel"
    calibration: "CameraCalibrationChannel | None"  # where the camera has intrinsics
    imu: "Channel | None"  # JSON, where the camera has an IMU
    intrinsics: Intrinsics | None
    frames_read: int = 0
    frames_sent: int = 0  # frames encoded and logged: read while a client subscribed
    error: str | None = None  # the last failure of a read, while reads fail
    thread: threading.Thread | None = field(default=None, repr=False)
    calibration_due: threading.Event = field(default_factory=threading.Event, repr=False)

    @property
    def frame_id(self) -> str:
        return f"camera{self.index}"


def _listener(calibrations: dict[int, threading.Event]) -> Any:
    """A server listener that tells a camera's thread to send its calibration when a client
    subscribes to it (`calibrations`: channel id -> the feed's event), rather than leave the
    client without one until the next periodic message."""
    from foxglove.websocket import ServerListener

    class Listener(ServerListener):  # the others of its callbacks do nothing
        def on_subscribe(self, client: Any, channel: Any) -> None:
            due = calibrations.get(channel.id)
            if due is not None:
                due.set()

    return Listener()


class Bridge:
    """Publishes cameras (indexes, hardware IDs or paths; None: every camera found) on a Foxglove
    WebSocket server at `host`:`port` (port 0 picks a free one; `port` tells which). `format`
    (e.g. "MJPG:1920x1080@30", any part left out) is each camera's stream format (None: its first);
    `quality` the JPEG quality of frames that are not JPEG already. A connection that carries an
    `Origin` (a web page's) is refused unless it is `https://app.foxglove.dev`, a loopback origin or
    one of `allowed_origins` (scheme://host[:port]; ValueError otherwise).

    start() opens the cameras and starts the server (the context manager does it), close() stops
    both. OSError when the address cannot be listened on, LookupError for a camera or format that
    is not there, ImportError without foxglove-sdk."""

    def __init__(
        self,
        cameras: Iterable[int | str] | None = None,
        *,
        host: str = DEFAULT_HOST,
        port: int = DEFAULT_PORT,
        format: str | None = None,
        quality: int = DEFAULT_QUALITY,
        imu_rate: float = DEFAULT_IMU_RATE,
        name: str = "quorvex",
        allowed_origins: Iterable[str] = (),
    ) -> None:
        if isinstance(port, bool) or not isinstance(port, int) or not 0 <= port <= 65535:
            raise ValueError(f"port must be a whole number from 0 to 65535, not {port!r}")
        if isinstance(quality, bool) or not isinstance(quality, int) or not 1 <= quality <= 100:
            raise ValueError(f"quality must be a whole number from 1 to 100, not {quality!r}")
        if not 0 < imu_rate < math.inf:  # NaN included
            raise ValueError(f"imu_rate must be a positive number of samples a second, not {imu_rate!r}")
        if isinstance(allowed_origins, str):
            allowed_origins = [allowed_origins]
        self.allowed_origins = [*DEFAULT_ORIGINS, *(normal_origin(origin) for origin in allowed_origins)]
        self.cameras = None if cameras is None else list(cameras)
        self.host = host
        self._port = port
        self.format = format
        self.quality = quality
        self.imu_rate = float(imu_rate)
        self.name = name
        self.feeds: list[CameraFeed] = []
        self._server: Any = None
        self._guard: Guard | None = None
        self._context: Any = None
        self._calibrations: dict[int, threading.Event] = {}
        self._bound = 0  # the port listened on
        self._stop = threading.Event()
        self._started = False
        self._closed = False

    @property
    def port(self) -> int:
        """The port listened on (the one picked, for port 0), once started."""
        return self._bound or self._port

    @property
    def url(self) -> str:
        host = {"0.0.0.0": "127.0.0.1", "::": "::1"}.get(self.host, self.host)
        return f"ws://{f'[{host}]' if ':' in host else host}:{self.port}"

    @property
    def is_running(self) -> bool:
        return self._started and not self._stop.is_set()

    def start(self) -> "Bridge":
        if self._closed:
            raise RuntimeError("the bridge was closed; make a new one")
        if self._started:
            return self
        self._stop.clear()
        try:
            import foxglove
        except ImportError as missing:
            raise _missing_sdk(missing) from None
        chosen: list[int | str] = list(range(camera_count())) if self.cameras is None else self.cameras
        if not chosen:
            raise LookupError("no camera found")
        self._context = foxglove.Context()
        self._listen(foxglove)
        try:
            for which in chosen:
                self.feeds.append(self._open(which))
        except BaseException:
            self._shut_down()
            raise
        self._started = True
        for feed in self.feeds:
            feed.thread = threading.Thread(target=self._capture, args=(feed,), name=f"quorvex-bridge-{feed.index}",
                                           daemon=True)
            feed.thread.start()
        return self

    def _listen(self, foxglove: Any) -> None:
        """Starts the SDK's server on a free port of a loopback address, then the guard in front of
        it on the user's address (OSError when that cannot be listened on)."""
        # A page may look for the SDK's port on 127.0.0.1; among 2^24 loopback addresses (Linux
        # answers on all of them) it cannot.
        hosts = [f"127.{random.randrange(256)}.{random.randrange(256)}.{random.randrange(1, 255)}"] \
            if sys.platform.startswith("linux") else []
        for host in [*hosts, "127.0.0.1"]:
            try:
                self._server = foxglove.start_server(
                    name=self.name, host=host, port=0, context=self._context, message_backlog_size=BACKLOG,
                    server_listener=_listener(self._calibrations))
                break
            except RuntimeError as failure:  # the SDK's FoxgloveError
                if host == "127.0.0.1":
                    reason = str(failure).removeprefix("FoxgloveError: ").split(" (os error")[0]
                    raise OSError(f"cannot listen on {host}: {reason}") from None
        try:
            self._guard = Guard(self.host, self._port, host, self._server.port, self.allowed_origins)
        except OSError:
            self._server.stop()
            self._server = None
            raise
        self._bound = self._guard.port

    def _open(self, which: int | str) -> CameraFeed:
        from foxglove import Channel
        from foxglove.channels import CameraCalibrationChannel, CompressedImageChannel

        camera = open_camera(which)
        try:
            index = camera.index
            if any(feed.index == index for feed in self.feeds):
                raise ValueError(f"camera {index} is given twice")
            stream = camera.stream(self.format, READ_TIMEOUT, reconnect=True, reconnect_timeout=None)
            intrinsics = _intrinsics(camera)
            has_imu = _has_imu(camera)
            names = topics(index)
            image = CompressedImageChannel(names["image"], context=self._context)
            calibration = None
            if intrinsics is not None:
                calibration = CameraCalibrationChannel(names["calibration"], context=self._context)
            imu = Channel(names["imu"], schema=IMU_SCHEMA, context=self._context) if has_imu else None
            stream.start()
        except BaseException:
            camera.close()
            raise
        feed = CameraFeed(index, camera, stream, image, calibration, imu, intrinsics)
        if calibration is not None:
            self._calibrations[calibration.id()] = feed.calibration_due
        return feed

    def _capture(self, feed: CameraFeed) -> None:
        """The camera's thread: reads every frame, and encodes and logs it while a client
        subscribes; sends the calibration and IMU readings on the side."""
        from foxglove.messages import CompressedImage, Timestamp

        from .viewer.pictures import to_jpeg

        stream, image = feed.stream, feed.image
        next_calibration = next_imu = 0.0
        while not self._stop.is_set():
            try:
                frame: Frame | None = stream.read(READ_TIMEOUT)
            except TimeoutError:
                frame = None
            except RuntimeError:
                break  # the stream was stopped: the bridge is closing
            except QuorvexError as failure:
                feed.error = str(failure)
                self._stop.wait(RETRY_AFTER)
                continue
            if frame is not None:
                feed.frames_read += 1
                feed.error = None
                if image.has_sinks():
                    stamp = time.time_ns() if frame.host_time is None else round(frame.host_time * 1e9)
                    try:
                        data = to_jpeg(frame.data, frame.format, self.quality)
                    except ValueError as failure:  # a damaged frame: the next one may do
                        feed.error = f"frame {frame.index}: {failure}"
                        continue
                    image.log(CompressedImage(timestamp=Timestamp(stamp // 1_000_000_000, stamp % 1_000_000_000),
                                              frame_id=feed.frame_id, data=data, format="jpeg"), log_time=stamp)
                    feed.frames_sent += 1
            now = time.monotonic()
            if feed.calibration is not None and feed.intrinsics is not None and (
                    feed.calibration_due.is_set() or now >= next_calibration) and feed.calibration.has_sinks():
                feed.calibration_due.clear()
                width, height = stream.format.width, stream.format.height
                feed.calibration.log(calibration_message(feed.intrinsics, width, height, feed.frame_id))
                next_calibration = now + CALIBRATION_PERIOD
            if feed.imu is not None and now >= next_imu and feed.imu.has_sinks():
                next_imu = now + 1 / self.imu_rate
                self._send_imu(feed.camera, feed.imu)

    def _send_imu(self, camera: Camera, channel: "Channel") -> None:
        imu = camera.imu
        try:
            if not imu.running:
                imu.enable()
            acceleration, rotation = imu.acceleration(), imu.rotation_rate()
        except QuorvexError:
            return  # unplugged meanwhile, or the IMU refused: the next reading will tell
        stamp = time.time_ns()
        channel.log({"timestamp": {"sec": stamp // 1_000_000_000, "nsec": stamp % 1_000_000_000},
                      "acceleration": dict(zip("xyz", acceleration)),
                      "angular_velocity": dict(zip("xyz", rotation))}, log_time=stamp)

    def wait(self, timeout: float | None = None) -> bool:
        """Waits until the bridge is closed (from another thread), at most `timeout` seconds;
        whether it was. Ctrl-C interrupts it with KeyboardInterrupt."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while not self._stop.is_set():
            left = 1.0 if deadline is None else min(1.0, deadline - time.monotonic())
            if left <= 0:
                return False
            self._stop.wait(left)  # in steps, so that Ctrl-C is seen at once on every platform
        return True

    def close(self) -> None:
        """Stops the capture threads, closes the cameras and stops the server; the port is free
        again when it returns. Idempotent."""
        self._closed = True
        self._shut_down()

    def _shut_down(self) -> None:
        self._stop.set()
        feeds, self.feeds = self.feeds, []
        for feed in feeds:
            # Stopping the stream ends a read waiting for an unplugged camera to come back.
            _quietly(feed.stream.stop)
            if feed.thread is not None:
                feed.thread.join()
            _quietly(feed.camera.close)
        if self._guard is not None:
            self._guard.close()
            self._guard = None
            _released(self.host, self._bound)
        if self._server is not None:
            self._server.stop()
            self._server = None
        for feed in feeds:
            for channel in (feed.image, feed.calibration, feed.imu):
                if channel is not None:
                    channel.close()

    def __enter__(self) -> "Bridge":
        return self.start()

    def __exit__(
        self, kind: type[BaseException] | None, value: BaseException | None, traceback: TracebackType | None
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "running" if self.is_running else "stopped"
        return f"<quorvex.bridge.Bridge {self.url} {len(self.feeds)} cameras {state}>"


def _intrinsics(camera: Camera) -> Intrinsics | None:
    try:
        return camera.calibration.intrinsics
    except QuorvexError:  # NotSupportedError for cameras without one
        return None


def _has_imu(camera: Camera) -> bool:
    try:
        _ = camera.imu.running
    except NotSupportedError:
        return False
    except QuorvexError:
        return True  # there, but not answering now
    return True


def _released(host: str, port: int, limit: float = 5.0) -> None:
    """Waits until `port` can be listened on again: the server lets go of it on its own thread
    a moment after stop() returned, and a bridge started anew on it would find it taken."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        try:
            family = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)[0][0]
            with socket.socket(family, socket.SOCK_STREAM) as probe:
                probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # as the server binds
                probe.bind((host, port))
                return
        except OSError:
            time.sleep(0.005)


def _quietly(action: Any) -> None:
    try:
        action()
    except QuorvexError:
        pass  # a camera unplugged meanwhile: nothing is left to stop


def serve(
    cameras: Iterable[int | str] | None = None,
    *,
    host: str = DEFAULT_HOST,
    port: int = DEFAULT_PORT,
    format: str | None = None,
    quality: int = DEFAULT_QUALITY,
    imu_rate: float = DEFAULT_IMU_RATE,
    allowed_origins: Iterable[str] = (),
) -> None:
    """Runs a Bridge until Ctrl-C (KeyboardInterrupt, raised on after the bridge closed)."""
    with Bridge(cameras, host=host, port=port, format=format, quality=quality, imu_rate=imu_rate,
                allowed_origins=allowed_origins) as bridge:
        bridge.wait()
