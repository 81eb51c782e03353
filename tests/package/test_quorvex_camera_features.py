"""quorvex's controls, firmware, boot data, registers, profiles, routes, IMU and calibration on
the emulated cameras."""

import pathlib
import sys

import pytest

import quorvex

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
sys.path.insert(0, str(EXAMPLES))


@pytest.mark.parametrize("index, uvc, isp", [(0, 17, 29), (1, 17, 0), (2, 8, 0)], ids=["zena", "zenm", "webcam"])
def test_controls_are_those_the_camera_has(emu, index, uvc, isp):
    with quorvex.open(index) as camera:
        kinds = [control.kind for control in camera.controls.values()]
        assert (kinds.count("uvc"), kinds.count("isp")) == (uvc, isp)
        assert "brightness" in camera.controls and ("isp_brightness" in camera.controls) == (isp > 0)
        assert ("hue" in camera.controls) == (index != 2)


def test_control_ranges_values_and_auto(emu):
    with quorvex.open(0) as camera:
        brightness = camera.controls["brightness"]
        assert (brightness.min, brightness.max, brightness.step, brightness.default) == (-64, 64, 1, 0)
        brightness.value = 12
        assert brightness.value == 12
        brightness.reset()
        assert brightness.value == 0
        white_balance = camera.controls["white_balance"]
        assert white_balance.auto
        white_balance.value = 5000
        assert not white_balance.auto and white_balance.value == 5000
        white_balance.auto = True
        assert white_balance.auto
        temperature = camera.controls["isp_white_balance_temperature"]
        assert (temperature.kind, temperature.step, temperature.default) == ("isp", 100, 5000)
        temperature.value = 6500
        assert temperature.value == 6500
        camera.controls.reset_isp()
        assert temperature.value == 5000
        assert set(camera.controls) >= {"color_enable", "exposure", "isp_ehdr_ratio_max", "isp_jpeg_quality"}


@pytest.mark.parametrize(
    "name, value, exception, message",
    [("brightness", 65, ValueError, "must lie in \\[-64, 64\\], not 65"),
     ("pan", 100, ValueError, "steps of 3600 from -36000"),
     ("isp_white_balance_temperature", 5050, ValueError, "steps of 100"),
     ("contrast", 1.5, TypeError, "whole number"), ("contrast", True, TypeError, "whole number")],
)
def test_control_values_outside_the_range_never_reach_the_library(emu, name, value, exception, message):
    with quorvex.open(0) as camera:
        emu.clear_journal()
        with pytest.raises(exception, match=message):
            camera.controls[name].value = value
        assert [call for call in emu.journal() if call[0].startswith("QxSet")] == []


def test_unknown_control_names_the_known_ones(emu):
    with quorvex.open(2) as camera, pytest.raises(KeyError, match="no control 'hue'; it has: brightness, contrast"):
        camera.controls["hue"]


def test_a_control_change_shows_in_the_frames(emu):
    with quorvex.open(0) as camera:
        camera.controls["brightness"].value = -64
        with camera.stream("RGB:640x480@30") as stream:
            white_bar = stream.read().to_rgb()[60, 3 * 80 + 40]
    assert white_bar.tolist() == [191, 191, 191]


def test_firmware_versions_and_upgrades_with_progress(emu, tmp_path):
    from firmware_image import TARGET_SENSOR, TARGET_USB_CONTROLLER, firmware_image

    import pyQuorvexSDK as qx

    emu.configure(emu.builtin_configuration() + "\nupgrade_time_ms: 0\n")
    with quorvex.open(0) as camera:
        assert (camera.firmware.usb_version, camera.firmware.zena_version, camera.firmware.sensor_version) == (
            "3.12.0", "1.4.2", "1.0.9")
        assert len(camera.firmware.sensor_unique_id) == 32
        sensor = tmp_path / "sensor.img"
        sensor.write_bytes(firmware_image(TARGET_SENSOR, qx.QXCAM_PRODUCT_TYPE_ZENA, "1.0.10"))
        reports: list[int] = []
        camera.firmware.upgrade_sensor(sensor, progress=reports.append)
        assert camera.firmware.sensor_version == "1.0.10" and reports[0] == 0 and reports[-1] == 100
        usb = tmp_path / "usb.img"
        usb.write_bytes(firmware_image(TARGET_USB_CONTROLLER, qx.QXCAM_PRODUCT_TYPE_ZENA, "3.12.1"))
        tqdm = pytest.importorskip("tqdm")
        with tqdm.tqdm(total=100, disable=False, file=open("/dev/null", "w")) as bar:
            camera.firmware.upgrade_usb(usb, progress=bar)
            assert bar.n == 100
        assert camera.firmware.usb_version == "3.12.1"
        broken = tmp_path / "broken.img"
        broken.write_bytes(b"QXFW")
        with pytest.raises(quorvex.QuorvexError, match="QxUpgradeSensorFW failed with status QX_UPGRADE_INVALID_FIRMWARE"):
            camera.firmware.upgrade_sensor(broken)
    with quorvex.open(1) as zenm, pytest.raises(quorvex.NotSupportedError, match="QxGetUSBFirmwareVersion"):
        zenm.firmware.usb_version  # noqa: B018


