"""What the frame metadata costs a quorvex read, measured on an unpaced emulated camera.

    python benchmarks/metadata_benchmark.py [--seconds 10]

Four ways of capturing the same 640x480 YUY2 frames from one stream are timed frame by frame,
in turns, round after round, on the main thread and then on a worker thread:

- bare: pyQuorvexSDK.QxGetImage from Python;
- plain read: Stream.read() without the metadata (the stream's switch for this benchmark);
- read: Stream.read() as users get it, with the camera's clock and frame counter;
- read, exposure and gain: as with exposure_and_gain=True.

It prints the per-frame medians, what the metadata adds to a plain read and what exposure and
gain add on top (medians of the differences within each round, so that drift in the machine's
speed cancels out), as a share of a plain read, and the goal: the metadata under 3% of a read.
"""

import argparse
import contextlib
import statistics
import threading
import time

import quorvex  # first: it chooses how pyQuorvexSDK treats the interpreter lock
import pyQuorvexSDK as qx
import qx_emulator

GOAL = 0.03
TIMEOUT_MS = 1000
# One camera per variant, alike but for the path: each stream's frame counter then goes up by one
# from read to read, as in a program that reads every frame, rather than by the frames another
# variant took in between.
CONFIGURATION = "pacing: false\ncameras:\n" + "".join(
    f"  - {{name: Benchmark Camera, path: /dev/video{index}, interface: usb, product: zena, hardware_id: BENCH,\n"
    f"     formats: [{{format: YUY2, sizes: [640x480], fps: [30]}}]}}\n" for index in range(4))
VARIANTS = ("bare QxGetImage", "plain read", "read", "read, exposure and gain")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=10.0, help="time of the whole measurement")
    args = parser.parse_args()

    if not qx_emulator.configure(CONFIGURATION):
        raise SystemExit("the emulator refused the benchmark configuration")
    qx_emulator.set_journalling(False)  # a user's program keeps no journal of its calls
    with contextlib.ExitStack() as opened:
        streams = []
        for index in range(len(VARIANTS)):
            camera = opened.enter_context(quorvex.open(index))
            streams.append(opened.enter_context(camera.stream(camera.formats[0], timeout=TIMEOUT_MS / 1000,
                                                              exposure_and_gain=index == 3)))
        streams[1]._metadata = False  # the stream's switch for this benchmark: a read without it
        # The main thread's reads wait on the module's helper thread (so that Ctrl-C ends a long
        # wait); a worker thread's wait in the call itself, which makes its reads the cheaper
        # and the metadata's share the larger.
        results = {"main thread": measure(streams, args.seconds / 2)}
        worker = threading.Thread(target=lambda: results.update({"worker thread": measure(streams, args.seconds / 2)}))
        worker.start()
        worker.join()
    verdicts = [f"{where} {'met' if report(where, samples) else 'MISSED'}" for where, samples in results.items()]
    print(f"goal: metadata under {GOAL:.0%} of a read: {', '.join(verdicts)}")


def measure(streams, seconds):
    """Per-frame times of each variant, in nanoseconds, read in turns on the calling thread."""
    clock = time.perf_counter_ns
    bare_stream = streams[0]
    handle, qx_format = bare_stream.camera.handle, bare_stream.format.qx_format

    def bare():
        result, data = qx.QxGetImage(handle, TIMEOUT_MS, qx_format)
        if result != qx.QX_SUCCESS:
            raise SystemExit(f"capture failed: {result}")

    variants = dict(zip(VARIANTS, [bare, *(stream.read for stream in streams[1:])]))
    for run in list(variants.values()) * 20:
        run()  # warm caches
    # Every variant reads one frame in turn, the order reversed each round: a busy machine
    # slows neighbouring frames alike, and the medians of the differences ignore the frames
    # another program interrupted.
    samples = {name: [] for name in variants}
    order = list(variants.items())
    deadline = time.perf_counter() + seconds
    while time.perf_counter() < deadline or len(samples["read"]) < 100:
        order.reverse()
        for name, run in order:
            start = clock()
            run()
            samples[name].append(clock() - start)
    return samples


def report(where, samples):
    """Prints one thread's figures; whether the metadata stayed under the goal."""
    def median(name):
        return statistics.median(samples[name]) / 1e3

    def added(name, to):
        return statistics.median(a - b for a, b in zip(samples[name], samples[to])) / 1e3

    plain = median("plain read")
    print(f"640x480 YUY2 unpaced, {where}, per frame, median of {len(samples['read'])} rounds")
    for name in samples:
        print(f"  {name:<28}{median(name):>8.1f}us")
    metadata = added("read", "plain read")
    extra = added("read, exposure and gain", "read")
    print(f"  {'':<34}{'added':>9}{'/ plain read':>14}")
    print(f"  {'metadata (clock + counter)':<34}{metadata:>7.2f}us{metadata / plain * 100:>13.2f}%")
    print(f"  {'exposure and gain on top':<34}{extra:>7.2f}us{extra / plain * 100:>13.2f}%")
    print()
    return metadata / plain < GOAL


if __name__ == "__main__":
    main()
