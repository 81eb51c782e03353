"""quorvex snapshot: one frame from a camera, saved as a picture."""

import argparse
import pathlib

from .. import camera as cameras_module
from .._files import check_target
from . import camera_argument, check_seconds

NAME = "snapshot"
HELP = "capture one frame and save it as a picture (PNG, JPEG, ... by the file's suffix)"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("output", type=pathlib.Path, help="picture file to write, e.g. out.png")
    parser.add_argument("--camera", type=camera_argument, default=0,
                        help="camera index, hardware ID or device path (default 0)")
    parser.add_argument("--format", default=None,
                        help="PIXEL:WIDTHxHEIGHT@FPS, any part may be left out (default: the camera's first)")
    parser.add_argument("--skip", type=int, default=0,
                        help="frames to drop first, letting automatic exposure settle (default 0)")
    parser.add_argument("--timeout", type=float, default=5.0,
                        help="seconds to wait for a frame (default 5; inf: no limit)")
    parser.add_argument("--overwrite", action="store_true",
                        help="replace an existing picture file (a link there is replaced, not what it points to)")


def run(args: argparse.Namespace) -> int:
    if args.skip < 0:
        raise ValueError(f"--skip must be 0 or more, not {args.skip}")
    check_seconds("--timeout", args.timeout)
    check_target(args.output, overwrite=args.overwrite)  # before the camera starts
    with cameras_module.open(args.camera) as camera, camera.stream(args.format) as stream:
        for _ in range(args.skip):
            stream.read(args.timeout)
        frame = stream.read(args.timeout)
        name = camera.info.name
    args.output.parent.mkdir(parents=True, exist_ok=True)
    frame.save(args.output, overwrite=args.overwrite)
    print(f"saved {args.output} ({frame.format}, frame {frame.index}, camera {camera.index}: {name})")
    return 0
