"""What the emulated library may touch when it writes a file: the target keeps its identity."""

import os
import stat

import pytest

import pyQuorvexSDK as qx

from conftest import run_python


def export(camera, path):
    return qx.QxExportSensorConfig(camera, str(path))


def decode(camera, path, tmp_path):
    """Writes through QxDecodeSensorConfig, from a file exported beforehand."""
    source = tmp_path / "source.qxsc"
    assert export(camera, source) == 0
    return qx.QxDecodeSensorConfig(str(source), str(path))


WRITERS = [pytest.param(lambda camera, path, tmp: export(camera, path), id="export"),
           pytest.param(decode, id="decode")]


def leftovers(folder, *expected):
    return sorted(set(os.listdir(folder)) - {"source.qxsc", *expected})


@pytest.mark.parametrize("write", WRITERS)
@pytest.mark.parametrize("dangling", [False, True], ids=["existing", "dangling"])
def test_a_symbolic_link_is_followed_not_replaced(camera, tmp_path, write, dangling):
    target = tmp_path / "real" / "target"
    target.parent.mkdir()
    if not dangling:
        target.write_bytes(b"old")
    link = tmp_path / "link"
    link.symlink_to(os.path.relpath(target, tmp_path))
    assert write(camera, link, tmp_path) == 0
    assert link.is_symlink()
    assert target.read_bytes() not in (b"", b"old")
    assert leftovers(tmp_path, "real", "link") == [] and os.listdir(target.parent) == ["target"]


@pytest.mark.parametrize("write", WRITERS)
@pytest.mark.parametrize("mode", [0o600, 0o640, 0o604])
def test_an_existing_file_keeps_its_mode_and_owner(camera, tmp_path, write, mode):
    target = tmp_path / "target"
    target.write_bytes(b"old")
    target.chmod(mode)
    owner = (4321, 4322) if os.geteuid() == 0 else (os.getuid(), os.getgid())
    os.chown(target, *owner)
    assert write(camera, target, tmp_path) == 0
    info = target.stat()
    assert (stat.S_IMODE(info.st_mode), info.st_uid, info.st_gid) == (mode, *owner)
    assert target.read_bytes() != b"old"
    assert leftovers(tmp_path, "target") == []


@pytest.mark.parametrize("write", WRITERS)
def test_a_read_only_file_is_refused_and_kept(emu, camera, tmp_path, write):
    target = tmp_path / "target"
    target.write_bytes(b"old")
    target.chmod(0o444)
    assert write(camera, target, tmp_path) == emu.QXE_IO_ERROR
    assert target.read_bytes() == b"old" and stat.S_IMODE(target.stat().st_mode) == 0o444
    assert leftovers(tmp_path, "target") == []


@pytest.mark.parametrize("write", WRITERS)
def test_a_folder_is_refused(emu, camera, tmp_path, write):
    target = tmp_path / "folder"
    target.mkdir()
    assert write(camera, target, tmp_path) == emu.QXE_IO_ERROR
    assert target.is_dir() and os.listdir(target) == []


@pytest.mark.parametrize("write", WRITERS)
def test_a_character_device_is_written_straight(camera, tmp_path, write):
    # A node of its own for the null device: a library that replaced its target would otherwise
    # destroy the system's /dev/null.
    null = tmp_path / "null"
    try:
        os.mknod(null, stat.S_IFCHR | 0o666, os.makedev(1, 3))
    except PermissionError:
        pytest.skip("making a device node needs root")
    assert write(camera, null, tmp_path) == 0
    assert stat.S_ISCHR(os.lstat(null).st_mode)
    assert leftovers(tmp_path, "null") == []


@pytest.mark.parametrize("write", WRITERS)
def test_a_fifo_is_written_straight_while_read(camera, tmp_path, write):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    # The file is smaller than the pipe's buffer: the library writes it whole without a reader waiting.
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    try:
        assert write(camera, fifo, tmp_path) == 0
        received = os.read(reader, 1 << 16)
    finally:
        os.close(reader)
    assert received.startswith(b"QXSC") or received.startswith(b"{")
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)


@pytest.mark.parametrize("function", ["export", "log"])
def test_a_fifo_nobody_reads_is_refused_at_once(emu, tmp_path, function):
    # In a child: before the fix the call blocked for ever opening the FIFO, or replaced it.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    call = {"export": "qx.QxExportSensorConfig(camera, path)", "log": "qx.QxSetLogFile(path)"}[function]
    result = run_python(f"""
        import pyQuorvexSDK as qx, qx_emulator
        camera = qx.QxInitialCameraDevice(0)
        qx.QxOpen(camera)
        path = {str(fifo)!r}
        print({call})
    """)
    assert result.stdout.strip() == str(emu.QXE_IO_ERROR), result.stderr
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)


@pytest.mark.parametrize("write", WRITERS)
def test_a_name_as_long_as_the_system_allows(camera, tmp_path, write):
    target = tmp_path / ("n" * os.pathconf(tmp_path, "PC_NAME_MAX"))
    target.write_bytes(b"old")
    assert write(camera, target, tmp_path) == 0
    assert target.read_bytes() != b"old"
    assert leftovers(tmp_path, target.name) == []


@pytest.mark.parametrize("function", ["QxExportSensorConfig", "QxDecodeSensorConfig"])
def test_a_write_that_fails_midway_keeps_the_old_file(emu, tmp_path, function):
    # A file-size limit below the new content makes the write fail after the new file was created.
    target = tmp_path / "target"
    target.write_bytes(b"old")
    result = run_python(f"""
        import resource, signal
        import pyQuorvexSDK as qx
        camera = qx.QxInitialCameraDevice(0)
        qx.QxOpen(camera)
        assert qx.QxExportSensorConfig(camera, {str(tmp_path / 'source.qxsc')!r}) == 0
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (8, 8))
        if {function!r} == "QxExportSensorConfig":
            print(qx.QxExportSensorConfig(camera, {str(target)!r}))
        else:
            print(qx.QxDecodeSensorConfig({str(tmp_path / 'source.qxsc')!r}, {str(target)!r}))
    """)
    assert result.stdout.strip() == str(emu.QXE_IO_ERROR), result.stderr
    assert target.read_bytes() == b"old"
    assert leftovers(tmp_path, "target") == []


@pytest.mark.parametrize("kind", ["read-only", "folder"])
def test_the_log_file_is_not_a_file_to_destroy(emu, tmp_path, kind):
    target = tmp_path / "log"
    if kind == "folder":
        target.mkdir()
    else:
        target.write_bytes(b"kept\n")
        target.chmod(0o444)
    assert qx.QxSetLogFile(str(target)) == emu.QXE_IO_ERROR
    if kind == "read-only":
        qx.QxSetLogLevel(qx.QX_LOG_LEVEL_TRACE)
        qx.QxDiscoverCameraDevices()
        assert target.read_bytes() == b"kept\n"


def test_the_log_file_through_a_link_stays_a_link(emu, tmp_path):
    target = tmp_path / "real.log"
    target.write_bytes(b"first\n")
    target.chmod(0o600)
    link = tmp_path / "link.log"
    link.symlink_to(target)
    assert qx.QxSetLogFile(str(link)) == 0
    qx.QxSetLogLevel(qx.QX_LOG_LEVEL_TRACE)
    qx.QxDiscoverCameraDevices()
    assert link.is_symlink() and stat.S_IMODE(target.stat().st_mode) == 0o600
    assert target.read_bytes().startswith(b"first\n") and len(target.read_bytes()) > 6
