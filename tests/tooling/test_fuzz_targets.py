"""fuzz/CMakeLists.txt holds the one list of fuzz targets; everything else named after a target
(its source, its seed corpus, its row in fuzz/README.md) must match that list."""

import re

import pytest

from support import REPOSITORY

FUZZ = REPOSITORY / "fuzz"
TARGETS = re.search(r"^set\(QX_FUZZ_TARGETS ([\w ]+)\)", (FUZZ / "CMakeLists.txt").read_text(), re.MULTILINE)[1].split()


@pytest.mark.parametrize("target", TARGETS)
def test_target_has_its_source_corpus_and_documentation(target):
    assert (FUZZ / f"fuzz_{target}.cpp").is_file(), target
    assert any((FUZZ / "corpus" / target).iterdir()), f"{target} has no seed corpus"
    assert f"| `{target}` |" in (FUZZ / "README.md").read_text(), f"{target} is not in fuzz/README.md"


def test_nothing_outside_the_list():
    sources = {path.stem.removeprefix("fuzz_") for path in FUZZ.glob("fuzz_*.cpp")} - {"common"}
    corpora = {path.name for path in (FUZZ / "corpus").iterdir() if path.is_dir()}
    rows = set(re.findall(r"^\| `(\w+)` \|", (FUZZ / "README.md").read_text(), re.MULTILINE))
    assert sources == corpora == rows == set(TARGETS)
