"""Calls every function family in a loop for a while and reports memory at the start and end.

    python benchmarks/soak.py [--seconds 60] [--max-growth-mb 16] [--max-object-growth 2000]

Resident memory (from /proc) and the number of objects the garbage collector tracks are read
after warm-up rounds and again at the end; the run fails when either grew by more than its
bound. Every round makes the sample call of every function in tests/api.py (so that a function
added there is soaked too), then goes through discovery, capture in several formats, controls,
registers, firmware versions and headers, profiles, counters, routes, IMU and calibration, the
failing paths included (closed cameras, empty handles, refused values, missing files).
"""

import argparse
import gc
import os
import pathlib
import sys
import tempfile
import time

import pyQuorvexSDK as qx
import qx_emulator

REPOSITORY = pathlib.Path(__file__).resolve().parent.parent
ROUTES = REPOSITORY / "examples" / "routes"
sys.path.insert(0, str(REPOSITORY / "tests"))
import api  # noqa: E402  (the function manifest)


def resident_mb():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def every_function():
    """The sample call of every function, in the current folder, on an open camera."""
    camera = qx.QxInitialCameraDevice(0)
    qx.QxOpen(camera)
    fmt = qx.QxGetFormatList(camera)[1][0]
    route = qx.QxLoadRouteYaml(str(ROUTES / "sensor_to_video0.yaml"))
    for function in api.FUNCTIONS:
        if function.name == "HelloQuorvexSDK":
            continue  # prints a line on every call; it holds nothing
        arguments = api.sample_arguments(function, camera=camera, fmt=fmt, route=route,
                                         progress=lambda value: None, qx=qx)
        getattr(qx, function.name)(*arguments)
        if function.name == "QxClose":
            qx.QxOpen(camera)
    qx.QxResetUVC(camera)  # ends the USB program mode the samples entered
    qx.QxClose(camera)


