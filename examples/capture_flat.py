"""Captures frames from a camera and saves them as PNG pictures, through the flat pyQuorvexSDK API.

    python examples/capture_flat.py [--camera 0] [--format YUY2] [--size 1280x720] [--frames 5]
                                    [--output out/capture.png] [--gallery out/gallery.png]

Discovers the cameras, opens one, lists its formats, streams the chosen format, converts the
last of a few frames to RGB and saves it; then captures one frame in each pixel format the
camera offers and saves them side by side, labelled, as a gallery.
"""

import argparse
import pathlib
import sys

from PIL import Image, ImageDraw

import pyQuorvexSDK as qx

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from frame_convert import Bytes, to_rgb  # noqa: E402

TIMEOUT_MS = 2000
TILE = (320, 240)


def format_name(fmt: qx.QxFormat) -> str:
    return fmt.format.name.removeprefix("QX_IMAGE_FORMAT_")


def describe(fmt: qx.QxFormat) -> str:
    return f"{format_name(fmt)} {fmt.width}x{fmt.height} @ {fmt.framerate} fps"


def check(status: int, what: str) -> None:
    if status != 0:
        raise SystemExit(f"{what} failed with status {status}")


def choose(formats: list[qx.QxFormat], name: str, size: str | None) -> qx.QxFormat:
    matching = [f for f in formats if format_name(f) == name.upper()]
    if size:
        width, height = (int(part) for part in size.lower().split("x"))
        matching = [f for f in matching if (f.width, f.height) == (width, height)]
    if not matching:
        raise SystemExit(f"the camera offers no {name} {size or ''} format")
    return matching[0]


def capture(camera: qx.QxCamera, fmt: qx.QxFormat, frames: int) -> Bytes:
    """Streams `fmt` and returns the last of `frames` frames as RGB."""
    check(qx.QxSetFormat(camera, fmt), "QxSetFormat")
    check(qx.QxStartStreaming(camera), "QxStartStreaming")
    try:
        for _ in range(frames):
            result, frame = qx.QxGetImage(camera, TIMEOUT_MS, fmt)
            if result != qx.QX_SUCCESS:
                raise SystemExit(f"QxGetImage failed: {result}")
        return to_rgb(frame, fmt)
    finally:
        qx.QxStopStreaming(camera)


def gallery(camera: qx.QxCamera, formats: list[qx.QxFormat]) -> Image.Image:
    """One frame of each pixel format, each in its smallest size, labelled, in one picture."""
    smallest: dict[str, qx.QxFormat] = {}
    for fmt in formats:
        name = format_name(fmt)
        if name not in smallest or fmt.width * fmt.height < smallest[name].width * smallest[name].height:
            smallest[name] = fmt
    columns = 3
    rows = -(-len(smallest) // columns)
    sheet = Image.new("RGB", (columns * TILE[0], rows * (TILE[1] + 20)), "white")
    draw = ImageDraw.Draw(sheet)
    for position, fmt in enumerate(smallest.values()):
        x, y = (position % columns) * TILE[0], (position // columns) * (TILE[1] + 20)
        tile = Image.fromarray(capture(camera, fmt, 2)).resize(TILE)
        sheet.paste(tile, (x, y + 20))
        draw.text((x + 4, y + 4), describe(fmt), fill="black")
    return sheet


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--camera", type=int, default=0)
    parser.add_argument("--format", default="YUY2")
    parser.add_argument("--size", default="1280x720")
    parser.add_argument("--frames", type=int, default=5)
    parser.add_argument("--output", type=pathlib.Path, default=pathlib.Path("out/capture.png"))
    parser.add_argument("--gallery", type=pathlib.Path, default=pathlib.Path("out/gallery.png"))
    args = parser.parse_args()

    status, devices = qx.QxDiscoverCameraDevices()
    check(status, "QxDiscoverCameraDevices")
    print(f"{len(devices)} camera(s): {', '.join(devices)}")
    camera = qx.QxInitialCameraDevice(args.camera)
    if camera is None:
        raise SystemExit(f"no camera at index {args.camera}")
    check(qx.QxOpen(camera), "QxOpen")
    try:
        status, formats = qx.QxGetFormatList(camera)
        check(status, "QxGetFormatList")
        print(f"camera {args.camera} offers {len(formats)} formats:")
        for fmt in formats:
            print(f"  {describe(fmt)}")
        fmt = choose(formats, args.format, args.size)
        print(f"capturing {args.frames} frames of {describe(fmt)}")
        args.output.parent.mkdir(parents=True, exist_ok=True)
        Image.fromarray(capture(camera, fmt, args.frames)).save(args.output)
        print(f"saved {args.output}")
        args.gallery.parent.mkdir(parents=True, exist_ok=True)
        gallery(camera, formats).save(args.gallery)
        print(f"saved {args.gallery}")
    finally:
        qx.QxClose(camera)


if __name__ == "__main__":
    main()
