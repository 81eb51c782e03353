"""quorvex's pixel conversion against OpenCV and Pillow, at 1920x1080, side by side in one run.

    python benchmarks/convert_benchmark.py [--rounds 15] [--repeat 20]

Frames come from the emulated camera 0 (the test pattern). Per round the two candidates are
called in alternation, `repeat` times each, every call timed on its own, so that a busy
machine slows both alike; a round's ratio is quorvex's total time over the reference's. Times
are medians over all calls, ratios the medians of the per-round ratios:

- YUY2, UYVY, NV12 to RGB: quorvex.to_rgb against cv2.cvtColor (OpenCV with its default threads);
  goal: ratio at most 1.0;
- MJPG to RGB: quorvex.to_rgb against Pillow's decode (Image.open(...).load(), already RGB);
  goal: ratio at most 1.1.

Needs opencv-python-headless and Pillow (pip install opencv-python-headless pillow).
"""

import argparse
import io
import statistics
import time
from collections.abc import Callable

import cv2
import numpy as np
from PIL import Image

import quorvex

CASES = [
    ("YUY2", "COLOR_YUV2RGB_YUY2", 1.0),
    ("UYVY", "COLOR_YUV2RGB_UYVY", 1.0),
    ("NV12", "COLOR_YUV2RGB_NV12", 1.0),
    ("MJPG", None, 1.1),
]


def frame_of(pixel_format: str) -> quorvex.Frame:
    with quorvex.open(0) as camera, camera.stream(f"{pixel_format}:1920x1080") as stream:
        return stream.read(5.0)


def reference(frame: quorvex.Frame, code: str | None) -> Callable[[], object]:
    width, height, data = frame.width, frame.height, frame.data
    if code is None:
        payload = data.tobytes()

        def pillow() -> object:
            with Image.open(io.BytesIO(payload)) as picture:
                picture.load()
                return picture.mode

        return pillow
    shaped = data.reshape(height * 3 // 2, width) if frame.pixel_format == "NV12" else data.reshape(height, width, 2)
    conversion = getattr(cv2, code)
    return lambda: cv2.cvtColor(shaped, conversion)


def alternating(ours: Callable[[], object], theirs: Callable[[], object], repeat: int) -> tuple[list[float], list[float]]:
    """Seconds of each call, the two called in turns."""
    mine, other = [], []
    for _ in range(repeat):
        begun = time.perf_counter()
        ours()
        middle = time.perf_counter()
        theirs()
        other.append(time.perf_counter() - middle)
        mine.append(middle - begun)
    return mine, other


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--repeat", type=int, default=20)
    args = parser.parse_args()
    print(f"OpenCV {cv2.__version__} ({cv2.getNumThreads()} threads), Pillow {Image.__version__}, "
          f"{args.rounds} rounds of {args.repeat} calls, 1920x1080")
    for pixel_format, code, goal in CASES:
        frame = frame_of(pixel_format)
        ours = frame.to_rgb
        theirs = reference(frame, code)
        if code is not None:
            np.testing.assert_allclose(ours(), theirs(), atol=2)  # type: ignore[arg-type]
        alternating(ours, theirs, args.repeat)  # warming up: caches, thread pools, lazy loading
        ours_times, theirs_times, ratios = [], [], []
        for _ in range(args.rounds):
            mine, other = alternating(ours, theirs, args.repeat)
            ours_times += mine
            theirs_times += other
            ratios.append(sum(mine) / sum(other))
        ratio = statistics.median(ratios)
        name = "Pillow decode" if code is None else "OpenCV cvtColor"
        verdict = "met" if ratio <= goal else "MISSED"
        print(f"{pixel_format} -> RGB: quorvex {statistics.median(ours_times) * 1000:.2f} ms, "
              f"{name} {statistics.median(theirs_times) * 1000:.2f} ms, ratio {ratio:.2f} "
              f"(goal <= {goal}: {verdict})")


if __name__ == "__main__":
    main()
