"""quorvex's pixel conversion against OpenCV and Pillow, side by side in one run.

    python benchmarks/convert_benchmark.py [--runs 5] [--rounds 15] [--repeat 20]

Frames come from the emulated camera 0 (the test pattern) at 1920x1080; the smaller frames are
cut from them. Per round the two candidates are called in alternation, `repeat` times each,
every call timed on its own, so that a busy machine slows both alike; a round's ratio is
quorvex's total time over the reference's. Times are medians over all calls, ratios the
medians of the per-round ratios. Goals, for to_rgb and to_bgr alike:

- YUY2, UYVY, NV12 against cv2.cvtColor (COLOR_YUV2RGB_* / COLOR_YUV2BGR_*, OpenCV with its
  default threads): at most 0.8 of its time at 1920x1080, at most 1.0 at 640x480 and 320x240;
- MJPG at 1920x1080 against Pillow's decode (Image.open(...).load(), RGB): at most 0.9.

`--runs N` repeats the whole comparison N times in a row, printing each run's ratios; a goal
is "met" only when every run met it.

Needs opencv-python-headless and Pillow (pip install opencv-python-headless pillow).
"""

import argparse
import io
import statistics
import time
from collections.abc import Callable
from dataclasses import dataclass

import cv2
import numpy as np
from PIL import Image

import quorvex

FULL = (1920, 1080)
SMALL = [(640, 480), (320, 240)]


@dataclass(frozen=True)
class Case:
    pixel_format: str
    width: int
    height: int
    order: str  # "rgb" or "bgr"
    goal: float

    @property
    def name(self) -> str:
        return f"{self.pixel_format} {self.width}x{self.height} to_{self.order}"


def cases() -> list[Case]:
    found = []
    for pixel_format in ("YUY2", "UYVY", "NV12"):
        for width, height in [FULL, *SMALL]:
            for order in ("rgb", "bgr"):
                found.append(Case(pixel_format, width, height, order, 0.8 if (width, height) == FULL else 1.0))
    found += [Case("MJPG", *FULL, order, 0.9) for order in ("rgb", "bgr")]
    return found


def camera_frame(pixel_format: str) -> np.ndarray:
    with quorvex.open(0) as camera, camera.stream(f"{pixel_format}:{FULL[0]}x{FULL[1]}") as stream:
        return stream.read(5.0).data


def cut(data: np.ndarray, pixel_format: str, width: int, height: int) -> np.ndarray:
    """The top left width x height of a full-size frame, as a frame of its own."""
    full_width, full_height = FULL
    if pixel_format == "NV12":
        luma = data[: full_width * full_height].reshape(full_height, full_width)[:height, :width]
        chroma = data[full_width * full_height :].reshape(full_height // 2, full_width)[: height // 2, :width]
        return np.concatenate([luma.ravel(), chroma.ravel()])
    return np.ascontiguousarray(data.reshape(full_height, full_width * 2)[:height, : width * 2]).ravel()


def candidates(case: Case, data: np.ndarray) -> tuple[Callable[[], object], Callable[[], object]]:
    width, height = case.width, case.height
    convert = quorvex.to_rgb if case.order == "rgb" else quorvex.to_bgr

    def ours() -> object:
        return convert(data, case.pixel_format, width, height)

    if case.pixel_format == "MJPG":
        payload = data.tobytes()

        def pillow() -> object:
            with Image.open(io.BytesIO(payload)) as picture:
                picture.load()
                return picture.mode

        return ours, pillow
    shaped = data.reshape(height * 3 // 2, width) if case.pixel_format == "NV12" else data.reshape(height, width, 2)
    code = getattr(cv2, f"COLOR_YUV2{case.order.upper()}_{case.pixel_format}")
    return ours, lambda: cv2.cvtColor(shaped, code)


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


def measure(case: Case, ours: Callable[[], object], theirs: Callable[[], object], rounds: int, repeat: int) -> float:
    alternating(ours, theirs, repeat)  # warming up: caches, thread pools, lazy loading
    ours_times, theirs_times, ratios = [], [], []
    for _ in range(rounds):
        mine, other = alternating(ours, theirs, repeat)
        ours_times += mine
        theirs_times += other
        ratios.append(sum(mine) / sum(other))
    ratio = statistics.median(ratios)
    name = "Pillow decode" if case.pixel_format == "MJPG" else "OpenCV cvtColor"
    print(f"  {case.name}: quorvex {statistics.median(ours_times) * 1000:.3f} ms, "
          f"{name} {statistics.median(theirs_times) * 1000:.3f} ms, ratio {ratio:.2f} (goal <= {case.goal})")
    return ratio


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--runs", type=int, default=1, help="whole comparisons in a row (default 1)")
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--repeat", type=int, default=20)
    args = parser.parse_args()
    if min(args.runs, args.rounds, args.repeat) < 1:
        parser.error("--runs, --rounds and --repeat must be at least 1")
    print(f"OpenCV {cv2.__version__} ({cv2.getNumThreads()} threads), Pillow {Image.__version__}, "
          f"{args.runs} run(s) of {args.rounds} rounds of {args.repeat} calls")
    all_cases = cases()
    full_frames = {pixel_format: camera_frame(pixel_format) for pixel_format in ("YUY2", "UYVY", "NV12", "MJPG")}
    prepared = []
    for case in all_cases:
        data = full_frames[case.pixel_format]
        if case.pixel_format != "MJPG" and (case.width, case.height) != FULL:
            data = cut(data, case.pixel_format, case.width, case.height)
        ours, theirs = candidates(case, data)
        if case.pixel_format != "MJPG":
            np.testing.assert_allclose(ours(), theirs(), atol=2)  # type: ignore[arg-type]
        prepared.append((case, ours, theirs))
    ratios: dict[Case, list[float]] = {case: [] for case in all_cases}
    for run in range(args.runs):
        print(f"run {run + 1} of {args.runs}:")
        for case, ours, theirs in prepared:
            ratios[case].append(measure(case, ours, theirs, args.rounds, args.repeat))
    print("goals (met only when every run met it):")
    for case in all_cases:
        verdict = "met" if all(ratio <= case.goal for ratio in ratios[case]) else "MISSED"
        runs = " ".join(f"{ratio:.2f}" for ratio in ratios[case])
        print(f"  {case.name} <= {case.goal}: {verdict} (runs: {runs})")


if __name__ == "__main__":
    main()
