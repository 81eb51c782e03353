"""The few lines every example starts with: a --camera option, a camera opened by index (and
closed again however the example ends), and a status check that stops with a readable line."""

import argparse
import contextlib
from collections.abc import Iterator

import pyQuorvexSDK as qx


def check(status: int, what: str) -> None:
    if status != 0:
        raise SystemExit(f"{what} failed with status {status}")


def add_camera_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--camera", type=int, default=0, help="camera index (default 0)")


@contextlib.contextmanager
def opened_camera(index: int) -> Iterator[tuple[qx.QxCamera, str]]:
    """The camera at `index`, opened, and its name; prints which camera it is."""
    status, devices = qx.QxDiscoverCameraDevices()
    check(status, "QxDiscoverCameraDevices")
    camera = qx.QxInitialCameraDevice(index)
    if camera is None:
        raise SystemExit(f"no camera {index} ({len(devices)} found)")
    check(qx.QxOpen(camera), "QxOpen")
    try:
        print(f"Camera {index}: {devices[index]}")
        yield camera, devices[index]
    finally:
        qx.QxClose(camera)
