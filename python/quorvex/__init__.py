"""quorvex: a typed, Pythonic camera API on top of pyQuorvexSDK.

    import quorvex

    with quorvex.open(0) as camera, camera.stream("YUY2:1280x720@30") as stream:
        frame = stream.read()
        frame.save("frame.png")

Importing quorvex sets QX_RELEASE_GIL=camera (unless it is set) before pyQuorvexSDK is first
imported, so that a waiting read never stops other threads or an asyncio event loop.
"""

from importlib.metadata import PackageNotFoundError
from importlib.metadata import version as _distribution_version

from . import export
from ._library import LockModeWarning, release_mode, set_log_level
from .calibration import Intrinsics
from .camera import Camera, CameraInfo, camera_count, cameras, open
from .controls import Control, Controls
from .firmware import BootData, Firmware
from .errors import BusyError, DisconnectedError, NotOpenError, NotSupportedError, QuorvexError, TimeoutError
from .export import export_mcap, export_mp4
from .formats import PIXEL_FORMATS, Format, FormatQuery
from .frame import Frame
from .imu import Orientation
from .pixels import to_bgr, to_rgb
from .playback import EndOfRecording, RecordedCamera, RecordedStream
from .recording import Recorder, record
from .recording_file import Recording, RecordingError, open_recording
from .routes import Routes, load_routes, reset_routes
from .stream import Stream
from .sync import FrameGroup, Synchronized, synchronized
from .watch import CameraAdded, CameraRemoved, Watch, watch

try:
    __version__ = _distribution_version("pyQuorvexSDK")
except PackageNotFoundError:  # run from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "BootData",
    "BusyError",
    "Camera",
    "CameraAdded",
    "CameraInfo",
    "CameraRemoved",
    "Control",
    "Controls",
    "DisconnectedError",
    "EndOfRecording",
    "Firmware",
    "Format",
    "FormatQuery",
    "Frame",
    "FrameGroup",
    "Intrinsics",
    "LockModeWarning",
    "NotOpenError",
    "NotSupportedError",
    "Orientation",
    "PIXEL_FORMATS",
    "QuorvexError",
    "RecordedCamera",
    "RecordedStream",
    "Recorder",
    "Recording",
    "RecordingError",
    "Routes",
    "Stream",
    "Synchronized",
    "TimeoutError",
    "Watch",
    "__version__",
    "camera_count",
    "cameras",
    "export",
    "export_mcap",
    "export_mp4",
    "load_routes",
    "open",
    "open_recording",
    "record",
    "release_mode",
    "reset_routes",
    "set_log_level",
    "synchronized",
    "to_bgr",
    "to_rgb",
    "watch",
]
