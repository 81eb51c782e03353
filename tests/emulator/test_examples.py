"""The runnable examples, each in an interpreter of its own, against the emulated cameras."""

import os
import re
import subprocess
import sys
from importlib import metadata

import pytest
from PIL import Image

import pyQuorvexSDK as qx

from support import BARS, EXAMPLES

qx_emulator = pytest.importorskip(
    "qx_emulator", reason="the examples are checked against the emulated QuorvexSDK", exc_type=ImportError
)


# Packages an example needs beyond the module, numpy and Pillow.
REQUIRES = {"upgrade_firmware.py": "tqdm", "imu_plot.py": "matplotlib"}


class Runs:
    """Runs examples in fresh interpreters, each in a new folder, once per distinct command."""

    def __init__(self, folders):
        self._folders = folders
        self._done = {}

    def __call__(self, name, *args, config=None):
        package = REQUIRES.get(name)
        if package:
            try:
                metadata.distribution(package)
            except metadata.PackageNotFoundError:
                pytest.skip(f"{name} needs {package} (pip install {package})")
        key = (name, args, config)
        if key not in self._done:
            folder = self._folders.mktemp(name.removesuffix(".py"))
            environment = {k: v for k, v in os.environ.items() if k != "QX_EMULATOR_CONFIG"}
            if config is not None:
                (folder / "cameras.yaml").write_text(config)
                environment["QX_EMULATOR_CONFIG"] = str(folder / "cameras.yaml")
            environment["PYTHONUTF8"] = "1"  # the examples print "°" whatever the locale
            result = subprocess.run(
                [sys.executable, str(EXAMPLES / name), *args],
                cwd=folder, env=environment, capture_output=True, timeout=60,
            )
            # Decoded here: text=True would turn the "\r" of a redrawn progress bar into a line end.
            result.stdout, result.stderr = result.stdout.decode(), result.stderr.decode()
            self._done[key] = (result, folder)
        return self._done[key]


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    return Runs(tmp_path_factory)


@pytest.fixture(scope="module")
def quick_upgrades():
    return qx_emulator.builtin_configuration() + "\nupgrade_time_ms: 0\n"


def succeeded(result):
    assert result.returncode == 0, f"exit status {result.returncode}\n{result.stdout}\n{result.stderr}"
    return result.stdout.splitlines()


ZENA = "Quorvex ZenA 13MP USB3 Camera"
ZENM = "Quorvex ZenM 5MP MIPI CSI-2 Camera"
WEBCAM = "Generic UVC HD Webcam"

