"""What capture.py (quorvex) and capture_flat.py (the flat API) share: their options and the
gallery's layout, so that the two differ only in how they talk to the camera."""

import argparse
import pathlib
from collections.abc import Iterable

from PIL import Image, ImageDraw

TILE = (320, 240)
LABEL_HEIGHT = 20
COLUMNS = 3


def parse_options(description: str) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--camera", type=int, default=0)
    parser.add_argument("--format", default="YUY2")
    parser.add_argument("--size", default="1280x720")
    parser.add_argument("--frames", type=int, default=5)
    parser.add_argument("--output", type=pathlib.Path, default=pathlib.Path("out/capture.png"))
    parser.add_argument("--gallery", type=pathlib.Path, default=pathlib.Path("out/gallery.png"))
    return parser.parse_args()


def contact_sheet(tiles: Iterable[tuple[str, Image.Image]]) -> Image.Image:
    """The pictures side by side, COLUMNS to a row, each scaled to TILE under its label."""
    entries = list(tiles)
    rows = -(-len(entries) // COLUMNS)
    sheet = Image.new("RGB", (COLUMNS * TILE[0], rows * (TILE[1] + LABEL_HEIGHT)), "white")
    draw = ImageDraw.Draw(sheet)
    for position, (label, picture) in enumerate(entries):
        x, y = (position % COLUMNS) * TILE[0], (position // COLUMNS) * (TILE[1] + LABEL_HEIGHT)
        sheet.paste(picture.resize(TILE), (x, y + LABEL_HEIGHT))
        draw.text((x + 4, y + 4), label, fill="black")
    return sheet
