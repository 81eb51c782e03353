"""The CI entry runs every stage it lists, and a stage whose script is missing fails the run
instead of being skipped. Checked on a copy of .ci/run beside stand-in stage scripts."""

import re
import shutil
import subprocess

import pytest

from support import REPOSITORY

CI_RUN = REPOSITORY / ".ci" / "run"
STAGES = re.findall(r"^stage (\w+)", CI_RUN.read_text(), flags=re.MULTILINE)


def tree_with_stages(folder, stages):
    (folder / ".ci").mkdir()
    shutil.copy(CI_RUN, folder / ".ci" / "run")
    (folder / "scripts").mkdir()
    for name in stages:
        (folder / "scripts" / f"{name}.sh").write_text(f'echo "ran {name}"\n')
    return folder


def run_ci(folder):
    return subprocess.run(["bash", str(folder / ".ci" / "run")], capture_output=True, text=True, timeout=60)


def test_every_stage_has_its_script_and_runs_in_order(tmp_path):
    assert STAGES and all((REPOSITORY / "scripts" / f"{name}.sh").is_file() for name in STAGES), STAGES
    result = run_ci(tree_with_stages(tmp_path, STAGES))
    assert result.returncode == 0, result.stderr
    assert re.findall(r"^ran (\w+)$", result.stdout, flags=re.MULTILINE) == STAGES


@pytest.mark.parametrize("missing", STAGES)
def test_a_missing_stage_script_fails_the_run(tmp_path, missing):
    result = run_ci(tree_with_stages(tmp_path, [name for name in STAGES if name != missing]))
    assert result.returncode != 0
    assert f"scripts/{missing}.sh is missing" in result.stderr
    assert f"ran {STAGES[-1]}" not in result.stdout or missing == STAGES[-1]


def test_a_failing_stage_stops_the_run(tmp_path):
    folder = tree_with_stages(tmp_path, STAGES)
    (folder / "scripts" / f"{STAGES[0]}.sh").write_text("exit 3\n")
    result = run_ci(folder)
    assert result.returncode == 3 and "ran" not in result.stdout
