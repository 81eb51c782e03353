"""quorvex export: a recording as MP4 video (H.264) or as MCAP for robotics log viewers."""

import argparse
import pathlib
import sys
import warnings

from .._files import check_target
from ..export import EXPORTERS, export, require
from ..progress import TerminalBar
from ..recording_file import open_recording

NAME = "export"
HELP = f"export a recording by the output's suffix: {', '.join(EXPORTERS)} (needs pyQuorvexSDK[export])"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("input", type=pathlib.Path, help="recording to read")
    parser.add_argument("output", type=pathlib.Path, help="file to write: OUT.mp4 or OUT.mcap")
    parser.add_argument("--format", default=None,
                        help="MP4: the recorded format to export, e.g. MJPG or YUY2:640x480 (default: the first)")
    parser.add_argument("--copy", action="store_true",
                        help="MP4 of MJPG frames: store the JPEG frames as they are instead of encoding H.264")
    parser.add_argument("--camera", type=int, default=None,
                        help="the camera to export from a recording of several (MP4 needs one; MCAP holds all without it)")
    parser.add_argument("--overwrite", action="store_true",
                        help="replace an existing output file (a link there is replaced, not what it points to)")


def run(args: argparse.Namespace) -> int:
    mp4 = args.output.suffix.lower() == ".mp4"
    if (args.copy or args.format is not None) and not mp4:
        raise ValueError("--copy and --format apply to MP4 files only")
    check_target(args.output, overwrite=args.overwrite, inputs=[args.input])
    require(args.output)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", RuntimeWarning)
        recording = open_recording(args.input)
    for warning in caught:  # a recording cut short: what comes before it is exported
        print(f"quorvex export: warning: {warning.message}", file=sys.stderr)
    args.output.parent.mkdir(parents=True, exist_ok=True)
    shown = recording.view(args.camera) if args.camera is not None and recording.camera_count > 1 else recording
    bar = TerminalBar("exporting", len(shown), "frame")
    try:
        count = export(recording, args.output, pixel_format=args.format, copy=args.copy, progress=bar,
                       overwrite=args.overwrite, camera=args.camera)
    finally:
        bar.close()
    print(f"exported {count} frames of {args.input} to {args.output}")
    return 0
