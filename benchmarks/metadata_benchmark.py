"""What the frame metadata costs a quorvex read, measured on an unpaced emulated camera.

    python benchmarks/metadata_benchmark.py [--seconds 10]

Four ways of capturing the same 640x480 YUY2 frames from one stream are timed frame by frame,
in turns, round after round:

- bare: pyQuorvexSDK.QxGetImage from Python;
- plain read: Stream.read() without the metadata (the stream's switch for this benchmark);
- read: Stream.read() as users get it, with the camera's clock and frame counter;
- read, exposure and gain: as with exposure_and_gain=True.

It prints the per-frame medians, what the metadata adds to a plain read and what exposure and
gain add on top (medians of the differences within each round, so that drift in the machine's
speed cancels out), as a share of a plain read, and the goal: the metadata under 3% of a read.
"""

import argparse
import statistics
import time

import quorvex  # first: it chooses how pyQuorvexSDK treats the interpreter lock
import pyQuorvexSDK as qx
import qx_emulator

GOAL = 0.03
TIMEOUT_MS = 1000
CONFIGURATION = """
pacing: false
cameras:
  - {name: Benchmark Camera, path: /dev/video0, interface: usb, product: zena, hardware_id: BENCH,
     formats: [{format: YUY2, sizes: [640x480], fps: [30]}]}
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=10.0, help="time of the whole measurement")
    args = parser.parse_args()

    if not qx_emulator.configure(CONFIGURATION):
        raise SystemExit("the emulator refused the benchmark configuration")
    qx_emulator.set_journalling(False)  # a user's program keeps no journal of its calls
    clock = time.perf_counter_ns
    with quorvex.open(0) as camera, camera.stream(camera.formats[0], timeout=TIMEOUT_MS / 1000) as stream:
        handle, qx_format = camera.handle, stream.format.qx_format

        def bare():
            result, data = qx.QxGetImage(handle, TIMEOUT_MS, qx_format)
            if result != qx.QX_SUCCESS:
                raise SystemExit(f"capture failed: {result}")

        def reads(metadata, exposure_and_gain):
            def run():
                # One stream for all: the variants differ only in what the read asks for.
                stream._metadata, stream.exposure_and_gain = metadata, exposure_and_gain
                stream.read()
            return run

        variants = {"bare QxGetImage": bare, "plain read": reads(False, False), "read": reads(True, False),
                    "read, exposure and gain": reads(True, True)}
        for run in list(variants.values()) * 20:
            run()  # warm caches
        # Every variant reads one frame in turn, the order reversed each round: a busy machine
        # slows neighbouring frames alike, and the medians of the differences ignore the frames
        # another program interrupted.
        samples = {name: [] for name in variants}
        order = list(variants.items())
        deadline = time.perf_counter() + args.seconds
        while time.perf_counter() < deadline or len(samples["read"]) < 100:
            order.reverse()
            for name, run in order:
                start = clock()
                run()
                samples[name].append(clock() - start)
        stream._metadata, stream.exposure_and_gain = True, False

    def median(name):
        return statistics.median(samples[name]) / 1e3

    def added(name, to):
        return statistics.median(a - b for a, b in zip(samples[name], samples[to])) / 1e3

    plain = median("plain read")
    print(f"640x480 YUY2 unpaced, per frame, median of {len(samples['read'])} rounds")
    for name in variants:
        print(f"{name:<28}{median(name):>8.1f}us")
    metadata = added("read", "plain read")
    extra = added("read, exposure and gain", "read")
    print()
    print(f"{'':<34}{'added':>9}{'/ plain read':>14}")
    print(f"{'metadata (clock + counter)':<34}{metadata:>7.2f}us{metadata / plain * 100:>13.2f}%")
    print(f"{'exposure and gain on top':<34}{extra:>7.2f}us{extra / plain * 100:>13.2f}%")
    print(f"goal: metadata under {GOAL:.0%} of a read: {'met' if metadata / plain < GOAL else 'MISSED'}")


if __name__ == "__main__":
    main()
