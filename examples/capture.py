"""Captures frames from a camera and saves them as PNG pictures, with the quorvex package.

    python examples/capture.py [--camera 0] [--format YUY2] [--size 1280x720] [--frames 5]
                               [--output out/capture.png] [--gallery out/gallery.png]

Lists the cameras, opens one, lists its formats, streams the chosen format and saves the last
of a few frames; then captures one frame in each pixel format the camera offers and saves them
side by side, labelled, as a gallery. examples/capture_flat.py does the same with the flat API.
"""

import itertools
import pathlib
import sys

from PIL import Image

import quorvex

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from capture_common import contact_sheet, parse_options  # noqa: E402


def describe(fmt: quorvex.Format) -> str:
    return f"{fmt.pixel_format} {fmt.width}x{fmt.height} @ {fmt.fps} fps"


def last_frame(camera: quorvex.Camera, fmt: quorvex.Format, frames: int) -> quorvex.Frame:
    with camera.stream(fmt, timeout=2.0) as stream:
        *_, frame = itertools.islice(stream, frames)
    return frame


def gallery(camera: quorvex.Camera) -> Image.Image:
    """One frame of each pixel format, each in its smallest size, labelled, in one picture."""
    smallest: dict[str, quorvex.Format] = {}
    for fmt in camera.formats:
        known = smallest.get(fmt.pixel_format)
        if known is None or fmt.width * fmt.height < known.width * known.height:
            smallest[fmt.pixel_format] = fmt
    return contact_sheet((describe(fmt), last_frame(camera, fmt, 2).to_image()) for fmt in smallest.values())


def main() -> None:
    args = parse_options((__doc__ or "").splitlines()[0])

    infos = quorvex.cameras()
    print(f"{len(infos)} camera(s): {', '.join(info.name for info in infos)}")
    try:
        with quorvex.open(args.camera) as camera:
            print(f"camera {args.camera} offers {len(camera.formats)} formats:")
            for fmt in camera.formats:
                print(f"  {describe(fmt)}")
            width, height = (int(part) for part in args.size.lower().split("x"))
            try:
                fmt = camera.find_format(args.format, width, height)
            except LookupError:
                raise SystemExit(f"the camera offers no {args.format} {args.size} format") from None
            print(f"capturing {args.frames} frames of {describe(fmt)}")
            args.output.parent.mkdir(parents=True, exist_ok=True)
            last_frame(camera, fmt, args.frames).save(args.output)
            print(f"saved {args.output}")
            args.gallery.parent.mkdir(parents=True, exist_ok=True)
            gallery(camera).save(args.gallery)
            print(f"saved {args.gallery}")
    except quorvex.QuorvexError as failure:
        raise SystemExit(str(failure)) from None


if __name__ == "__main__":
    main()
