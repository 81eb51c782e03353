"""quorvex viewer: the cameras in a web browser, served on this machine."""

import argparse
import pathlib
import socket
import sys

NAME = "viewer"
HELP = "show the cameras live in a web browser: formats, controls, snapshots, IMU, firmware"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--host", default="127.0.0.1",
                        help="address to listen on (default 127.0.0.1: this machine only)")
    parser.add_argument("--port", type=int, default=8000, help="port to listen on (default 8000; 0 picks a free one)")
    parser.add_argument("--camera", type=int, action="append", metavar="N",
                        help="camera to show first (default 0); repeat to show several side by side")
    parser.add_argument("--recordings", type=pathlib.Path, default=pathlib.Path("recordings"), metavar="DIR",
                        help="folder the record button writes to (default ./recordings)")
    parser.add_argument("--recording", type=pathlib.Path, action="append", metavar="FILE",
                        help="recording to play in a panel of its own, looping; repeat for several")


def run(args: argparse.Namespace) -> int:
    try:
        from ..viewer.device import camera_count, report_errors_only
        from ..viewer.server import ViewerServer, create_app
    except ImportError as missing:
        print(f"quorvex viewer: {missing.name} is missing; install it with: pip install 'pyQuorvexSDK[viewer]'",
              file=sys.stderr)
        return 1
    if not 0 <= args.port <= 65535:
        print(f"quorvex viewer: port {args.port} is not between 0 and 65535", file=sys.stderr)
        return 1
    if not getattr(args, "verbose", False):  # quorvex --verbose viewer keeps the library's whole log
        report_errors_only()
    count = camera_count()
    shown = args.camera or ([0] if count or not args.recording else [])
    for index in shown:
        if not 0 <= index < count:
            print(f"quorvex viewer: no camera {index} ({count} found)", file=sys.stderr)
            return 1
    try:
        app = create_app(shown, args.recordings, args.recording)
    except (OSError, ValueError) as error:  # RecordingError is a ValueError
        print(f"quorvex viewer: cannot play the recording: {error}", file=sys.stderr)
        return 1
    try:
        # Bound here, so that the address printed is the one listening (port 0 included).
        family = socket.getaddrinfo(args.host, args.port, type=socket.SOCK_STREAM)[0][0]
        listener = socket.create_server((args.host, args.port), family=family)
    except OSError as error:
        print(f"quorvex viewer: cannot listen on {args.host}:{args.port}: {error.strerror or error}", file=sys.stderr)
        return 1
    host, port = listener.getsockname()[:2]
    shown_url = f"[{host}]" if ":" in host else host
    print(f"quorvex viewer: serving http://{shown_url}:{port}/ (Ctrl+C stops it)", file=sys.stderr, flush=True)
    server = ViewerServer(app)
    try:
        server.run(sockets=[listener])
    except KeyboardInterrupt:
        pass  # the way to stop it; uvicorn has shut down in order by then
    finally:
        listener.close()
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="quorvex viewer", description=HELP)
    add_arguments(parser)
    return run(parser.parse_args(argv))
