"""Configuration, route and other input files of hostile size, shape or encoding."""

import os
import textwrap

import pytest

import pyQuorvexSDK as qx

from conftest import run_python

# The sanitizer runtime maps far more address space than any cap would leave.
SANITIZED = bool(os.environ.get("QX_SANITIZED_BUILD"))

CAMERA = """\
  - &camera
    name: Cam
    path: /dev/video0
    interface: usb
    product: zena
    hardware_id: "3F1D:A013"
"""


def run_bounded(code, env=None):
    """Runs code in a child whose address space is capped, so that a fault cannot take the machine."""
    prologue = "" if SANITIZED else """
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
    """
    prologue += """
        import pyQuorvexSDK as qx, qx_emulator
    """
    environment = {**os.environ, **(env or {})}
    return run_python(textwrap.dedent(prologue) + textwrap.dedent(code), env=environment)


def refused_in_child(text, folder):
    path = folder / "configuration.yaml"
    path.write_text(text)
    result = run_bounded(f"""
        import pathlib
        print(qx_emulator.configure(pathlib.Path({str(path)!r}).read_text()), qx.QxDiscoverCameraDevices()[0])
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "False -1", result.stderr
    return result.stderr


def aliased_cameras(count):
    return "cameras:\n" + CAMERA + "".join("  - *camera\n" for _ in range(count - 1))


def many_formats_camera(aliases):
    sizes = ", ".join(f'"{64 + 2 * i}x480"' for i in range(256))
    fps = ", ".join(str(i) for i in range(1, 256))
    return (f"cameras:\n{CAMERA}    formats: [{{format: YUY2, sizes: [{sizes}], fps: [{fps}]}}]\n"
            + "".join("  - *camera\n" for _ in range(aliases)))


def laughs(levels):
    lines = ["a0: &a0 [x, x, x, x, x, x, x, x, x, x]"]
    for level in range(1, levels):
        lines.append(f"a{level}: &a{level} [" + ", ".join(f"*a{level - 1}" for _ in range(10)) + "]")
    return "\n".join(lines) + "\ncameras: []\n"


@pytest.mark.parametrize("text, problem", [
    pytest.param(lambda limits: laughs(9), "YAML nodes", id="aliases-of-aliases"),
    pytest.param(lambda limits: many_formats_camera(20), "formats over all cameras", id="aliased-format-lists"),
    pytest.param(lambda limits: aliased_cameras(limits["config_cameras"] + 1), "cameras", id="cameras"),
    pytest.param(lambda limits: "cameras: []\n---\ncameras: [\n", "line 4", id="broken-second-document"),
    pytest.param(lambda limits: "cameras: []\n---\ncameras: []\n", "more than one YAML document",
                 id="second-document"),
])
def test_a_configuration_past_a_limit_is_refused_with_the_log_line(emu, tmp_path, text, problem):
    log = refused_in_child(text(emu.limits()), tmp_path)
    assert "bad camera configuration in configuration text" in log and "; no cameras" in log
    assert problem in log


def test_aliased_cameras_at_the_limit_load(emu):
    limit = emu.limits()["config_cameras"]
    assert emu.configure(aliased_cameras(limit))
    assert len(qx.QxDiscoverCameraDevices()[1]) == limit


@pytest.mark.parametrize("past", [0, 1], ids=["at-the-limit", "past-it"])
def test_the_configuration_file_is_read_up_to_its_limit(emu, tmp_path, past):
    head = "cameras:\n" + CAMERA
    path = tmp_path / "cameras.yaml"
    size = emu.limits()["config_bytes"] + past
    path.write_text(head + "#" * (size - len(head) - 1) + "\n")
    result = run_bounded("print(*qx.QxDiscoverCameraDevices()[0:1], len(qx.QxDiscoverCameraDevices()[1]))",
                         env={"QX_EMULATOR_CONFIG": str(path)})
    assert result.stdout.strip() == ("-1 1" if past else "0 1"), result.stderr
    assert ("larger than" in result.stderr) == bool(past)


@pytest.mark.parametrize("path", ["/dev/zero", "/dev/urandom", "fifo"])
def test_an_endless_or_silent_configuration_fails_discovery(tmp_path, path):
    if path == "fifo":  # nobody writes it: reading must not wait for a writer
        path = tmp_path / "fifo"
        os.mkfifo(path)
    result = run_bounded("""
        print(qx.QxDiscoverCameraDevices()[0], qx.QxDiscoverCameraDevices()[0], qx.QxInitialCameraDevice(0))
    """, env={"QX_EMULATOR_CONFIG": str(path)})
    assert result.stdout.strip() == "-1 -1 None", result.stderr
    assert "bad camera configuration in" in result.stderr


@pytest.mark.parametrize("text", [
    "routes: []\n---\nroutes: [\n",
    "routes: []\n---\nroutes: []\n",
    "a0: &a0 [x, x, x, x, x, x, x, x, x, x]\n" + "".join(
        f"a{i}: &a{i} [" + ", ".join([f"*a{i - 1}"] * 10) + "]\n" for i in range(1, 9)) + "routes: []\n",
], ids=["broken-second-document", "second-document", "aliases-of-aliases"])
def test_a_route_file_of_hostile_shape_is_refused(tmp_path, text):
    path = tmp_path / "routes.yaml"
    path.write_text(text)
    assert qx.QxLoadRouteYaml(str(path)) is None


@pytest.mark.parametrize("key", ["name", "path", "hardware_id"])
def test_text_that_is_not_utf8_is_refused_where_it_comes_in(emu, key):
    text = CAMERA.replace("  - &camera\n", "  - \n").encode()
    value = {"name": b"Cam", "path": b"/dev/video0", "hardware_id": b'"3F1D:A013"'}[key]
    text = text.replace(b" " + value + b"\n", b" Cam\xff\xfe\n")
    assert not emu.configure(b"cameras:\n" + text)
    assert qx.QxDiscoverCameraDevices()[0] == emu.QXE_FAILED


@pytest.mark.parametrize("name, valid", [
    (b"\xc0\x80", False),          # overlong NUL
    (b"\xe0\x80\xaf", False),      # overlong '/'
    (b"\xed\xa0\x80", False),      # a UTF-16 surrogate
    (b"\xf4\x90\x80\x80", False),  # above U+10FFFF
    (b"\xe2\x82", False),          # cut short
    (b"\x80", False),              # a continuation byte alone
    (b"\xf0\x9f\x93\xb7", True),   # U+1F4F7, four bytes
    (b"\xed\x9f\xbf", True),       # U+D7FF, just below the surrogates
    (b"\xf4\x8f\xbf\xbf", True),   # U+10FFFF
])
def test_utf8_is_checked_to_the_edges_of_its_ranges(emu, name, valid):
    text = b"cameras:\n" + CAMERA.replace("name: Cam", "name: Cam ").encode().replace(b"Cam \n", b"Cam " + name + b"\n")
    assert emu.configure(text) == valid
    if valid:
        camera = qx.QxInitialCameraDevice(0)
        assert qx.QxOpen(camera) == 0
        assert qx.QxGetDeviceName(camera) == (0, "Cam " + name.decode())
        qx.QxClose(camera)


@pytest.mark.parametrize("name, kept", [
    ("a" * 62 + "é", "a" * 62),           # the 2-byte character would straddle the 63-byte text
    ("a" * 61 + "é", "a" * 61 + "é"),     # fits exactly
    ("a" * 61 + "€", "a" * 61),           # a 3-byte character
    ("€" * 30, "€" * 21),
])
def test_the_product_name_is_cut_between_characters(emu, name, kept):
    assert emu.configure("cameras:\n" + CAMERA.replace("name: Cam", f"name: {name}"))
    camera = qx.QxInitialCameraDevice(0)
    assert qx.QxOpen(camera) == 0
    assert qx.QxGetDeviceName(camera) == (0, name)
    assert qx.QxGetBootdataHeaderV3(camera)[1].productName == kept
    qx.QxClose(camera)


@pytest.mark.skipif(SANITIZED, reason="needs a cap on the address space")
def test_running_out_of_memory_inside_the_library_is_a_status(emu, tmp_path):
    # Cameras cheap to parse and dear to set up (a device each), with little address space left.
    path = tmp_path / "cameras.yaml"
    path.write_text("cameras:\n" + "".join(
        f"  - {{name: C{i}, path: /dev/v{i}, interface: usb, product: zena, hardware_id: H}}\n" for i in range(4000)))
    result = run_bounded(f"""
        import re, resource
        # The libraries' thread-local data is set up on first use: use them while memory lasts.
        # (a refused configuration throws and logs inside the library).
        assert qx_emulator.configure({"cameras:" + chr(10) + CAMERA!r}) and not qx_emulator.configure("[")
        qx_emulator.reset()
        in_use = int(re.search(r"VmSize:\\s+(\\d+) kB", open("/proc/self/status").read())[1]) << 10
        resource.setrlimit(resource.RLIMIT_AS, (in_use + (24 << 20), 3 << 30))
        status, names = qx.QxDiscoverCameraDevices()
        print(status, len(names), len(qx.QxDiscoverCameraDevices()[1]))
    """, env={"QX_EMULATOR_CONFIG": str(path)})
    assert result.returncode == 0, result.stderr
    # Refused for want of memory, discovery fails; the reason may not fit in memory either.
    status, *counts = result.stdout.split()
    assert status == str(emu.QXE_FAILED) and set(counts) <= {"0", "1"}, result.stderr
    assert "out of memory" in result.stderr or "std::bad_alloc; no cameras" in result.stderr
