"""What QxGetImage costs on top of the library, measured on unpaced emulated cameras.

    python benchmarks/capture_benchmark.py [--seconds 1.0] [--rounds 5]

For each frame format, three ways of capturing the same frames are timed in turns:

- binding: pyQuorvexSDK.QxGetImage from Python, as users call it;
- floor: a C++ loop inside qx_emulator that per frame callocs a buffer of the binding's
  capacity, lets the library's QxGetImage fill it and frees it, with no Python in between;
- copying: the straightforward binding path (zeroed buffer, then a second copy into a new
  array), called from Python like the binding.

The ratio binding / floor is the binding's whole cost; copying / floor shows what writing
straight into the returned array saves. Times are medians over the rounds; ratios are
medians of the per-round ratios. Goal: binding / floor at most 1.05 at every size.
"""

import argparse
import statistics
import time

import pyQuorvexSDK as qx
import qx_emulator

CASES = [("YUY2", 640, 480), ("BGRA", 1920, 1080), ("BGRA", 3840, 2160), ("MJPG", 1920, 1080)]
TIMEOUT_MS = 1000
GOAL = 1.05

CONFIGURATION = """
pacing: false
cameras:
  - name: Benchmark Camera
    path: /dev/video0
    interface: usb
    product: zena
    hardware_id: BENCH
    formats:
""" + "".join(
    f"      - {{format: {name}, sizes: [{width}x{height}], fps: [30]}}\n" for name, width, height in CASES
)


def per_frame(run, seconds):
    """Seconds per frame of `run(frames)`, frames chosen to last about `seconds`."""
    frames, elapsed = 4, 0.0
    while elapsed < seconds / 4:
        frames *= 2
        elapsed = run(frames)
    frames = max(1, int(frames * seconds / elapsed))
    return run(frames) / frames


def timed_loop(capture):
    def run(frames):
        start = time.perf_counter()
        for _ in range(frames):
            result, frame = capture()
            if int(result) != 0 or frame.size == 0:
                raise SystemExit(f"capture failed: {result}")
            # Like the floor loop, let the frame go before the next capture.
            del frame
        return time.perf_counter() - start
    return run


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=1.0, help="time per measurement")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()

    if not qx_emulator.configure(CONFIGURATION):
        raise SystemExit("the emulator refused the benchmark configuration")
    camera = qx.QxInitialCameraDevice(0)
    assert qx.QxOpen(camera) == 0
    status, formats = qx.QxGetFormatList(camera)
    assert status == 0 and len(formats) == len(CASES)

    print(f"{'format':<16}{'binding':>11}{'floor':>11}{'ratio':>8}{'copying':>11}{'ratio':>8}")
    missed = []
    for (name, width, height), fmt in zip(CASES, formats):
        pixel_format = fmt.format.value
        assert qx.QxSetFormat(camera, fmt) == 0 and qx.QxStartStreaming(camera) == 0
        binding = timed_loop(lambda: qx.QxGetImage(camera, TIMEOUT_MS, fmt))
        copying = timed_loop(
            lambda: qx_emulator.copying_capture(0, TIMEOUT_MS, width, height, pixel_format))

        def floor(frames):
            return qx_emulator.floor_capture(0, TIMEOUT_MS, width, height, pixel_format, frames)

        binding(20), copying(20), floor(20)  # warm caches and the MJPG ring
        samples = {"binding": [], "floor": [], "copying": []}
        for _ in range(args.rounds):
            samples["binding"].append(per_frame(binding, args.seconds))
            samples["floor"].append(per_frame(floor, args.seconds))
            samples["copying"].append(per_frame(copying, args.seconds))
        assert qx.QxStopStreaming(camera) == 0
        median = {key: statistics.median(values) for key, values in samples.items()}
        # Ratios are taken round by round, so that drift in the machine's speed cancels out.
        ratio = {key: statistics.median(a / b for a, b in zip(samples[key], samples["floor"]))
                 for key in ("binding", "copying")}
        print(f"{name} {width}x{height:<7}"
              f"{median['binding'] * 1e6:>9.1f}us{median['floor'] * 1e6:>9.1f}us{ratio['binding']:>8.3f}"
              f"{median['copying'] * 1e6:>9.1f}us{ratio['copying']:>8.3f}")
        if ratio["binding"] > GOAL:
            missed.append(f"{name} {width}x{height}")
    qx.QxClose(camera)
    print(f"goal: binding / floor <= {GOAL} at every size: "
          + (f"MISSED ({', '.join(missed)})" if missed else "met"))


if __name__ == "__main__":
    main()
