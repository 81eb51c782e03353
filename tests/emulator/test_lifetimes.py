"""Object lifetimes: every object the module hands out is freed when the last Python reference
to it goes (cycles included, after gc.collect()), and what a user holds stays valid when the
camera or the library state it came from is gone."""

import gc
import weakref

import numpy
import pytest

import pyQuorvexSDK as qx

from support import EXAMPLES


def open_camera(index=0):
    camera = qx.QxInitialCameraDevice(index)
    assert qx.QxOpen(camera) == 0
    return camera


def make_camera():
    return qx.QxInitialCameraDevice(0)


def make_route():
    return qx.QxLoadRouteYaml(str(EXAMPLES / "routes" / "sensor_to_video0.yaml"))


def make_device_names():
    return qx.QxDiscoverCameraDevices()[1]


def make_format():
    return qx.QxGetFormatList(open_camera())[1][0]


def make_header():
    return qx.QxGetBootdataHeaderV3(open_camera())[1]


def make_intrinsics():
    return qx.QxGetIntrinsics(open_camera())[1]


def make_frame():
    camera = open_camera()
    fmt = qx.QxGetFormatList(camera)[1][0]
    assert qx.QxSetFormat(camera, fmt) == 0 and qx.QxStartStreaming(camera) == 0
    result, frame = qx.QxGetImage(camera, 2000, fmt)
    assert result == qx.QX_SUCCESS and frame.size > 0
    return frame


def make_imu_samples():
    camera = open_camera()
    assert qx.QxEnableIMUMode(camera, qx.ISPU) == 0
    return qx.QxGetIMUAccData(camera, qx.NORMAL)[1]


MAKERS = [make_camera, make_route, make_device_names, make_format, make_header, make_intrinsics, make_frame,
          make_imu_samples]


@pytest.mark.parametrize("make", MAKERS, ids=lambda make: make.__name__.removeprefix("make_"))
def test_freed_when_the_last_reference_goes(emu, make):
    made = make()
    assert made is not None
    alive = weakref.ref(made)
    del made
    gc.collect()
    assert alive() is None


@pytest.mark.parametrize("make", MAKERS, ids=lambda make: make.__name__.removeprefix("make_"))
def test_freed_from_a_reference_cycle(emu, make):
    holder = [make()]
    holder.append(holder)
    alive = weakref.ref(holder[0])
    del holder
    gc.collect()
    assert alive() is None


def test_the_library_keeps_its_own_reference_to_a_camera(emu):
    # Releasing the Python object does not forget the camera: the next call for the same index
    # gives a handle to the same, still open, camera.
    camera = open_camera()
    alive = weakref.ref(camera)
    del camera
    gc.collect()
    assert alive() is None
    again = qx.QxInitialCameraDevice(0)
    assert qx.QxOpen(again) == emu.QXE_ALREADY_OPEN
    assert qx.QxClose(again) == 0


def test_a_frame_outlives_its_camera_and_the_library_reset(emu):
    frame = make_frame()
    copy = frame.copy()
    gc.collect()
    emu.reset()  # every camera gone, old handles detached
    emu.configure("")
    gc.collect()
    numpy.testing.assert_array_equal(frame, copy)
    frame[:] = 0  # the array owns its memory: writing to it touches nothing else
    assert not frame.any()


@pytest.mark.parametrize("make", [make_format, make_header, make_intrinsics, make_device_names],
                         ids=["format", "header", "intrinsics", "device_names"])
def test_records_stay_readable_after_the_library_reset(emu, make):
    made = make()
    before = repr(list(made)) if isinstance(made, qx.QxStringList) else [
        getattr(made, name) for name in dir(made) if not name.startswith("_")]
    emu.reset()
    emu.configure("")
    gc.collect()
    after = repr(list(made)) if isinstance(made, qx.QxStringList) else [
        getattr(made, name) for name in dir(made) if not name.startswith("_")]
    assert repr(after) == repr(before)


def test_a_route_set_can_be_dropped_after_activation(emu):
    route = make_route()
    assert qx.QxActivateYamlRoutes(route) == 0
    active = emu.active_routes()
    alive = weakref.ref(route)
    del route
    gc.collect()
    assert alive() is None
    assert emu.active_routes() == active and active
