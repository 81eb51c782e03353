"""The `viewer` subcommand of the `quorvex` command line."""

from __future__ import annotations

import argparse
import sys


def add_parser(subcommands: argparse._SubParsersAction) -> argparse.ArgumentParser:  # type: ignore[type-arg]
    parser = subcommands.add_parser("viewer", help="show the cameras in a web browser",
                                    description="Serves a page that shows the cameras live, with their "
                                                "formats, controls, IMU and firmware.")
    configure(parser)
    return parser


def configure(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--host", default="127.0.0.1",
                        help="address to listen on (default 127.0.0.1: this machine only)")
    parser.add_argument("--port", type=int, default=8000, help="port to listen on (default 8000; 0 picks a free one)")
    parser.add_argument("--camera", type=int, action="append",
                        help="camera to show first (default 0); repeat to show several side by side")
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    try:
        import uvicorn

        from .server import create_app
        from .device import camera_count
    except ImportError as error:
        print(f"quorvex viewer: {error.name} is missing; install the viewer with: pip install 'pyQuorvexSDK[viewer]'",
              file=sys.stderr)
        return 1
    shown = args.camera or [0]
    count = camera_count()
    unknown = [index for index in shown if not 0 <= index < count]
    if unknown:
        print(f"quorvex viewer: no camera {unknown[0]} (found {count})", file=sys.stderr)
        return 1
    if not 0 <= args.port <= 65535:
        print(f"quorvex viewer: port {args.port} is not between 0 and 65535", file=sys.stderr)
        return 1
    print(f"quorvex viewer: serving http://{args.host}:{args.port}/ (Ctrl+C stops it)", file=sys.stderr)
    uvicorn.run(create_app(shown), host=args.host, port=args.port, log_level="warning")
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="quorvex viewer", description="Shows the cameras in a web browser.")
    configure(parser)
    args = parser.parse_args(argv)
    return int(args.run(args))


if __name__ == "__main__":
    sys.exit(main())
