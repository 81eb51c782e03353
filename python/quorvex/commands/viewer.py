"""quorvex viewer: the cameras in a web browser, served on this machine."""

import argparse
import pathlib
import socket
import sys

from .. import camera_count, set_log_level
from .._net import is_loopback

NAME = "viewer"
HELP = "show the cameras live in a web browser: formats, controls, snapshots, IMU, firmware"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--host", default="127.0.0.1",
                        help="address to listen on (default 127.0.0.1: this machine only; 0.0.0.0 lets anyone "
                             "on the network who has the printed address with its token use the cameras)")
    parser.add_argument("--port", type=int, default=8000, help="port to listen on (default 8000; 0 picks a free one)")
    parser.add_argument("--camera", type=int, action="append", metavar="N",
                        help="camera to show first (default 0); repeat to show several side by side")
    parser.add_argument("--recordings", type=pathlib.Path, default=pathlib.Path("recordings"), metavar="DIR",
                        help="folder the record button writes to (default ./recordings)")
    parser.add_argument("--recording", type=pathlib.Path, action="append", metavar="FILE",
                        help="recording to play in a panel of its own, looping; repeat for several")
    parser.add_argument("--no-token", action="store_true",
                        help="serve without the token (only on a loopback address such as 127.0.0.1); "
                             "any program of any user of this machine can then use the cameras")


def run(args: argparse.Namespace) -> int:
    try:
        from ..viewer.access import loopback_names, new_token
        from ..viewer.server import ViewerServer, create_app
    except ImportError as missing:
        print(f"quorvex viewer: {missing.name} is missing; install it with: pip install 'pyQuorvexSDK[viewer]'",
              file=sys.stderr)
        return 1
    if not 0 <= args.port <= 65535:
        print(f"quorvex viewer: port {args.port} is not between 0 and 65535", file=sys.stderr)
        return 1
    if not getattr(args, "verbose", False):  # quorvex --verbose viewer keeps the library's whole log
        set_log_level("error")  # the viewer reports what a camera lacks on its own
    count = camera_count()
    shown = args.camera or ([0] if count or not args.recording else [])
    for index in shown:
        if not 0 <= index < count:
            print(f"quorvex viewer: no camera {index} ({count} found)", file=sys.stderr)
            return 1
    if args.no_token and not is_loopback(args.host):
        print(f"quorvex viewer: --no-token is refused on {args.host}, which other machines reach; "
              "keep the token, or serve on 127.0.0.1 and use an SSH tunnel", file=sys.stderr)
        return 1
    try:
        # Bound here, so that the address printed is the one listening (port 0 included).
        family = socket.getaddrinfo(args.host, args.port, type=socket.SOCK_STREAM)[0][0]
        listener = socket.create_server((args.host, args.port), family=family)
    except OSError as error:
        print(f"quorvex viewer: cannot listen on {args.host}:{args.port}: {error.strerror or error}", file=sys.stderr)
        return 1
    host, port = listener.getsockname()[:2]
    local = is_loopback(host)
    token = None if args.no_token else new_token()
    try:
        # Bound to loopback, it answers only to this machine's own names, which a page of
        # another site cannot take (DNS rebinding); elsewhere the token alone guards it.
        app = create_app(shown, args.recordings, args.recording, token=token,
                         hosts=loopback_names(host) if local else None)
    except (OSError, ValueError) as error:  # RecordingError is a ValueError
        listener.close()
        print(f"quorvex viewer: cannot play the recording: {error}", file=sys.stderr)
        return 1
    if local:
        where = f"serving on {host} port {port}, for this machine only"
    else:
        where = (f"serving on {host} port {port}: anyone who can reach this machine and has the address below "
                 "can watch and change the cameras; from another machine, put this machine's name in it")
    print(f"quorvex viewer: {where} (Ctrl+C stops it); open:", file=sys.stderr, flush=True)
    # The address alone on standard output, for a script to read.
    shown_host = {"0.0.0.0": "127.0.0.1", "::": "::1"}.get(host, host)
    shown_host = f"[{shown_host}]" if ":" in shown_host else shown_host
    print(f"http://{shown_host}:{port}/" + (f"?token={token}" if token else ""), flush=True)
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
