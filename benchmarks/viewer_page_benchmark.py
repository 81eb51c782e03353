"""What a user sees in the page: time from loading it to each camera's first picture, and the
frames per second each panel receives, in Debian's headless Chromium, for one and three cameras.

    python benchmarks/viewer_page_benchmark.py [--seconds 6] [--runs 3]

Serves the viewer with uvicorn on a free port of 127.0.0.1 (in this process, as `quorvex
viewer` serves it) and loads its page in the browser, on the same machine: the server's
conversion and encoding, the browser's decoding and drawing share its processors. The first
picture's time runs from the start of the page's navigation to the moment the panel's picture
has a size. The delivered rate is the one the page itself shows for its own stream, averaged
over `--seconds` once every panel shows pictures; beside it the rate of the viewer's capture
loop, which reads, converts and encodes the camera's frames. Formats: each camera's first (default) one,
then 1920x1080 at the camera's highest rate.
Goal: every panel's first picture within 1 s of loading the page, and each panel receiving at
least 0.9 of its camera's frames with one camera shown.
"""

import argparse
import pathlib
import re
import statistics
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from browser_support import open_browser  # noqa: E402
from viewer_support import running_server, wait_until  # noqa: E402

from quorvex.viewer.server import create_app  # noqa: E402

FIRST_PICTURE_GOAL = 1.0  # seconds
DELIVERED_GOAL = 0.9  # of the camera's rate, one camera shown
FULL_HD = {0: ("YUY2", 1920, 1080, 60), 1: ("UYVY", 1920, 1080, 60), 2: ("MJPG", 1920, 1080, 30)}

# Runs before the page's own script: notes when each panel's picture first has a size.
WATCH_FIRST_PICTURES = """
window.__firstPicture = {};
(function look() {
  for (const image of document.querySelectorAll('.panel[data-index] img.live')) {
    const index = image.closest('.panel').dataset.index;
    if (!(index in window.__firstPicture) && image.naturalWidth > 0) window.__firstPicture[index] = performance.now();
  }
  requestAnimationFrame(look);
})();
"""


def delivered(driver, index):
    """The panel's own figure of the frames per second its page receives."""
    text = driver.execute_script(
        f"const p = document.querySelector('.panel[data-index=\"{index}\"] .fps'); return p ? p.textContent : ''")
    found = re.match(r"\s*([\d.]+)", text)
    return float(found.group(1)) if found else 0.0


def choose(app, index, pixel_format, width, height, fps):
    camera = app.state.viewer.camera(index)
    camera.choose(camera.find_format(pixel_format, width, height, fps))


def measure(shown, full_hd, seconds):
    app = create_app(shown)
    with running_server(app) as base, open_browser(1600, 1200) as driver:
        rates = {}
        for index in shown:
            camera = app.state.viewer.camera(index)
            if full_hd:
                choose(app, index, *FULL_HD[index])
            rates[index] = camera.format.fps
        driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": WATCH_FIRST_PICTURES})
        driver.get(base + "/")
        if not wait_until(lambda: len(driver.execute_script("return window.__firstPicture")) == len(shown), 30):
            raise SystemExit("the page showed no picture within 30 s")
        first = {int(k): v / 1000 for k, v in driver.execute_script("return window.__firstPicture").items()}
        time.sleep(3)  # the page's own rate is measured over a few seconds
        readings = {index: [] for index in shown}
        captured = {index: [] for index in shown}
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            for index in shown:
                readings[index].append(delivered(driver, index))
                captured[index].append(app.state.viewer.camera(index).capture.rates()[0])
            time.sleep(0.5)
        labels = {index: str(app.state.viewer.camera(index).format) for index in shown}
    return {index: (labels[index], first[index], statistics.mean(readings[index]), rates[index],
                    statistics.mean(captured[index])) for index in shown}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=6.0)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    print(f"{'cameras':<9}{'camera':<8}{'format':<20}{'first picture':>14}{'page fps':>10}{'captured':>10}"
          f"{'camera fps':>12}{'page/camera':>13}")
    slow, short = [], []
    for full_hd in (False, True):
        for shown in ([0], [0, 1, 2]):
            runs = [measure(shown, full_hd, args.seconds) for _ in range(args.runs)]
            for index in shown:
                label = runs[0][index][0]
                first = statistics.median(run[index][1] for run in runs)
                fps = statistics.median(run[index][2] for run in runs)
                rate = runs[0][index][3]
                capture = statistics.median(run[index][4] for run in runs)
                print(f"{len(shown):<9}{index:<8}{label:<20}{first * 1000:>11.0f} ms{fps:>10.1f}{capture:>10.1f}"
                      f"{rate:>12}{fps / rate:>12.2f}x")
                if first > FIRST_PICTURE_GOAL:
                    slow.append(f"{len(shown)} cameras, {label}")
                if len(shown) == 1 and fps / rate < DELIVERED_GOAL:
                    short.append(label)
    print(f"goal: first picture within {FIRST_PICTURE_GOAL:.0f} s: " + (f"MISSED ({'; '.join(slow)})" if slow else "met"))
    print(f"goal: one camera's page receives >= {DELIVERED_GOAL} of its frames: "
          + (f"MISSED ({', '.join(short)})" if short else "met"))


if __name__ == "__main__":
    main()
