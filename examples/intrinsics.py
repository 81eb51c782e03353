"""Reads a camera's lens calibration, writes a modified one, reads it back, restores it.

    python examples/intrinsics.py [--camera 0] [--keep]

Prints the factory intrinsics (image size, focal lengths, principal point, distortion model
and its five coefficients k1, k2, p1, p2, k3), writes a calibration with new focal lengths and
new distortion coefficients, reads it back and compares it with what was written, then
writes the factory calibration back unless `--keep` is given.
"""

import argparse

import numpy as np

import pyQuorvexSDK as qx

from open_camera import add_camera_option, check, opened_camera

COEFFICIENT_NAMES = ("k1", "k2", "p1", "p2", "k3")
# Distortion coefficients (k1, k2, p1, p2, k3) standing in for a new calibration of the lens.
NEW_COEFFICIENTS = [-0.115, 0.042, 0.0002, -0.0001, -0.0071]


def show(label: str, intrinsics: qx.QxIntrinsics) -> None:
    print(f"{label}:")
    print(f"  image size       {intrinsics.w} x {intrinsics.h}")
    print(f"  focal length     fx {intrinsics.fx:.2f}, fy {intrinsics.fy:.2f} (pixels)")
    print(f"  principal point  cx {intrinsics.cx:.2f}, cy {intrinsics.cy:.2f} (pixels)")
    print(f"  model            {intrinsics.model.name}")
    coefficients = ", ".join(f"{name} {value:.6f}" for name, value in zip(COEFFICIENT_NAMES, intrinsics.coeffs))
    print(f"  coefficients     {coefficients}")


def same(a: qx.QxIntrinsics, b: qx.QxIntrinsics) -> bool:
    """Whether two calibrations hold the same values (the camera stores float32 as given)."""
    fields = ("w", "h", "fx", "fy", "cx", "cy", "model")
    return all(getattr(a, f) == getattr(b, f) for f in fields) and np.array_equal(a.coeffs, b.coeffs)


def modified(factory: qx.QxIntrinsics) -> qx.QxIntrinsics:
    """A copy of `factory` with focal lengths 0.5 % longer and NEW_COEFFICIENTS."""
    intrinsics = qx.QxIntrinsics()
    intrinsics.w, intrinsics.h = factory.w, factory.h
    intrinsics.fx, intrinsics.fy = factory.fx * 1.005, factory.fy * 1.005
    intrinsics.cx, intrinsics.cy = factory.cx, factory.cy
    intrinsics.model = qx.QX_DIST_MODEL_RADTAN
    # `coeffs` hands out a copy: changing one element of it changes nothing, so assign all five.
    intrinsics.coeffs = np.array(NEW_COEFFICIENTS, dtype=np.float32)
    return intrinsics


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_camera_option(parser)
    parser.add_argument("--keep", action="store_true", help="leave the modified calibration on the camera")
    args = parser.parse_args()

    with opened_camera(args.camera) as (camera, _):
        status, factory = qx.QxGetIntrinsics(camera)
        check(status, "QxGetIntrinsics")
        show("Factory intrinsics", factory)

        new = modified(factory)
        check(qx.QxWriteIntrinsics(camera, new), "QxWriteIntrinsics")
        status, read_back = qx.QxGetIntrinsics(camera)
        check(status, "QxGetIntrinsics after writing")
        show("Read back after QxWriteIntrinsics", read_back)
        if not same(read_back, new):
            raise SystemExit("the calibration read back differs from the one written")
        print("The calibration read back matches the one written")

        if not args.keep:
            check(qx.QxWriteIntrinsics(camera, factory), "QxWriteIntrinsics restoring the factory calibration")
            print("Factory calibration restored")


if __name__ == "__main__":
    main()