# Example, arguments, lines its output must hold, pictures it must write (path: size).
RUNS = [
    pytest.param(
        "capture.py", (),
        [f"3 camera(s): {ZENA}, {ZENM}, {WEBCAM}", "camera 0 offers 29 formats:",
         "capturing 5 frames of YUY2 1280x720 @ 60 fps", "saved out/capture.png", "saved out/gallery.png"],
        {"out/capture.png": (1280, 720), "out/gallery.png": (960, 780)},
        id="capture",
    ),
    pytest.param(
        "capture.py",
        ("--camera", "2", "--format", "mjpg", "--size", "640x480", "--frames", "2",
         "--output", "pictures/webcam.png", "--gallery", "pictures/all.png"),
        ["camera 2 offers 22 formats:", "capturing 2 frames of MJPG 640x480 @ 30 fps",
         "saved pictures/webcam.png", "saved pictures/all.png"],
        {"pictures/webcam.png": (640, 480), "pictures/all.png": (960, 780)},
        id="capture-webcam-mjpg",
    ),
    pytest.param(
        "capture_flat.py", (),
        [f"3 camera(s): {ZENA}, {ZENM}, {WEBCAM}", "camera 0 offers 29 formats:",
         "capturing 5 frames of YUY2 1280x720 @ 60 fps", "saved out/capture.png", "saved out/gallery.png"],
        {"out/capture.png": (1280, 720), "out/gallery.png": (960, 780)},
        id="capture-flat",
    ),
    pytest.param(
        "sweep_control.py", ("--steps", "5"),
        ["brightness: -64 to 64 in steps of 1, default 0", "  brightness =    -64: white bar at 191",
         "  brightness =    -32: white bar at 223", "  brightness =     64: white bar at 255", "saved out/sweep.png"],
        {"out/sweep.png": (1280, 192)},
        id="sweep_control",
    ),
    pytest.param(
        "sweep_control.py", ("--camera", "2", "--control", "gain", "--steps", "2", "--output", "g.png"),
        ["gain: 0 to 255 in steps of 1, default 0", "  gain =      0: white bar at 255", "saved g.png"],
        {"g.png": (512, 192)},
        id="sweep_control-webcam-gain",
    ),
    pytest.param(
        "list_cameras.py", (),
        ["Hello QuorvexSDK 2.4.0 (emulated)", "3 camera(s) found", f"  [1] {ZENM}",
         "      interface:     INTERFACE_MIPI_CSI2", "      Quorvex:       no"],
        {},
        id="list_cameras",
    ),
    pytest.param(
        "registers.py", (),
        ["AP1302 chip version 0x0265, revision 0x0206",
         "AP1302 PREVIEW_WIDTH: 1920, wrote 1280, read back 1280, restored 1920",
         "Sensor at I2C address 0x36: chip ID 0x0153",
         "Temperature sensor (bus 0, address 0x48, ID 0xCB): raw 0x1340 = 38.50 °C"],
        {},
        id="registers",
    ),
    pytest.param(
        "intrinsics.py", (),
        ["  image size       3840 x 2160", "  focal length     fx 2281.68, fy 2286.05 (pixels)",
         "  coefficients     k1 -0.120771, k2 0.046946, p1 0.000380, p2 -0.000357, k3 -0.007803",
         "  coefficients     k1 -0.115000, k2 0.042000, p1 0.000200, p2 -0.000100, k3 -0.007100",
         "The calibration read back matches the one written", "Factory calibration restored"],
        {},
        id="intrinsics",
    ),
    pytest.param(
        "intrinsics.py", ("--camera", "1", "--keep"),
        ["  image size       2592 x 1944", "  principal point  cx 1294.97, cy 970.09 (pixels)",
         "The calibration read back matches the one written"],
        {},
        id="intrinsics-zenm-keep",
    ),
    pytest.param(
        "bootdata.py", (),
        ["Boot-data header version 3:", "  sensorType       0x1335", "  lensId           'QL-M12-4K-F2.0'",
         "  kmFwVersion      '0107'", "Wrote 125 bytes to out/bootdata_header.bin",
         "Read out/bootdata_header.bin back with QxGetBootdataHeaderV3FromFile: all 20 fields match"],
        {},
        id="bootdata-v3",
    ),
    pytest.param(
        "bootdata.py", ("--camera", "1", "--output", "boot/v2.bin"),
        ["Boot-data header version 2:", f"  productName      '{ZENM}'", "  productVersion   4",
         "Read boot/v2.bin back with QxGetBootdataHeaderV2FromFile: all 4 fields match"],
        {},
        id="bootdata-v2",
    ),
    pytest.param(
        "imu_plot.py", ("--seconds", "0.5", "--rate", "20", "--output", "plots/imu.png"),
        ["Sampling the IMU in ISPU mode for 0.5 s at 20 per second", "saved plots/imu.png"],
        {"plots/imu.png": (1000, 900)},
        id="imu_plot",
    ),
]


@pytest.mark.parametrize("name, args, lines, pictures", RUNS)
def test_output_and_pictures(run, name, args, lines, pictures):
    result, folder = run(name, *args)
    output = succeeded(result)
    missing = [line for line in lines if line not in output]
    assert not missing, result.stdout
    for path, size in pictures.items():
        with Image.open(folder / path) as picture:
            assert (picture.format, picture.size) == ("PNG", size)
            # A blank or single-colour picture means nothing was drawn.
            assert len(picture.convert("RGB").getcolors(maxcolors=1 << 20)) > 4


