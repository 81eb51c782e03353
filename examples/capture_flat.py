"""Captures frames from a camera and saves them as PNG pictures, through the flat pyQuorvexSDK API.

    python examples/capture_flat.py [--camera 0] [--format YUY2] [--size 1280x720] [--frames 5]
                                    [--output out/capture.png] [--gallery out/gallery.png]

Discovers the cameras, opens one, lists its formats, streams the chosen format, converts the
last of a few frames to RGB and saves it; then captures one frame in each pixel format the
camera offers and saves them side by side, labelled, as a gallery.
"""

import pathlib
import sys

from PIL import Image

import pyQuorvexSDK as qx

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from capture_common import contact_sheet, parse_options  # noqa: E402
from frame_convert import Bytes, to_rgb  # noqa: E402

TIMEOUT_MS = 2000


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
    return contact_sheet(
        (describe(fmt), Image.fromarray(capture(camera, fmt, 2))) for fmt in smallest.values()
    )


def main() -> None:
    args = parse_options(__doc__.splitlines()[0])

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
