"""quorvex list: the cameras, their device information and formats."""

import argparse
import json
from dataclasses import asdict

from .. import camera as cameras_module
from ..formats import Format

NAME = "list"
HELP = "list the cameras with their device information and formats"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--json", action="store_true", help="print JSON instead of text")


def _formats_of(index: int) -> list[Format] | None:
    try:
        with cameras_module.open(index) as camera:
            return camera.formats
    except Exception:  # a camera open elsewhere still gets listed, without its formats
        return None


def _grouped(formats: list[Format]) -> list[str]:
    """One line per pixel format: "YUY2  640x480@60,30  1280x720@60,30"."""
    rates: dict[str, dict[str, list[int]]] = {}
    for fmt in formats:
        rates.setdefault(fmt.pixel_format, {}).setdefault(f"{fmt.width}x{fmt.height}", []).append(fmt.fps)
    return [
        f"{pixel:<5} " + "  ".join(f"{size}@{','.join(map(str, fps))}" for size, fps in sizes.items())
        for pixel, sizes in rates.items()
    ]


def _count(number: int, noun: str) -> str:
    return f"{number} {noun}" if number == 1 else f"{number} {noun}s"


def run(args: argparse.Namespace) -> int:
    infos = cameras_module.cameras()
    listing = [(info, _formats_of(info.index)) for info in infos]
    if args.json:
        print(json.dumps(
            [{**asdict(info), "formats": None if formats is None else [str(fmt) for fmt in formats]}
             for info, formats in listing],
            indent=2,
        ))
        return 0
    print(_count(len(infos), "camera"))
    for info, formats in listing:
        print(f"[{info.index}] {info.name}")
        speed = f", {info.usb_speed} speed" if info.interface == "USB" and info.usb_speed else ""
        unique = f", unique ID {info.unique_id}" if info.unique_id else ""
        print(f"    {info.path}, {info.interface}{speed}, hardware ID {info.hardware_id}{unique},"
              f" product {info.product}{', Quorvex camera' if info.is_quorvex else ''}")
        if formats is None:
            print("    formats: unavailable (the camera is in use)")
            continue
        print(f"    {_count(len(formats), 'format')}:")
        for line in _grouped(formats):
            print(f"      {line}")
    return 0