def one_round(folder):
    every_function()
    qx.QxDiscoverCameraDevices()
    camera = qx.QxInitialCameraDevice(0)
    qx.QxOpen(camera)
    for getter in (qx.QxGetDeviceName, qx.QxGetDevicePath, qx.QxGetDeviceInterfaceType,
                   qx.QxGetDeviceProductType, qx.QxGetHardwareID, qx.QxGetUSBDeviceSpeed):
        getter(camera)
        getter(None)
    status, formats = qx.QxGetFormatList(camera)
    for fmt in formats[:: max(1, len(formats) // 6)]:
        qx.QxSetFormat(camera, fmt)
        qx.QxStartStreaming(camera)
        for _ in range(3):
            qx.QxGetImage(camera, 1000, fmt)
        qx.QxStopStreaming(camera)
    qx.QxGetImage(camera, 0, formats[0])  # not streaming
    for prop in (qx.UVC_IMAGE_BRIGHTNESS, qx.UVC_IMAGE_GAIN, qx.UVC_IMAGE_PAN):
        qx.QxGetUVCImageProcessingRange(camera, prop)
        qx.QxSetUVCImageProcessing(camera, prop, 1, 2)
        qx.QxGetUVCImageProcessing(camera, prop)
    qx.QxSetISPImageProcessing(camera, qx.ISP_IMAGE_CONTRAST, 5)
    qx.QxGetISPImageProcessing(camera, qx.ISP_IMAGE_CONTRAST)
    qx.QxGetISPImageProcessingRange(camera, qx.ISP_IMAGE_PROP_MAX)
    qx.QxSetISPImageProcessingDefault(camera)
    for getter in (qx.QxGetCurrentGain, qx.QxGetCurrentExposure, qx.QxGetMaxFPS, qx.QxGetThroughPut):
        getter(camera)
    qx.QxGenericI2CRead(camera, 0, 0x48, 0, 2)
    qx.QxGenericI2CWrite(camera, 0, 0x50, 0xF0, 1, 0x5A)
    qx.QxAP1302I2CRead(camera, 0)
    qx.QxAP1302I2CWrite(camera, 0x6000, 1)
    qx.QxAP1302SensorRegisterRead(camera, 0x36, 0x3000)
    for getter in (qx.QxGetUSBFirmwareVersion, qx.QxGetZENAFirmwareVersion, qx.QxGetSensorFirmwareVersion,
                   qx.QxGetSensorUniqueID, qx.QxGetBootdataHeaderV2, qx.QxGetBootdataHeaderV3):
        getter(camera)
    qx.QxGetHeaderVersion(camera)
    qx.QxGetBootdataHeaderV3FromFile(str(folder / "missing.bin"))
    qx.QxUpgradeSensorFW(camera, str(folder / "missing.img"), lambda value: None)
    qx.QxGetOSPProfileFlag(camera)
    qx.QxGetOSPProfileConfig(camera)
    qx.QxGetTimestamp(camera)
    qx.QxGetFrameCount(camera)
    qx.QxExportSensorConfig(camera, str(folder / "sensor.bin"))
    qx.QxDecodeSensorConfig(str(folder / "sensor.bin"), str(folder / "sensor.json"))
    for route_file in sorted(ROUTES.glob("*.yaml")):
        routes = qx.QxLoadRouteYaml(str(route_file))
        qx.QxActivateYamlRoutes(routes)
    qx.QxResetActiveRoutes()
    qx.QxEnableIMUMode(camera, qx.ISPU)
    qx.QxGetIMUAccData(camera, qx.NORMAL)
    qx.QxGetIMUGyrData(camera, qx.POSITIVE)
    qx.QxGetISPUData(camera)
    qx.QxGetIMUTemperature(camera)
    qx.QxGetIMUSensorTime(camera)
    qx.QxGetSensorWorkMode(camera)
    status, intrinsics = qx.QxGetIntrinsics(camera)
    qx.QxWriteIntrinsics(camera, intrinsics)
    qx.QxClose(camera)
    qx.QxOpen(None)
    qx_emulator.clear_journal()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--max-growth-mb", type=float, default=16.0)
    parser.add_argument("--max-object-growth", type=int, default=2000)
    args = parser.parse_args()

    config = qx_emulator.builtin_configuration().replace("cameras:", "pacing: false\nupgrade_time_ms: 0\ncameras:", 1)
    assert qx_emulator.configure(config)
    with tempfile.TemporaryDirectory() as folder:
        folder = pathlib.Path(folder)
        os.chdir(folder)  # the sample calls' relative paths
        # The library renders and caches frames per format and settings; let those fill first.
        for _ in range(3):
            one_round(folder)
        gc.collect()
        start_mb, start_objects = resident_mb(), len(gc.get_objects())
        rounds, deadline = 0, time.monotonic() + args.seconds
        while time.monotonic() < deadline:
            one_round(folder)
            rounds += 1
        gc.collect()
        end_mb, end_objects = resident_mb(), len(gc.get_objects())
    print(f"rounds: {rounds} in {args.seconds:.0f} s")
    print(f"resident memory: {start_mb:.1f} MB at the start, {end_mb:.1f} MB at the end")
    print(f"tracked objects: {start_objects} at the start, {end_objects} at the end")
    grew_mb, grew_objects = end_mb - start_mb, end_objects - start_objects
    flat = grew_mb <= args.max_growth_mb and grew_objects <= args.max_object_growth
    print(f"goal: growth within {args.max_growth_mb} MB and {args.max_object_growth} objects: "
          f"{'met' if flat else 'MISSED'}")
    if grew_mb > args.max_growth_mb or grew_objects > args.max_object_growth:
        sys.exit(f"memory grew: {grew_mb:+.1f} MB, {grew_objects:+d} objects")
    print(f"flat: {grew_mb:+.1f} MB, {grew_objects:+d} objects")


if __name__ == "__main__":
    main()
