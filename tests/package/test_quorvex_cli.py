"""The quorvex command line, run as a separate program on the emulated cameras."""

import json
import os
import pathlib
import subprocess
import sys

import pytest

PILLOW = pytest.importorskip("PIL.Image")


def quorvex(*args, cwd, config=None):
    environment = {key: value for key, value in os.environ.items() if key != "QX_EMULATOR_CONFIG"}
    if config is not None:
        (cwd / "cameras.yaml").write_text(config)
        environment["QX_EMULATOR_CONFIG"] = str(cwd / "cameras.yaml")
    return subprocess.run([sys.executable, "-m", "quorvex", *args], cwd=cwd, env=environment,
                          capture_output=True, text=True, timeout=60)


def test_console_script_is_installed():
    script = pathlib.Path(sys.executable).parent / "quorvex"
    assert script.exists()
    result = subprocess.run([str(script), "--help"], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and "list" in result.stdout and "snapshot" in result.stdout
    version = subprocess.run([str(script), "--version"], capture_output=True, text=True, timeout=60)
    import quorvex as package

    assert version.stdout == f"quorvex {package.__version__}\n" and package.__version__[0].isdigit()


def test_list(emu, tmp_path):
    result = quorvex("list", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[:4] == [
        "3 cameras",
        "[0] Quorvex ZenA 13MP USB3 Camera",
        "    /dev/video0, USB, SUPER speed, hardware ID 3F1D:A013, unique ID 5BB9CD36EFE8A052FA7D5CB67F6BED50,"
        " product ZENA, Quorvex camera",
        "    29 formats:",
    ]
    assert "      YUY2  640x480@60,30  1280x720@60,30  1920x1080@60,30  3840x2160@15" in lines
    assert ("    /dev/video2, MIPI_CSI2, hardware ID 10-003c, unique ID E2987D21A79A6B6A3D3B9AEE75771098, product ZENM,"
            " Quorvex camera") in lines
    assert "    /dev/video4, USB, HIGH speed, hardware ID 046D:0825, product GENERIC_CAMERA" in lines  # none to show


def test_list_counts_one_in_the_singular(emu, tmp_path):
    config = ("cameras:\n  - {name: Solo, path: /dev/video9, interface: usb, product: zeni, hardware_id: S1,"
              " formats: [{format: YUY2, sizes: ['64x32'], fps: [30]}]}\n")
    result = quorvex("list", cwd=tmp_path, config=config)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "1 camera" and "    1 format:" in lines


def test_list_json(emu, tmp_path):
    result = quorvex("list", "--json", cwd=tmp_path)
    listing = json.loads(result.stdout)
    assert [camera["hardware_id"] for camera in listing] == ["3F1D:A013", "10-003c", "046D:0825"]
    assert listing[2]["formats"][0] == "MJPG:1920x1080@30" and len(listing[2]["formats"]) == 22
    assert [camera["unique_id"] for camera in listing] == ["5BB9CD36EFE8A052FA7D5CB67F6BED50",
                                                           "E2987D21A79A6B6A3D3B9AEE75771098", None]


@pytest.mark.parametrize(
    "args, output, size, described",
    [(("--camera", "0", "--format", "MJPG:1920x1080@30", "out.png"), "out.png", (1920, 1080), "MJPG:1920x1080@30"),
     (("--camera", "046D:0825", "--format", "NV12", "pictures/cam.jpg"), "pictures/cam.jpg", (1280, 720),
      "NV12:1280x720@30"),
     (("--camera", "/dev/video2", "--skip", "2", "shot.bmp"), "shot.bmp", (640, 480), "UYVY:640x480@60")],
)
def test_snapshot(emu, tmp_path, args, output, size, described):
    result = quorvex("snapshot", *args, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(f"saved {output} ({described}, frame ")
    with PILLOW.open(tmp_path / output) as picture:
        assert picture.size == size
        assert len(picture.convert("RGB").getcolors(maxcolors=1 << 20)) > 4


@pytest.mark.parametrize(
    "args, message",
    [(("snapshot", "--camera", "7", "out.png"), "quorvex snapshot: no camera 7 (3 found)"),
     (("snapshot", "--format", "H264", "out.png"), "quorvex snapshot: unknown pixel format 'H264'"),
     (("snapshot", "--format", "MJPG:99x99", "out.png"), "quorvex snapshot: no format matches MJPG 99x99"),
     (("snapshot", "--format", "MJPG:", "out.png"), "quorvex snapshot: cannot read format 'MJPG:'"),
     (("snapshot", "--skip", "-1", "out.png"), "quorvex snapshot: --skip must be 0 or more, not -1"),
     (("snapshot", "out.xyz"), "quorvex snapshot: unknown file extension: .xyz")],
)
def test_failures_end_with_one_line_and_status_1(emu, tmp_path, args, message):
    result = quorvex(*args, cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr.splitlines()[-1].startswith(message), result.stderr
    assert len(result.stderr.splitlines()) == 1


def test_timeout_of_a_stalled_camera(emu, tmp_path):
    config = ("cameras:\n  - {name: Slow, path: /dev/video9, interface: usb, product: zeni, hardware_id: S1,"
              " formats: [{format: YUY2, sizes: ['64x32'], fps: [1]}]}\n")
    result = quorvex("snapshot", "--skip", "1", "--timeout", "0.1", "out.png", cwd=tmp_path, config=config)
    assert result.returncode == 1
    assert "QxGetImage failed with status QX_TIMEOUT (-1)" in result.stderr
