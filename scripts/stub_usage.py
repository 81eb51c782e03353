"""What the stub src/pyQuorvexSDK.pyi must let type checkers accept, and what it must refuse.

scripts/typecheck.sh checks this file with mypy --strict and never runs it. assert_type pins a
type; a line that ends in `# type: ignore[code]` must be an error, since --strict reports an
ignore that suppresses nothing (warn_unused_ignores). Each refusal matches a TypeError at run
time, and each acceptance a call the module takes.
"""

from collections.abc import Callable
from typing import assert_type

import numpy as np
import numpy.typing as npt

import pyQuorvexSDK as qx


def handles() -> None:
    camera = qx.QxInitialCameraDevice(0)
    assert_type(camera, qx.QxCamera | None)
    # None is an empty handle: the library answers with an error status.
    assert_type(qx.QxOpen(camera), int)
    assert_type(qx.QxOpen(None), int)
    assert_type(qx.QxGetDeviceName(None), tuple[int, str])
    routes = qx.QxLoadRouteYaml("routes.yaml")
    assert_type(routes, qx.QxRoute | None)
    assert_type(qx.QxActivateYamlRoutes(routes), int)
    # Records are values: None is no record.
    qx.QxSetFormat(camera, None)  # type: ignore[arg-type]
    qx.QxWriteIntrinsics(camera, None)  # type: ignore[arg-type]
    # A camera is not a route set.
    qx.QxActivateYamlRoutes(camera)  # type: ignore[arg-type]


def keywords(camera: qx.QxCamera) -> None:
    # pybind11 refuses keywords for parameters it knows no name of.
    qx.QxOpen(arg0=camera)  # type: ignore[call-arg]
    qx.QxSetMaxFPS(camera, arg1=30)  # type: ignore[call-arg]
    qx.QxStringList(arg0=["a"])  # type: ignore[call-overload]
    # Named ones take them.
    qx.QxStringList().append(x="a")
    qx.QX_LOG_LEVEL(value=2)


def nullable_results(camera: qx.QxCamera) -> None:
    status, header = qx.QxGetBootdataHeaderV3(camera)
    assert_type(header, qx.QxHeaderV3 | None)
    header.productName  # type: ignore[union-attr]
    if header is not None:
        assert_type(header.sensorFuseId, bytes)
    assert_type(qx.QxGetBootdataHeaderV2FromFile("boot.bin"), tuple[int, str, qx.QxHeaderV2 | None])
    assert_type(qx.QxGetBootdataHeaderV3FromFile("boot.bin"), tuple[int, str, qx.QxHeaderV3 | None])
    assert_type(qx.QxGetBootdataHeaderV2(camera), tuple[int, qx.QxHeaderV2 | None])
    # Results that are always there stay plain.
    assert_type(qx.QxGetIntrinsics(camera), tuple[int, qx.QxIntrinsics])
    assert_type(qx.QxGetFormatList(camera), tuple[int, list[qx.QxFormat]])


def enumerations(camera: qx.QxCamera, fmt: qx.QxFormat) -> None:
    result, frame = qx.QxGetImage(camera, 1000, fmt)
    assert_type(result, qx.QX_CAPTURE_RESULT)
    assert_type(frame, npt.NDArray[np.uint8])
    # Comparing with an int type-checks (it is False at run time: the enumerations are strict).
    assert_type(qx.QX_SUCCESS == 0, bool)
    assert_type(result != qx.QX_SUCCESS, bool)
    assert_type(int(result), int)
    assert_type(result.value, int)
    assert_type(result.name, str)
    assert_type(qx.QX_CAPTURE_RESULT(0), qx.QX_CAPTURE_RESULT)
    assert_type(qx.QX_CAPTURE_RESULT.__members__["QX_SUCCESS"], qx.QX_CAPTURE_RESULT)
    assert_type(fmt.format, qx.QX_IMAGE_FORMAT)
    {qx.QX_IMAGE_FORMAT_RGB: 3}  # hashable, so usable as keys
    # An enumeration argument takes its own members only, as the module does.
    qx.QxEnableIMUMode(camera, qx.ISPU)
    qx.QxEnableIMUMode(camera, 1)  # type: ignore[arg-type]
    qx.QxEnableIMUMode(camera, qx.NORMAL)  # type: ignore[arg-type]


def progress(camera: qx.QxCamera, report: Callable[[int], bool], idle: Callable[[], None]) -> None:
    assert_type(qx.QxUpgradeFX3FW(qx.FW_TARGET_SPI, "fx3.img", None), int)
    assert_type(qx.QxUpgradeSensorFW(camera, "sensor.img", print), qx.QX_UPGRADE_RESULT)
    # What the callable returns is discarded, so any return type will do.
    qx.QxUpgradeSensorFW(camera, "sensor.img", report)
    qx.QxUpgradeFX3FW(qx.FW_TARGET_SPI, "fx3.img", lambda percent: percent.upper())  # type: ignore[attr-defined]
    qx.QxUpgradeFX3FW(qx.FW_TARGET_SPI, "fx3.img", idle)  # type: ignore[arg-type]


def intrinsics() -> None:
    values = qx.QxIntrinsics()
    assert_type(values.coeffs, npt.NDArray[np.float32])
    values.coeffs = [0.1, 0.2, 0.0, 0.0, 0.3]
    values.coeffs = np.zeros(5, dtype=np.float64)
    values.coeffs = None  # type: ignore[assignment]
    values.model = qx.QX_DIST_MODEL_RADTAN
    values.model = 1  # type: ignore[assignment]
    assert_type(values.fx, float)
    values.fx = 600
    assert_type(values.w, int)


def records(ispu: qx.QxImuIspu, header: qx.QxHeaderV2) -> None:
    assert_type(ispu.yaw, float)
    assert_type(header.productName, str)
    ispu.yaw = 1.0  # type: ignore[misc]


def string_lists() -> None:
    status, devices = qx.QxDiscoverCameraDevices()
    assert_type(devices, qx.QxStringList)
    assert_type(devices[0], str)
    assert_type(devices[0:1], qx.QxStringList)
    assert_type(list(devices), list[str])
    assert_type(devices == devices, bool)
    assert_type(devices == ["a"], bool)
    qx.QxStringList(["a", "b"])
    qx.QxStringList(name for name in ("a", "b"))
    qx.QxStringList([1, 2])  # type: ignore[list-item]
    devices.extend(("c",))
    # Unhashable, like list: bind_vector defines __eq__ and no __hash__.
    assert_type(qx.QxStringList.__hash__, None)
    qx.QxSetLogFile(devices)  # type: ignore[arg-type]


def constructors() -> None:
    qx.QxCamera(0)  # type: ignore[call-arg]
    qx.QxFormat(640, 480)  # type: ignore[call-arg]
