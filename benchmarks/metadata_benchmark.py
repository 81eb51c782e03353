"""What the frame metadata costs a quorvex read, measured on an unpaced emulated camera.

    python benchmarks/metadata_benchmark.py [--seconds 1.0] [--rounds 7]

Four ways of capturing the same 640x480 YUY2 frames are timed in turns, round after round:

- bare: pyQuorvexSDK.QxGetImage from Python;
- plain read: Stream.read() without the metadata (the stream's switch for this benchmark);
- read: Stream.read() as users get it, with the camera's clock and frame counter;
- read, exposure and gain: a stream made with exposure_and_gain=True.

It prints the per-frame medians, then what the metadata and exposure-and-gain add as a share
of a plain read (medians of the per-round ratios, so that drift in the machine's speed cancels
out), against the goal: the metadata under 3% of a read.
"""

import argparse
import pathlib
import statistics
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import quorvex  # noqa: E402  (first: it chooses how pyQuorvexSDK treats the interpreter lock)
import pyQuorvexSDK as qx  # noqa: E402
import qx_emulator  # noqa: E402
from capture_benchmark import per_frame, timed_loop  # noqa: E402

GOAL = 0.03
TIMEOUT_MS = 1000
CONFIGURATION = """
pacing: false
cameras:
  - {name: Benchmark Camera, path: /dev/video0, interface: usb, product: zena, hardware_id: BENCH,
     formats: [{format: YUY2, sizes: [640x480], fps: [30]}]}
"""


def read_loop(stream):
    def run(frames):
        return timed_loop(lambda: (0, stream.read().data))(frames)
    return run


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=1.0, help="time per measurement")
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()

    if not qx_emulator.configure(CONFIGURATION):
        raise SystemExit("the emulator refused the benchmark configuration")
    qx_emulator.set_journalling(False)  # a user's program keeps no journal of its calls
    with quorvex.open(0) as camera:
        fmt = camera.formats[0]
        plain = camera.stream(fmt, timeout=TIMEOUT_MS / 1000)
        plain._metadata = False
        described = camera.stream(fmt, timeout=TIMEOUT_MS / 1000)
        both = camera.stream(fmt, timeout=TIMEOUT_MS / 1000, exposure_and_gain=True)
        # One stream runs at a time: each starts the camera's stream with the same format.
        loops = {
            "bare": (None, timed_loop(lambda: qx.QxGetImage(camera.handle, TIMEOUT_MS, fmt.qx_format))),
            "plain read": (plain, read_loop(plain)),
            "read": (described, read_loop(described)),
            "read, exposure and gain": (both, read_loop(both)),
        }
        samples = {name: [] for name in loops}
        for round_ in range(args.rounds + 1):
            for name, (stream, run) in loops.items():
                if stream is None:
                    qx.QxStartStreaming(camera.handle)
                else:
                    stream.start()
                time = per_frame(run, args.seconds if round_ else args.seconds / 4)
                if round_:  # the first round warms caches
                    samples[name].append(time)
                if stream is None:
                    qx.QxStopStreaming(camera.handle)
                else:
                    stream.stop()

    def share(name):
        return statistics.median(a / b - 1 for a, b in zip(samples[name], samples["plain read"]))

    print(f"{'640x480 YUY2, per frame':<28}{'median':>10}{'/ bare':>9}")
    for name, values in samples.items():
        ratio = statistics.median(a / b for a, b in zip(values, samples["bare"]))
        print(f"{name:<28}{statistics.median(values) * 1e6:>8.1f}us{ratio:>9.3f}")
    metadata, extra = share("read"), share("read, exposure and gain")
    print()
    print(f"metadata (clock + counter):        +{metadata * 100:5.2f}% of a plain read")
    print(f"with exposure and gain:            +{extra * 100:5.2f}% of a plain read")
    print(f"goal: metadata under {GOAL:.0%} of a read: {'met' if metadata < GOAL else 'MISSED'}")


if __name__ == "__main__":
    main()
