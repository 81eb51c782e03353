"""What the page reads: the package's objects (formats, controls, camera information, frames
of a recording, recordings, playbacks) and the viewer's state as JSON-ready dictionaries."""

from __future__ import annotations

import time
from typing import TYPE_CHECKING

from quorvex import Control, Format
from quorvex.errors import QuorvexError
from quorvex.imu import Imu

from .capture import STATS_WINDOW

if TYPE_CHECKING:
    from .capture import Capture, Picture, Subscription
    from .live import LiveCamera
    from .recordings import Playback, Session


def format_dict(fmt: Format) -> dict[str, object]:
    return {"pixel_format": fmt.pixel_format, "width": fmt.width, "height": fmt.height, "fps": fmt.fps,
            "label": str(fmt)}


def control_dict(control: Control, switchable: bool = False) -> dict[str, object]:
    """The control's range and, read from the camera, its value and whether it is automatic;
    `switchable` (as "auto_mode") when it can be switched between automatic and manual."""
    return {"name": control.name, "kind": control.kind, "min": control.min, "max": control.max,
            "step": control.step, "default": control.default, "value": control.value, "automatic": control.auto,
            "auto_mode": switchable}


def imu_dict(imu: Imu) -> dict[str, object]:
    """A sample: sensor time in s, acceleration in m/s², angular rate in °/s, and the ISPU's fused
    orientation (yaw, pitch, roll in degrees), null outside ISPU mode."""
    try:
        ispu = imu.orientation()
        orientation: dict[str, float] | None = {"yaw": ispu.yaw, "pitch": ispu.pitch, "roll": ispu.roll}
    except QuorvexError as error:
        if error.status_name != "QXE_WRONG_IMU_MODE":
            raise
        orientation = None
    return {"t": imu.sensor_time, "acc": list(imu.acceleration()), "gyr": list(imu.rotation_rate()),
            "orientation": orientation}


def camera_dict(camera: LiveCamera) -> dict[str, object]:
    info = camera.info
    return {"index": camera.index, "name": info.name, "path": info.path, "interface": info.interface,
            "product": info.product, "hardware_id": info.hardware_id, "usb_speed": info.usb_speed,
            "quorvex": info.is_quorvex, "imu": camera.has_imu, "firmware": camera.versions,
            "disconnected": camera.disconnected}


def camera_detail(camera: LiveCamera) -> dict[str, object]:
    return {**camera_dict(camera), "formats": [format_dict(f) for f in camera.formats], **state(camera)}


def firmware(camera: LiveCamera) -> dict[str, object]:
    upgrade = camera.upgrade
    return {"versions": camera.versions, "upgrade": {"target": upgrade.target, "state": upgrade.state,
                                                      "percent": upgrade.percent, "message": upgrade.message}}


def state(camera: LiveCamera) -> dict[str, object]:
    """What changes while the page looks: the capture's statistics, the upgrade, the recording."""
    session = camera.recording
    return {"stats": stats(camera.capture), "upgrade": firmware(camera)["upgrade"],
            "recording": recording_progress(session, camera.capture) if session is not None else None}


def stats(capture: Capture) -> dict[str, object]:
    """The capture loop's figures: rates and `dropped_recent` over the last `window` seconds of
    the current format, `dropped` and `frames` since the camera was opened."""
    fmt = capture.camera.format
    fps, bytes_per_second, dropped_recent = capture.rates()
    return {"fps": round(fps, 2), "bytes_per_second": round(bytes_per_second), "dropped": capture.dropped,
            "dropped_recent": dropped_recent, "window": STATS_WINDOW,
            "frames": capture.frames, "clients": capture.clients, "running": capture.running,
            "format": format_dict(fmt) if fmt else None, "error": capture.error,
            "disconnected": capture.camera.disconnected}


def picture_dict(picture: Picture | None) -> dict[str, object] | None:
    """The latest picture's description: `index` counts the viewer's pictures, `sequence` and
    `device_timestamp` (seconds) are the camera's, `host_time` the Unix time it arrived."""
    if picture is None:
        return None
    fmt = picture.format
    return {"index": picture.sequence, "sequence": picture.camera_sequence,
            "device_timestamp": picture.device_timestamp, "host_time": picture.host_time,
            "pixel_format": fmt.pixel_format, "width": fmt.width, "height": fmt.height,
            "bytes": int(picture.raw.nbytes)}


def delivered(subscription: Subscription | None, fmt: Format | None) -> dict[str, object] | None:
    """What one client's stream got over the same window: pictures and bytes per second, and
    the pictures it passed over (`skipped_recent`; `skipped` and `frames` since it opened)."""
    if subscription is None:
        return None
    fps, bytes_per_second, skipped_recent = subscription.window.rates(fmt)
    return {"fps": round(fps, 2), "bytes_per_second": round(bytes_per_second), "skipped_recent": skipped_recent,
            "skipped": subscription.skipped, "frames": subscription.sent}


def _recorded(session: Session) -> dict[str, object]:
    recorder = session.recorder
    return {"name": session.name, "frames": recorder.written, "dropped": recorder.dropped,
            "bytes": recorder.bytes_written, "seconds": round(time.monotonic() - session.started, 1)}


def recording_progress(session: Session, capture: Capture) -> dict[str, object]:
    return {**_recorded(session), "error": capture.recording_error}


def recording_summary(session: Session, failure: str | None) -> dict[str, object]:
    return {**_recorded(session), "rejected": session.recorder.rejected, "error": failure}


def recording_entry(name: str, size: int, recording: bool, damaged: str | None, cameras: int | None
                    ) -> dict[str, object]:
    """A file of the recordings folder; `recording` while a camera still writes it (its cameras
    are not known then)."""
    return {"name": name, "bytes": size, "recording": recording, "damaged": damaged, "cameras": cameras,
            "url": f"/api/recordings/{name}"}


def playback_dict(playback: Playback) -> dict[str, object]:
    recording = playback.recording
    camera = recording.info.get("camera")
    return {"index": playback.number, "name": recording.path.name, "path": str(recording.path),
            "camera": camera.get("name") if isinstance(camera, dict) else None,
            "recorded_camera": playback.camera.index, "cameras": recording.camera_count,
            "frames": len(recording), "seconds": round((recording.time_ns(len(recording) - 1) - recording.time_ns(0)) / 1e9, 3),
            "complete": recording.complete, "dropped": recording.dropped,
            "problem": recording.problem, "error": playback.error,
            "formats": [format_dict(f) for f in recording.formats]}


def playback_state(playback: Playback) -> dict[str, object]:
    """The frame shown last (`position` in the recording, `seconds` after its first frame, the
    camera's `sequence` where recorded) and whether the playback is paused."""
    shown = playback.current
    recording = playback.recording
    frame: dict[str, object] | None = None
    if shown is not None:
        frame = {"position": shown.position, "of": len(recording), "sequence": shown.frame.sequence,
                 "seconds": round((shown.time_ns - recording.time_ns(0)) / 1e9, 3),
                 "unix_ns": recording.unix_ns(shown.time_ns), "format": format_dict(shown.frame.format),
                 "device_timestamp": shown.frame.device_timestamp,
                 "bytes": int(shown.frame.data.nbytes)}
    return {"frame": frame, "loops": playback.loops, "clients": playback.clients, "running": playback.running,
            "paused": playback.paused}
