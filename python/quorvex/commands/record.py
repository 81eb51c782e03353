"""quorvex record: frames from a camera into a recording, with a progress bar."""

import argparse
import pathlib
import sys

from .. import camera as cameras_module
from ..recording import record
from ..recording_file import SUFFIX
from .._files import check_target
from ..progress import TerminalBar
from . import camera_argument, check_seconds

NAME = "record"
HELP = f"record frames from a camera into a recording ({SUFFIX}) that the emulated library can replay"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("output", type=pathlib.Path, help=f"recording to write, e.g. session{SUFFIX}")
    parser.add_argument("--camera", type=camera_argument, default=0,
                        help="camera index, hardware ID or device path (default 0)")
    parser.add_argument("--format", default=None,
                        help="PIXEL:WIDTHxHEIGHT@FPS, any part may be left out (default: the camera's first)")
    length = parser.add_mutually_exclusive_group(required=True)
    length.add_argument("--frames", type=int, help="frames to record")
    length.add_argument("--seconds", type=float,
                        help="seconds to record; inf records until Ctrl-C")
    parser.add_argument("--imu", action="store_true", help="record an IMU sample with every frame")
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
    check_target(args.output, overwrite=args.overwrite)  # before the camera starts
    args.output.parent.mkdir(parents=True, exist_ok=True)
    bar = TerminalBar("recording", args.frames, "frame")
    try:
        with cameras_module.open(args.camera) as camera, camera.stream(args.format) as stream:
            result = record(stream, args.output, frames=args.frames, seconds=args.seconds, imu=args.imu,
                            progress=bar, timeout=args.timeout, overwrite=args.overwrite)
    except KeyboardInterrupt:
        bar.close()
        print(f"quorvex record: interrupted; {args.output} holds the frames recorded until then", file=sys.stderr)
        return 130
    bar.close()
    print(f"recorded {result}")
    return 0 if result.dropped == 0 else 2
