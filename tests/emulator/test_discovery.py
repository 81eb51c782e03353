import pytest

import pyQuorvexSDK as qx

DEFAULT_CAMERAS = [
    # name, path, interface, product, USB speed, is a Quorvex camera
    ("Quorvex ZenA 13MP USB3 Camera", "/dev/video0", qx.INTERFACE_USB,
     qx.QXCAM_PRODUCT_TYPE_ZENA, qx.USB_DEVICE_SPEED_SUPER, 1),
    ("Quorvex ZenM 5MP MIPI CSI-2 Camera", "/dev/video2", qx.INTERFACE_MIPI_CSI2,
     qx.QXCAM_PRODUCT_TYPE_ZENM, qx.USB_DEVICE_SPEED_UNKNOWN, 1),
    ("Generic UVC HD Webcam", "/dev/video4", qx.INTERFACE_USB,
     qx.QXCAM_PRODUCT_TYPE_GENERIC_CAMERA, qx.USB_DEVICE_SPEED_HIGH, 0),
]


def test_discovery_lists_the_default_cameras(emu):
    status, devices = qx.QxDiscoverCameraDevices()
    assert status == 0
    assert type(devices) is qx.QxStringList
    assert list(devices) == [name for name, *_ in DEFAULT_CAMERAS]


def test_discovery_without_cameras_gives_an_empty_list(emu):
    assert emu.configure("cameras: []\n")
    status, devices = qx.QxDiscoverCameraDevices()
    assert status == 0 and type(devices) is qx.QxStringList
    assert len(devices) == 0 and not devices


@pytest.mark.parametrize("index, expected", list(enumerate(DEFAULT_CAMERAS)))
def test_device_information_of_each_default_camera(emu, index, expected):
    name, path, interface, product, speed, is_quorvex = expected
    camera = qx.QxInitialCameraDevice(index)
    assert qx.QxIsQuorvexCamera(camera) == is_quorvex
    assert qx.QxOpen(camera) == 0
    assert qx.QxGetDeviceName(camera) == (0, name)
    assert qx.QxGetDevicePath(camera) == (0, path)
    assert qx.QxGetDeviceInterfaceType(camera) == (0, interface)
    assert qx.QxGetDeviceProductType(camera) == (0, product)
    assert qx.QxGetUSBDeviceSpeed(camera) == (0, speed)
    status, hardware_id = qx.QxGetHardwareID(camera)
    assert status == 0 and hardware_id
    assert qx.QxClose(camera) == 0


def test_lifecycle_statuses(emu):
    camera = qx.QxInitialCameraDevice(0)
    assert qx.QxGetDeviceName(camera) == (emu.QXE_NOT_OPEN, "")
    assert qx.QxClose(camera) == emu.QXE_NOT_OPEN
    assert qx.QxOpen(camera) == 0
    assert qx.QxOpen(camera) == emu.QXE_ALREADY_OPEN
    assert qx.QxClose(camera) == 0
    assert qx.QxClose(camera) == emu.QXE_NOT_OPEN


def test_handle_of_a_replaced_configuration_is_detached(emu):
    camera = qx.QxInitialCameraDevice(0)
    assert emu.configure("")
    assert qx.QxOpen(camera) == emu.QXE_NO_DEVICE
    assert qx.QxInitialCameraDevice(0) is not camera


@pytest.mark.parametrize("as_bytes", [False, True], ids=["str", "bytes"])
def test_log_file_receives_messages_at_the_set_level(emu, tmp_path, as_bytes):
    log_file = tmp_path / "sdk.log"
    path = str(log_file).encode() if as_bytes else str(log_file)
    assert qx.QxSetLogFile(path) == 0
    qx.QxSetLogLevel(qx.QX_LOG_LEVEL_TRACE)
    qx.QxOpen(qx.QxInitialCameraDevice(0))
    qx.QxSetLogLevel(qx.QX_LOG_LEVEL_OFF)
    traced = log_file.read_text()
    assert "QxOpen" in traced
    qx.QxClose(qx.QxInitialCameraDevice(0))
    assert log_file.read_text() == traced


def test_unwritable_log_file_fails_without_crashing(emu, tmp_path):
    status = qx.QxSetLogFile(str(tmp_path / "missing-folder" / "sdk.log"))
    assert status == emu.QXE_IO_ERROR
    assert qx.QxOpen(qx.QxInitialCameraDevice(0)) == 0


@pytest.mark.parametrize(
    "text",
    [
        "cameras: [ {name: only-a-name} ]\n",
        "cameras:\n  - {name: a, path: /dev/a, interface: usb, product: zena, hardware_id: x, colour: red}\n",
        "cameras:\n  - {name: a, path: /dev/a, interface: firewire, product: zena, hardware_id: x}\n",
        "cameras: [ {name: a, path: \n",
        "cameras: 3\n",
    ],
    ids=["missing-keys", "unknown-key", "bad-interface", "bad-yaml", "not-a-list"],
)
def test_bad_configuration_is_logged_and_fails_discovery(emu, tmp_path, text):
    log_file = tmp_path / "sdk.log"
    assert qx.QxSetLogFile(str(log_file)) == 0
    assert emu.configure(text) is False
    status, names = qx.QxDiscoverCameraDevices()
    assert status == emu.QXE_FAILED and len(names) == 1
    assert qx.QxInitialCameraDevice(0) is None
    assert f"[error] {names[0]}; no cameras" in log_file.read_text()


def test_configuration_file_from_the_environment(emu, tmp_path, monkeypatch):
    config = tmp_path / "cameras.yaml"
    config.write_text(
        "cameras:\n"
        "  - name: Bench Camera\n    path: /dev/video9\n    interface: ethernet\n"
        "    product: zeni\n    hardware_id: BENCH-1\n"
    )
    monkeypatch.setenv("QX_EMULATOR_CONFIG", str(config))
    emu.reset()
    camera = qx.QxInitialCameraDevice(0)
    assert qx.QxOpen(camera) == 0
    assert qx.QxGetDeviceInterfaceType(camera) == (0, qx.INTERFACE_ETHERNET)
    assert qx.QxGetUSBDeviceSpeed(camera) == (0, qx.USB_DEVICE_SPEED_UNKNOWN)
    assert qx.QxInitialCameraDevice(1) is None
    monkeypatch.setenv("QX_EMULATOR_CONFIG", str(tmp_path / "missing.yaml"))
    emu.reset()
    assert qx.QxInitialCameraDevice(0) is None
