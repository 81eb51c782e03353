"""Lens calibration (intrinsics) and product information of a camera."""

import os
from dataclasses import dataclass
from typing import Literal

from ._library import qx
from ._feature import Feature


@dataclass(frozen=True)
class Intrinsics:
    """Pixel focal lengths and principal point for a width × height image, and the distortion
    model with its coefficients k1, k2, p1, p2, k3 (kept as written also for "none")."""

    width: int
    height: int
    fx: float
    fy: float
    cx: float
    cy: float
    coeffs: tuple[float, float, float, float, float]
    model: Literal["radtan", "none"] = "radtan"


class Calibration(Feature):
    @property
    def intrinsics(self) -> Intrinsics:
        record = self._value(qx.QxGetIntrinsics)
        k1, k2, p1, p2, k3 = (float(value) for value in record.coeffs)
        model: Literal["radtan", "none"] = "radtan" if record.model == qx.QX_DIST_MODEL_RADTAN else "none"
        return Intrinsics(record.w, record.h, record.fx, record.fy, record.cx, record.cy, (k1, k2, p1, p2, k3), model)

    @intrinsics.setter
    def intrinsics(self, value: Intrinsics) -> None:
        record = qx.QxIntrinsics()
        record.w, record.h = value.width, value.height
        record.fx, record.fy, record.cx, record.cy = value.fx, value.fy, value.cx, value.cy
        if value.model not in ("radtan", "none"):
            raise ValueError(f"model must be 'radtan' or 'none', not {value.model!r}")
        if len(value.coeffs) != 5:
            raise ValueError(f"coeffs holds five numbers (k1, k2, p1, p2, k3), not {len(value.coeffs)}")
        record.model = qx.QX_DIST_MODEL_RADTAN if value.model == "radtan" else qx.QX_DIST_NONE
        record.coeffs = list(value.coeffs)
        self._call(qx.QxWriteIntrinsics, record)

    def flash_product_info(self, path: str | os.PathLike[str]) -> None:
        """Flashes serial number, product name and date from a product-information image file."""
        self._call(qx.QxFlashProductInfo, os.fspath(path), detail=os.fspath(path))
