import datetime
import math

import pytest

import pyQuorvexSDK as qx

from product_info_image import product_info_image

def test_factory_intrinsics_and_round_trip(emu, camera):
    status, factory = qx.QxGetIntrinsics(camera)
    assert status == 0 and (factory.w, factory.h) == (3840, 2160)
    assert factory.model == qx.QX_DIST_MODEL_RADTAN and 0 < factory.cx < factory.w
    factory.fx, factory.coeffs = 2000.25, [0.1, 0.2, 0.3, 0.4, 0.5]
    assert qx.QxGetIntrinsics(camera)[1].fx != 2000.25  # not written yet
    assert qx.QxWriteIntrinsics(camera, factory) == 0
    status, again = qx.QxGetIntrinsics(camera)
    assert again.fx == 2000.25 and again.coeffs.tolist() == factory.coeffs.tolist()


@pytest.mark.parametrize(
    "field, value",
    [("w", 0), ("h", -1), ("fx", 0.0), ("fy", math.nan), ("cx", math.inf), ("cy", 1e9),
     ("model", qx.QX_DISTORTION_MODEL(5))],
)
def test_invalid_intrinsics_are_refused(emu, camera, field, value):
    status, k = qx.QxGetIntrinsics(camera)
    before = qx.QxGetIntrinsics(camera)[1]
    setattr(k, field, value)
    assert qx.QxWriteIntrinsics(camera, k) == emu.QXE_INVALID_ARGUMENT
    after = qx.QxGetIntrinsics(camera)[1]
    assert (after.w, after.h, after.fx, after.cy) == (before.w, before.h, before.fx, before.cy)


def test_product_information_flash(emu, camera, tmp_path):
    image = tmp_path / "info.bin"
    image.write_bytes(product_info_image(qx.QXCAM_PRODUCT_TYPE_ZENA, "QZA-1", "Bench Unit", datetime.date(2025, 1, 2)))
    assert qx.QxFlashProductInfo(camera, str(image)) == 0
    assert qx.QxGetBootdataHeaderV3(camera)[1].productName == "Bench Unit"
    image.write_bytes(product_info_image(qx.QXCAM_PRODUCT_TYPE_ZENM, "QZM-1", "Other", datetime.date(2025, 1, 2)))
    assert qx.QxFlashProductInfo(camera, str(image)) == emu.QXE_WRONG_PRODUCT
    image.write_bytes(image.read_bytes()[:50])
    assert qx.QxFlashProductInfo(camera, str(image)) == emu.QXE_IMAGE_TRUNCATED
    assert qx.QxFlashProductInfo(camera, str(tmp_path / "missing.bin")) == emu.QXE_IO_ERROR
    assert qx.QxGetBootdataHeaderV3(camera)[1].productName == "Bench Unit"