@pytest.mark.parametrize("index, version, product_name", [(0, 3, "Quorvex ZenA 13MP USB3 Camera"),
                                                          (1, 2, "Quorvex ZenM 5MP MIPI CSI-2 Camera")])
def test_bootdata_header_and_its_file(emu, tmp_path, index, version, product_name):
    with quorvex.open(index) as camera:
        assert camera.bootdata.version == version
        header = camera.bootdata.header()
    assert header.headerVersion == version and header.productName == product_name
    path = tmp_path / "header.bin"
    import struct

    if version == 3:
        path.write_bytes(struct.Struct("<BHH16s64s16sH2sHH6BHIHH").pack(
            3, 128, 0x1335, bytes(16), b"Bench", b"L", 0, bytes([1, 7]), 0x0203, 0, 24, 5, 14, 9, 32, 17, 1200, 128, 0, 0))
    else:
        path.write_bytes(struct.Struct("<BH64sB76s").pack(2, 144, b"Bench", 4, bytes(76)))
    assert quorvex.BootData.read_file(path).productName == "Bench"


def test_registers(emu):
    with quorvex.open(0) as camera:
        registers = camera.registers
        assert registers.ap1302_read(0x0000) == 0x0265
        registers.ap1302_write(0x2000, 1280)
        assert registers.ap1302_read(0x2000) == 1280
        assert registers.sensor_read(0x36, 0x3000) == 0x0153
        assert registers.i2c_read(0, 0x48, 0x00, count=2) == 0x1340
        assert registers.i2c_read(0, 0x48, 0x0B) == 0xCB
        registers.i2c_write(1, 0x20, 0x01, 0x0F)
        assert registers.i2c_read(1, 0x20, 0x01) == 0x0F
        with pytest.raises(quorvex.QuorvexError, match="QXE_READ_ONLY"):
            registers.ap1302_write(0x0000, 1)
        with pytest.raises(ValueError, match="address must be a whole number from 0 to 0xffff"):
            registers.ap1302_read(0x10000)
    with quorvex.open(2) as webcam, pytest.raises(quorvex.NotSupportedError):
        webcam.registers.ap1302_read(0)


def test_imu(emu):
    with quorvex.open(0) as camera:
        imu = camera.imu
        assert not imu.running
        with pytest.raises(quorvex.QuorvexError, match="QXE_IMU_DISABLED"):
            imu.acceleration()
        imu.enable()
        assert imu.running
        assert imu.acceleration()[2] == pytest.approx(9.80665, abs=0.02)
        assert imu.rotation_rate() == pytest.approx((0, 0, 0), abs=0.05)
        orientation = imu.orientation()
        assert orientation.yaw == pytest.approx(30, abs=0.5) and orientation.w >= 0
        assert 32 <= imu.temperature < 36 and imu.sensor_time >= 0
        imu.enable("self_test")
        assert imu.acceleration("positive")[0] == pytest.approx(4.903325, abs=0.02)
        imu.disable()
        assert not imu.running
        with pytest.raises(ValueError, match="mode must be one of"):
            imu.enable("fast")  # type: ignore[arg-type]


def test_calibration_round_trip(emu):
    with quorvex.open(0) as camera:
        factory = camera.calibration.intrinsics
        assert (factory.width, factory.height, factory.model) == (3840, 2160, "radtan")
        assert factory.fx == pytest.approx(2281.68, abs=0.01)
        changed = quorvex.Intrinsics(1920, 1080, 1000.0, 1001.0, 960.0, 540.0, (0.1, 0.0, 0.0, 0.0, 0.0), "none")
        camera.calibration.intrinsics = changed
        read = camera.calibration.intrinsics
        assert read.model == "none" and read.coeffs[0] == pytest.approx(0.1) and read.fx == 1000.0
        with pytest.raises(quorvex.QuorvexError, match="QXE_INVALID_ARGUMENT"):
            camera.calibration.intrinsics = quorvex.Intrinsics(0, 1080, 1.0, 1.0, 0.0, 0.0, (0.0,) * 5)


def test_profile_flag_and_routes(emu):
    with quorvex.open(0) as camera:
        assert camera.profile.flag == "disabled"
        with pytest.raises(quorvex.QuorvexError, match="QXE_PROFILE_DISABLED"):
            camera.profile.load(EXAMPLES / "osp_profile.yaml")
        camera.profile.flag = "enabled"
        camera.profile.load(EXAMPLES / "osp_profile.yaml")
        assert camera.profile.config
    quorvex.load_routes(EXAMPLES / "routes" / "sensor_to_video0.yaml").activate()
    assert len(emu.active_routes()) == 3
    with pytest.raises(quorvex.QuorvexError, match="QXE_ROUTE_CONFLICT"):
        quorvex.load_routes(EXAMPLES / "routes" / "broken_two_feeds.yaml").activate()
    with pytest.raises(quorvex.QuorvexError, match="was refused"):
        quorvex.load_routes(EXAMPLES / "osp_profile.yaml")
    quorvex.reset_routes()
    assert emu.active_routes() == []
