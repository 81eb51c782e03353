"""Reads the three built-in emulated cameras in step: one frame of each per moment.

    python examples/synchronized_cameras.py [--seconds 10] [--tolerance 0.017]

Each camera streams 640x480 at 30 frames a second; quorvex.synchronized matches their frames by
the cameras' clocks, reset together at the start (or, where a camera cannot reset its clock, by
the time each frame arrived). Prints how many groups came, the clock used, the largest time
skew within a group and how many frames of each camera found no partner.
"""

import argparse
import math
import threading

import quorvex

FORMATS = ["YUY2:640x480@30", "UYVY:640x480@30", "YUY2:640x480@30"]


def run(seconds: float, tolerance: float) -> None:
    with quorvex.open(0) as first, quorvex.open(1) as second, quorvex.open(2) as third, \
            first.stream(FORMATS[0], timeout=2.0) as a, second.stream(FORMATS[1], timeout=2.0) as b, \
            third.stream(FORMATS[2], timeout=2.0) as c:
        groups = 0
        largest = 0.0
        with quorvex.synchronized([a, b, c], tolerance) as cameras:
            # close() from another thread ends the loop, also while no group is forming.
            timer = threading.Timer(seconds, cameras.close)
            timer.start()
            try:
                for group in cameras:
                    groups += 1
                    largest = max(largest, group.skew)
            finally:
                timer.cancel()
        print(f"{groups} groups of 3 frames in {seconds:g} s, matched by the {cameras.clock} clock")
        print(f"largest skew within a group: {largest * 1000:.1f} ms (tolerance {tolerance * 1000:.1f} ms)")
        print("unmatched frames: " + ", ".join(f"camera {index}: {count}"
                                               for index, count in enumerate(cameras.unmatched)))


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--tolerance", type=float, default=0.017,
                        help="seconds (default 0.017: free-running cameras at 30 fps are up to half a frame apart)")
    args = parser.parse_args()
    if not 0 < args.seconds < math.inf:
        raise SystemExit(f"--seconds must be a positive number, not {args.seconds}")
    try:
        run(args.seconds, args.tolerance)
    except (quorvex.QuorvexError, LookupError, ValueError) as failure:
        raise SystemExit(str(failure)) from None


if __name__ == "__main__":
    main()
