"""quorvex bridge: the cameras live in Foxglove (or any tool speaking its WebSocket protocol)."""

import argparse
import sys

from .. import set_log_level

NAME = "bridge"
HELP = "publish the cameras live to Foxglove through its WebSocket protocol: images, calibration, IMU"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    from ..bridge import DEFAULT_HOST, DEFAULT_PORT, DEFAULT_QUALITY

    parser.add_argument("--host", default=DEFAULT_HOST,
                        help=f"address to listen on (default {DEFAULT_HOST}: this machine only; 0.0.0.0 lets anyone "
                             "on the network watch the cameras, without any password)")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT,
                        help=f"port to listen on (default {DEFAULT_PORT}, Foxglove's; 0 picks a free one)")
    parser.add_argument("--camera", type=int, action="append", metavar="N",
                        help="camera to publish (default: every camera found); repeat for several")
    parser.add_argument("--format", default=None,
                        help="PIXEL:WIDTHxHEIGHT@FPS of every camera, any part may be left out (default: each "
                             "camera's first)")
    parser.add_argument("--quality", type=int, default=DEFAULT_QUALITY,
                        help=f"JPEG quality, 1 to 100, of frames that are not JPEG already (default {DEFAULT_QUALITY})")
    parser.add_argument("--allow-origin", action="append", default=[], metavar="ORIGIN",
                        help="web page origin (scheme://host[:port]) that may connect, besides Foxglove's web app "
                             "and pages served by this machine; repeat for several")


def run(args: argparse.Namespace) -> int:
    from .._net import is_loopback
    from ..bridge import Bridge

    if not getattr(args, "verbose", False):
        set_log_level("error")  # a camera's reconnecting is the bridge's business
    bridge = Bridge(args.camera, host=args.host, port=args.port, format=args.format, quality=args.quality,
                    allowed_origins=args.allow_origin)
    try:
        bridge.start()
    except ImportError as missing:
        print(f"quorvex bridge: {missing}", file=sys.stderr)
        return 1
    try:
        for feed in bridge.feeds:
            extras = ", ".join(name for name, channel in (("calibration", feed.calibration), ("IMU", feed.imu))
                               if channel is not None)
            print(f"quorvex bridge: camera {feed.index} ({feed.camera.info.name}) {feed.stream.format} on "
                  f"{feed.image.topic()}" + (f", with {extras}" if extras else ""), file=sys.stderr)
        if not is_loopback(args.host):
            print(f"quorvex bridge: warning: {args.host} is reached from other machines, and anyone there can "
                  "watch the cameras (the protocol has no password)", file=sys.stderr)
        print(f"quorvex bridge: serving on {args.host} port {bridge.port} (Ctrl+C stops it); connect to:",
              file=sys.stderr, flush=True)
        print(bridge.url, flush=True)  # alone on standard output, for a script to read
        told: dict[int, str | None] = {feed.index: None for feed in bridge.feeds}
        while not bridge.wait(1.0):
            for feed in bridge.feeds:
                state = feed.error or (None if feed.camera.is_connected else "unplugged; waiting for it to come back")
                if state != told[feed.index]:
                    print(f"quorvex bridge: camera {feed.index}: {state or 'streaming again'}", file=sys.stderr,
                          flush=True)
                    told[feed.index] = state
    except KeyboardInterrupt:
        bridge.close()
        print("quorvex bridge: stopped", file=sys.stderr)
        return 130
    finally:
        bridge.close()
    return 0
