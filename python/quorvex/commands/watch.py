"""quorvex watch: a line for every camera plugged in or unplugged, until Ctrl-C."""

import argparse

from ..watch import CameraAdded, watch

NAME = "watch"
HELP = "print a line whenever a camera is plugged in or unplugged, until Ctrl-C"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--interval", type=float, default=1.0,
                        help="seconds between two looks for cameras (default 1)")
    parser.add_argument("--count", type=int, default=None,
                        help="end after this many lines (default: run until Ctrl-C)")


def run(args: argparse.Namespace) -> int:
    if args.count is not None and args.count < 1:
        raise ValueError(f"--count must be 1 or more, not {args.count}")
    try:
        watcher = watch(args.interval)
        for shown, event in enumerate(watcher, start=1):
            info = event.camera
            what = "added" if isinstance(event, CameraAdded) else "removed"
            print(f"{what} [{info.index}] {info.name} ({info.path or 'path unknown'}, "
                  f"{info.unique_id or 'no unique ID'})", flush=True)
            if shown == args.count:
                break
    except KeyboardInterrupt:
        pass  # the way to end it
    return 0
