"""Files the package reads and writes: damaged recordings refused with RecordingError and one
line on the command line, outputs that never replace anything silently nor by halves, special
files refused instead of waited on, and time limits that take inf and refuse NaN."""

import math
import os
import subprocess
import sys

import pytest

import quorvex
from quorvex.cli import main as cli_main
from quorvex.recording import Recorder
from quorvex.recording_file import RecordingError, open_recording
from recording_support import DAMAGED, NO_FRAMES, recording_bytes

CAMERA = ("pacing: false\ncameras:\n  - {name: Src, path: /dev/video7, interface: usb, product: zena,"
          " hardware_id: S-1, formats: [{format: YUY2, sizes: ['64x32'], fps: [30]}]}\n")


def leftovers(folder):
    return sorted(entry.name for entry in folder.iterdir() if entry.name.startswith("."))


@pytest.mark.parametrize("content, message", [case[1:] for case in DAMAGED], ids=[case[0] for case in DAMAGED])
def test_a_damaged_recording_is_a_recording_error_and_exports_nothing(tmp_path, capsys, content, message):
    path = tmp_path / "bad.qxrec"
    path.write_bytes(content)
    with pytest.raises(RecordingError, match="bad.qxrec") as raised:
        open_recording(path)
    assert message in str(raised.value)
    assert cli_main(["export", str(path), str(tmp_path / "out.mcap")]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("quorvex export: ") and message in err
    assert sorted(entry.name for entry in tmp_path.iterdir()) == ["bad.qxrec"]


@pytest.mark.parametrize("suffix", [".mcap", ".mp4"])
def test_a_recording_without_a_frame_exports_nothing(tmp_path, capsys, suffix):
    pytest.importorskip("mcap_protobuf" if suffix == ".mcap" else "av")
    path = tmp_path / "empty.qxrec"
    path.write_bytes(NO_FRAMES)
    assert cli_main(["export", str(path), str(tmp_path / f"out{suffix}")]) == 1
    err = capsys.readouterr().err
    assert "warning: " in err and "holds no frames" in err.splitlines()[-1]
    assert sorted(entry.name for entry in tmp_path.iterdir()) == ["empty.qxrec"]


def make_case(tmp_path, case):
    """The export command's arguments for a case, after making the files it names."""
    source = tmp_path / "in.qxrec"
    source.write_bytes(recording_bytes())
    other = tmp_path / "other.mcap"
    other.write_bytes(b"keep me")
    if case == "same-name":
        return [str(source), str(source)]
    if case == "hard-link":
        os.link(source, tmp_path / "hard.mcap")
        return [str(source), str(tmp_path / "hard.mcap"), "--overwrite"]
    if case == "link-to-input":
        (tmp_path / "link.mcap").symlink_to(source)
        return [str(source), str(tmp_path / "link.mcap"), "--overwrite"]
    if case == "link-to-other":
        (tmp_path / "link.mcap").symlink_to(other)
        return [str(source), str(tmp_path / "link.mcap")]
    if case == "existing":
        return [str(source), str(other)]
    if case == "fifo-output":
        os.mkfifo(tmp_path / "fifo.mcap")
        return [str(source), str(tmp_path / "fifo.mcap"), "--overwrite"]
    if case == "fifo-input":
        os.mkfifo(tmp_path / "fifo.qxrec")
        return [str(tmp_path / "fifo.qxrec"), str(tmp_path / "out.mcap")]
    if case == "folder-input":
        return [str(tmp_path), str(tmp_path / "out.mcap")]
    raise AssertionError(case)


@pytest.mark.parametrize(
    "case, message",
    [
        ("same-name", "in.qxrec is the input"),
        ("hard-link", "hard.mcap is the input"),
        ("link-to-input", "link.mcap is the input"),
        ("link-to-other", "link.mcap exists (a link); pass overwrite (--overwrite)"),
        ("existing", "other.mcap exists (a file)"),
        ("fifo-output", "fifo.mcap exists and is not a regular file"),
        ("fifo-input", "fifo.qxrec is not a regular file"),
        ("folder-input", "is not a regular file"),
    ],
)
def test_export_refuses_outputs_that_would_lose_data(tmp_path, case, message):
    pytest.importorskip("mcap_protobuf")
    arguments = make_case(tmp_path, case)
    before = {entry.name: entry.read_bytes() for entry in tmp_path.iterdir() if entry.is_file()}
    # A separate process: a FIFO opened for reading or writing would wait here for ever.
    done = subprocess.run([sys.executable, "-m", "quorvex", "export", *arguments], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 1 and done.stderr.count("\n") == 1 and message in done.stderr, done.stderr
    assert {entry.name: entry.read_bytes() for entry in tmp_path.iterdir() if entry.is_file()} == before
    assert leftovers(tmp_path) == []


def test_overwrite_replaces_a_link_never_what_it_points_to(tmp_path):
    pytest.importorskip("mcap_protobuf")
    make_case(tmp_path, "link-to-other")
    assert cli_main(["export", str(tmp_path / "in.qxrec"), str(tmp_path / "link.mcap"), "--overwrite"]) == 0
    assert (tmp_path / "other.mcap").read_bytes() == b"keep me"
    assert not (tmp_path / "link.mcap").is_symlink() and (tmp_path / "link.mcap").read_bytes()[1:5] == b"MCAP"


@pytest.mark.parametrize("command, name", [(["record", "--frames", "3"], "take.qxrec"), (["snapshot"], "take.png")],
                         ids=["record", "snapshot"])
def test_an_existing_file_is_replaced_only_when_asked(emu, tmp_path, capsys, command, name):
    emu.configure(CAMERA)
    target = tmp_path / name
    target.write_bytes(b"an older take")
    assert cli_main([*command, str(target)]) == 1
    assert f"{name} exists" in capsys.readouterr().err and target.read_bytes() == b"an older take"
    assert cli_main([*command, "--overwrite", str(target)]) == 0
    assert target.read_bytes() != b"an older take" and leftovers(tmp_path) == []
    with pytest.raises(FileExistsError), quorvex.open(0) as camera, camera.stream() as stream:
        if name.endswith(".png"):
            stream.read().save(target)
        else:
            quorvex.record(stream, target, frames=1)


def test_a_recording_failing_midway_leaves_no_file(emu, tmp_path):
    emu.configure(CAMERA)
    target = tmp_path / "failed.qxrec"

    def fail(read):
        if read == 2:
            raise RuntimeError("the camera went away")

    with pytest.raises(RuntimeError), quorvex.open(0) as camera, camera.stream() as stream:
        quorvex.record(stream, target, frames=5, progress=fail)
    assert list(tmp_path.iterdir()) == []


def test_a_target_taken_while_recording_is_left_alone_and_the_recording_kept(tmp_path):
    target = tmp_path / "race.qxrec"
    recorder = Recorder(target)
    target.write_bytes(b"made meanwhile")
    with pytest.raises(FileExistsError, match="what was written is in"):
        recorder.close()
    assert target.read_bytes() == b"made meanwhile"
    (kept,) = leftovers(tmp_path)
    assert open_recording(tmp_path / kept).complete


@pytest.mark.parametrize(
    "arguments, message",
    [
        (["record", "--seconds", "nan", "x.qxrec"], "--seconds must be above 0"),
        (["record", "--frames", "2", "--timeout", "nan", "x.qxrec"], "--timeout must be a number of seconds"),
        (["snapshot", "--timeout", "nan", "x.png"], "--timeout must be a number of seconds"),
    ],
    ids=["record-seconds", "record-timeout", "snapshot-timeout"],
)
def test_nan_is_refused_in_one_line(emu, tmp_path, capsys, arguments, message):
    emu.configure(CAMERA)
    assert cli_main([a.replace("x.", f"{tmp_path}/x.") for a in arguments]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err
    assert list(tmp_path.iterdir()) == []


def test_an_infinite_timeout_waits_without_limit_and_nan_is_refused(emu, tmp_path, capsys):
    emu.configure(CAMERA)
    with quorvex.open(0) as camera, camera.stream() as stream:
        assert stream.read(math.inf).width == 64
        with pytest.raises(ValueError, match="timeout"):
            stream.read(math.nan)
    assert cli_main(["snapshot", "--timeout", "inf", str(tmp_path / "shot.png")]) == 0


def test_library_log_lines_only_with_verbose(emu, tmp_path):
    config = tmp_path / "cameras.yaml"
    config.write_text(CAMERA)  # no ISP: the library warns each time a frame's controls are read
    env = {**os.environ, "QX_EMULATOR_CONFIG": str(config)}
    command = [sys.executable, "-m", "quorvex", "{verbose}", "record", "--frames", "2", "--imu"]
    quiet = subprocess.run([c for c in command if c != "{verbose}"] + [str(tmp_path / "a.qxrec")],
                           capture_output=True, text=True, env=env, timeout=120)
    loud = subprocess.run([c.replace("{verbose}", "--verbose") for c in command] + [str(tmp_path / "b.qxrec")],
                          capture_output=True, text=True, env=env, timeout=120)
    assert quiet.returncode == loud.returncode == 0
    assert "[QuorvexSDK]" not in quiet.stderr and "[QuorvexSDK] [warning]" in loud.stderr
