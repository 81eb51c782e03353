"""quorvex record: frames from one camera or several into a recording, with a progress bar."""

import argparse
import contextlib
import pathlib
import sys

from .. import camera as cameras_module
from ..recording import CODECS, record, video_recorder
from ..recording_file import SUFFIX
from .._files import check_target
from ..progress import TerminalBar
from . import camera_argument, check_seconds

NAME = "record"
HELP = f"record frames from cameras into a recording ({SUFFIX}) that the emulated library can replay"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("output", type=pathlib.Path, help=f"recording to write, e.g. session{SUFFIX}")
    parser.add_argument("--camera", type=camera_argument, action="append", default=None,
                        help="camera index, hardware ID or device path (default 0); repeat it to record"
                             " several cameras into one recording")
    parser.add_argument("--format", action="append", default=None,
                        help="PIXEL:WIDTHxHEIGHT@FPS, any part may be left out (default: the camera's first);"
                             " once for all cameras or once per --camera")
    length = parser.add_mutually_exclusive_group(required=True)
    length.add_argument("--frames", type=int, help="frames to record (of each camera)")
    length.add_argument("--seconds", type=float,
                        help="seconds to record; inf records until Ctrl-C")
    parser.add_argument("--imu", action="store_true", help="record an IMU sample with every frame")
    parser.add_argument("--codec", choices=CODECS, default="raw",
                        help="raw: a recording (default); h264 or copy (MJPG as it is): one camera into an .mp4")
    parser.add_argument("--timeout", type=float, default=5.0,
                        help="seconds to wait for a frame (default 5; inf: no limit)")
    parser.add_argument("--overwrite", action="store_true",
                        help="replace an existing output file (a link there is replaced, not what it points to)")


def run(args: argparse.Namespace) -> int:
    if args.frames is not None and args.frames < 1:
        raise ValueError(f"--frames must be 1 or more, not {args.frames}")
    if args.seconds is not None and not args.seconds > 0:  # NaN included
        raise ValueError(f"--seconds must be above 0 (inf: until Ctrl-C), not {args.seconds}")
    check_seconds("--timeout", args.timeout)
    cameras = args.camera or [0]
    if len(set(cameras)) < len(cameras):
        raise ValueError(f"--camera names a camera twice: {' '.join(str(c) for c in cameras)}")
    formats = args.format or [None]
    if len(formats) == 1:
        formats = formats * len(cameras)
    elif len(formats) != len(cameras):
        raise ValueError(f"--format is given {len(formats)} times for {len(cameras)} cameras: once for all, or once"
                         " per --camera")
    if args.codec != "raw":
        if len(cameras) > 1:
            raise ValueError(f"--codec {args.codec} records one camera, not {len(cameras)}")
        if args.output.suffix.lower() != ".mp4":
            raise ValueError(f"--codec {args.codec} writes an .mp4 file, not {args.output.name}")
        try:
            video_recorder(args.codec)
        except ImportError as missing:
            print(f"quorvex record: {missing}", file=sys.stderr)
            return 1
    check_target(args.output, overwrite=args.overwrite)  # before the cameras start
    args.output.parent.mkdir(parents=True, exist_ok=True)
    bar = TerminalBar("recording", None if args.frames is None else args.frames * len(cameras), "frame")
    try:
        try:
            with contextlib.ExitStack() as opened:
                streams = []
                for camera_id, format in zip(cameras, formats):
                    camera = opened.enter_context(cameras_module.open(camera_id))
                    streams.append(opened.enter_context(camera.stream(format)))
                result = record(streams, args.output, frames=args.frames, seconds=args.seconds, imu=args.imu,
                                codec=None if args.codec == "raw" else args.codec, progress=bar,
                                timeout=args.timeout, overwrite=args.overwrite)
        finally:
            bar.close()  # a failure's line then starts a line of its own
    except KeyboardInterrupt:
        print(f"quorvex record: interrupted; {args.output} holds the frames recorded until then", file=sys.stderr)
        return 130
    print(f"recorded {result}")
    return 0 if result.dropped == 0 else 2