def test_capture_saves_the_test_pattern(run):
    _, folder = run("capture.py")
    with Image.open(folder / "out/capture.png") as picture:
        rgb = picture.convert("RGB")
    width, height = rgb.size
    for bar, colour in enumerate(BARS):
        pixel = rgb.getpixel((bar * width // 8 + width // 16, height // 4))
        assert all(abs(a - b) <= 3 for a, b in zip(pixel, colour)), (bar, pixel)


def numbers(line):
    return [float(number) for number in re.findall(r"-?\d+(?:\.\d+)?", line)]


def test_imu_plot_reports_the_emulated_motion(run):
    output = succeeded(run("imu_plot.py", "--seconds", "0.5", "--rate", "20", "--output", "plots/imu.png")[0])
    summary = {line.split(":")[0]: line for line in output}
    samples_line = next(line for line in output if line.endswith("s of IMU time"))
    # Ten samples due 0.45 s apart from first to last; a busy machine only spreads them further.
    count, elapsed = numbers(samples_line)
    assert count == 10 and elapsed >= 0.3
    assert numbers(summary["mean acceleration (m/s²)"])[-3:] == pytest.approx([0, 0, 9.80665], abs=0.02)
    assert numbers(summary["mean rotation rate (°/s)"])[-3:] == pytest.approx([0, 0, 0], abs=0.05)
    # The ISPU turns at 6 degrees a second from 30 degrees when the IMU starts, so the yaw moves
    # as the IMU's own clock does. Each sample reads the IMU's time before its yaw: 1 degree
    # allows 160 ms between the two reads on a busy machine.
    first, last = numbers(summary["ISPU yaw"])
    assert first >= 30 and last - first == pytest.approx(6 * elapsed, abs=1.0)
    first, last = numbers(summary["temperature"])
    assert 32 <= first <= last < 32.1


CONTROL_LINE = re.compile(r"^  ([A-Z_]+) +(-?\d+) +(-?\d+) +(\d+) +(-?\d+) +(-?\d+)  (\d) \w+$")


def controls_by_section(output):
    """{"UVC": {name: (min, max, step, default, value, flag)}, "ISP": {...}} from the listing."""
    sections, current = {"UVC": {}, "ISP": {}}, None
    for line in output:
        if line.startswith(("UVC controls", "ISP controls")):
            current = sections[line[:3]]
        elif match := CONTROL_LINE.match(line):
            name, *numbers = match.groups()
            current[name] = tuple(int(number) for number in numbers)
    return sections


@pytest.mark.parametrize(
    "camera, uvc, isp, unsupported",
    [("0", 17, 29, 0), ("1", 17, 0, 0), ("2", 8, 0, 9)],
    ids=["zena-ap1302", "zenm", "webcam"],
)
def test_list_controls(run, camera, uvc, isp, unsupported):
    output = succeeded(run("list_controls.py", "--camera", camera)[0])
    sections = controls_by_section(output)
    assert (len(sections["UVC"]), len(sections["ISP"])) == (uvc, isp)
    assert sum(" not supported (status " in line for line in output) == unsupported
    assert ("ISP controls: none, the camera supports none of them" in output) == (isp == 0)
    for name, (minimum, maximum, step, default, value, flag) in sections["UVC"].items():
        assert minimum <= default <= maximum and step > 0, name
        # A fresh library holds every control at its default; only these three start automatic.
        assert value == default, name
        assert flag == (1 if name in {"WHITEBALANCE", "EXPOSURE", "FOCUS"} else 2), name
    for name, (minimum, maximum, step, default, value, flag) in sections["ISP"].items():
        assert minimum <= default == value <= maximum and flag == 1, name


@pytest.mark.parametrize(
    "args, path, version, size",
    [((), "out/bootdata_header.bin", 3, 125), (("--camera", "1", "--output", "boot/v2.bin"), "boot/v2.bin", 2, 144)],
    ids=["v3", "v2"],
)
def test_bootdata_file_holds_the_header_bytes_of_the_eeprom(run, args, path, version, size):
    result, folder = run("bootdata.py", *args)
    succeeded(result)
    written = (folder / path).read_bytes()
    camera = qx.QxInitialCameraDevice(1 if args else 0)
    assert qx.QxOpen(camera) == 0
    try:
        eeprom = bytearray()
        for register in range(0, size, 2):
            status, word = qx.QxGenericI2CRead(camera, 0, 0x50, register, 2)
            assert status == 0
            eeprom += word.to_bytes(2, "big")
    finally:
        qx.QxClose(camera)
    assert written[0] == version
    assert written == bytes(eeprom[:size])


@pytest.mark.parametrize(
    "camera, lines, images",
    [
        ("0", ["USB firmware:    3.12.0 -> 3.12.1", "Sensor firmware: 1.0.9 -> 1.0.10"], {"usb.img", "sensor.img"}),
        ("1", ["USB firmware:    none to upgrade (status -7)", "Sensor firmware: 0.9.14 -> 0.9.15"],
         {"sensor.img"}),
        ("2", ["USB firmware:    none to upgrade (status -7)", "Sensor firmware: none to upgrade (status -7)"],
         set()),
    ],
    ids=["zena", "zenm-mipi", "webcam"],
)
def test_upgrade_firmware(run, quick_upgrades, camera, lines, images):
    result, folder = run("upgrade_firmware.py", "--camera", camera, "--output", "fw", config=quick_upgrades)
    output = succeeded(result)
    assert [line for line in lines if line not in output] == []
    written = {path.name for path in (folder / "fw").iterdir()}
    assert written == images
    for image in images:
        assert (folder / "fw" / image).read_bytes()[:4] == b"QXFW"
    # One progress bar per upgrade, each left at its end: a bar redraws itself after a "\r".
    bars = [line.rsplit("\r", 1)[-1] for line in result.stderr.split("\n") if "%|" in line]
    assert len(bars) == len(images) and all("100%|" in bar for bar in bars), result.stderr


# Examples refused by the camera they are pointed at: exit status 1, naming what failed.
FAILURES = [
    pytest.param("list_controls.py", ("--camera", "3"), "no camera 3 (3 found)", id="no-such-camera"),
    pytest.param("capture.py", ("--size", "1x1"), "the camera offers no YUY2 1x1 format", id="no-such-format"),
    pytest.param("capture_flat.py", ("--size", "1x1"), "the camera offers no YUY2 1x1 format", id="flat-no-such-format"),
    pytest.param("sweep_control.py", ("--camera", "2", "--control", "hue"),
                 "the camera has no control 'hue'; it has: brightness, contrast, saturation, sharpness, white_balance, "
                 "backlight_compensation, gain, exposure", id="no-such-control"),
    pytest.param("async_two_cameras.py", ("--cameras", "0", "5"), "no camera 5 (3 found)", id="async-no-such-camera"),
    pytest.param("registers.py", ("--camera", "2"), "QxAP1302I2CRead of CHIP_VERSION (0x0000) failed with status -7",
                 id="registers-without-ap1302"),
    pytest.param("bootdata.py", ("--camera", "2"), "QxGetHeaderVersion failed with status -7", id="no-boot-data"),
    pytest.param("imu_plot.py", ("--camera", "1"), "QxEnableIMUMode(ISPU) failed with status -7", id="no-imu"),
    pytest.param("intrinsics.py", ("--camera", "2"), "QxGetIntrinsics failed with status -7", id="no-calibration"),
]


@pytest.mark.parametrize("name, args, message", FAILURES)
def test_failures_say_what_failed(run, name, args, message):
    result, _ = run(name, *args)
    assert result.returncode == 1, result.stdout
    assert result.stderr.splitlines()[-1] == message


def test_broken_configuration_fails_discovery_and_says_why(run):
    result, _ = run("list_cameras.py", config="cameras:\n  - name: Bench\n    colour: red\n")
    assert result.returncode == 1 and result.stderr.endswith("camera discovery failed with status -1\n")
    assert re.search(r"bad camera configuration in .*cameras\.yaml, line 3: .*unknown key 'colour'", result.stderr)


def test_async_two_cameras_reads_both_while_the_loop_ticks(run):
    output = succeeded(run("async_two_cameras.py", "--cameras", "0", "2", "--seconds", "0.6")[0])
    counts = {}
    for line in output:
        if match := re.match(r"camera (\d) \((.*)\), (\S+): (\d+) frames, [\d.]+ per second$", line):
            counts[int(match[1])] = (match[2], match[3], int(match[4]))
    assert counts[0][:2] == (ZENA, "YUY2:640x480@60") and counts[2][:2] == (WEBCAM, "MJPG:1920x1080@30")
    # 0.6 s at 60 and 30 frames a second at most; fewer when the machine is busy.
    assert 5 <= counts[0][2] <= 45 and 3 <= counts[2][2] <= 24, output
    assert any(line.startswith("the event loop ticked") for line in output)


def test_reconnect_two_cameras_reconnects_only_the_unplugged_one(run):
    output = succeeded(run("reconnect_two_cameras.py", "--seconds", "1.5")[0])
    found = {}
    for line in output:
        if match := re.match(r"(/dev/video\d+) \(\w+\): (\d+) frames before the unplugging, (\d+) after the plugging in, "
                             r"reconnects (\d+), dropped (\d+), missing from the sequence (\d+)$", line):
            found[match[1]] = [int(number) for number in match.groups()[1:]]
    assert set(found) == {"/dev/video20", "/dev/video21"}, output
    for path, reconnects in [("/dev/video20", 0), ("/dev/video21", 1)]:
        before, after, reconnected, dropped, missing = found[path]
        assert before > 0 and after > 0 and reconnected == reconnects and dropped == missing, output


def test_every_runnable_example_is_run():
    tested = {param.values[0] for param in RUNS} | {"upgrade_firmware.py", "list_controls.py", "async_two_cameras.py",
                                                     "reconnect_two_cameras.py", "synchronized_cameras.py"}
    runnable = {path.name for path in EXAMPLES.glob("*.py") if 'if __name__ == "__main__":' in path.read_text()}
    assert runnable == tested


def test_synchronized_cameras_prints_groups_clock_skew_and_unmatched(run):
    output = succeeded(run("synchronized_cameras.py", "--seconds", "1", "--tolerance", "0.02")[0])
    groups = re.fullmatch(r"(\d+) groups of 3 frames in 1 s, matched by the (device|host) clock", output[0])
    skew = re.fullmatch(r"largest skew within a group: ([\d.]+) ms \(tolerance 20\.0 ms\)", output[1])
    unmatched = re.fullmatch(r"unmatched frames: camera 0: \d+, camera 1: \d+, camera 2: \d+", output[2])
    assert groups and skew and unmatched, output
    assert int(groups[1]) >= 1 and float(skew[1]) <= 20.0
