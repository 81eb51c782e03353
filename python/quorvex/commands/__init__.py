"""Subcommands of the quorvex command line. Each is a module here with NAME, HELP,
add_arguments(parser) and run(args) -> exit status; add its module name to COMMANDS."""

import argparse
import math
from typing import Protocol

COMMANDS: tuple[str, ...] = ("list", "snapshot", "viewer", "record", "export", "watch", "bridge")


class Command(Protocol):
    NAME: str
    HELP: str

    def add_arguments(self, parser: argparse.ArgumentParser) -> None: ...

    def run(self, args: argparse.Namespace) -> int: ...


def camera_argument(text: str) -> int | str:
    """--camera: an index, or a hardware ID or device path."""
    return int(text) if text.isdigit() else text


def check_seconds(option: str, value: float | None) -> None:
    """ValueError unless a number of seconds given as `option` is 0 or more (inf: no limit)."""
    if value is not None and not value >= 0:  # NaN included
        raise ValueError(f"{option} must be a number of seconds, 0 or more (inf: no limit), not {value}")
