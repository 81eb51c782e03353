"""Several Python threads using two emulated cameras at once: no crash, no deadlock, every
result well-formed."""

import threading
import time

import numpy

import pyQuorvexSDK as qx

SECONDS = 2.0


def capture(camera, stop, errors):
    status, formats = qx.QxGetFormatList(camera)
    fmt = min(formats, key=lambda f: f.width * f.height)
    while not stop.is_set():
        if qx.QxSetFormat(camera, fmt) != 0 or qx.QxStartStreaming(camera) != 0:
            continue  # another thread is streaming this camera
        for _ in range(3):
            result, frame = qx.QxGetImage(camera, 500, fmt)
            if result == qx.QX_SUCCESS and (frame.dtype != numpy.uint8 or frame.size == 0):
                errors.append(("frame", result, frame.shape))
        qx.QxStopStreaming(camera)


def controls(camera, stop, errors):
    value = 0
    while not stop.is_set():
        value = (value + 7) % 64
        if qx.QxSetUVCImageProcessing(camera, qx.UVC_IMAGE_BRIGHTNESS, value, 2) != 0:
            errors.append(("set brightness", value))
        status, read, flag = qx.QxGetUVCImageProcessing(camera, qx.UVC_IMAGE_BRIGHTNESS)
        if status != 0 or not -64 <= read <= 64:
            errors.append(("get brightness", status, read))
        qx.QxGetCurrentGain(camera)


def registers(camera, stop, errors):
    value = 0
    while not stop.is_set():
        value = (value + 1) & 0xFFFF
        qx.QxAP1302I2CWrite(camera, 0x6000, value)
        status, read = qx.QxAP1302I2CRead(camera, 0x0000)
        if (status, read) != (0, 0x0265):
            errors.append(("chip version", status, read))
        status, temperature = qx.QxGenericI2CRead(camera, 0, 0x48, 0, 2)
        if status != 0:
            errors.append(("temperature", status))


def test_threads_on_two_cameras(emu):
    cameras = [qx.QxInitialCameraDevice(0), qx.QxInitialCameraDevice(1)]
    for camera in cameras:
        assert qx.QxOpen(camera) == 0
    stop, errors = threading.Event(), []
    workers = [threading.Thread(target=work, args=(camera, stop, errors), daemon=True)
               for camera in cameras for work in (capture, controls)]
    workers.append(threading.Thread(target=registers, args=(cameras[0], stop, errors), daemon=True))
    for worker in workers:
        worker.start()
    time.sleep(SECONDS)
    stop.set()
    for worker in workers:
        worker.join(timeout=30)
    assert not any(worker.is_alive() for worker in workers), "a thread is stuck"
    assert errors == []
    for camera in cameras:
        assert qx.QxClose(camera) == 0
