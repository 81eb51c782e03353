"""Every ```python and ```sh block of the README and docs/*.md runs, as a reader would type
them: a file's blocks in order, in one temporary folder of its own, on the built-in emulated
cameras, with the environment's bin folder first on PATH. A block that cannot run here says so
in its fence (```sh no-run); output and configuration are ```text and ```yaml, never run."""

import concurrent.futures
import os
import pathlib
import re
import subprocess
import sys

import pytest

from support import REPOSITORY

DOCUMENTS = [REPOSITORY / "README.md", *sorted((REPOSITORY / "docs").glob("*.md"))]
RUN = {"python", "sh"}
SHOWN = {"text", "yaml"}
FENCE = re.compile(r"^```([^\n]*)\n(.*?)^```[ \t]*$", re.MULTILINE | re.DOTALL)


def blocks(document):
    """(line, language, words after it, code) of each fenced block."""
    text = document.read_text(encoding="utf-8")
    found = []
    for match in FENCE.finditer(text):
        language, *flags = match.group(1).split() or [""]
        found.append((text.count("\n", 0, match.start()) + 1, language, flags, match.group(2)))
    return found


CASES = [(document, line) for document in DOCUMENTS for line, *_ in blocks(document)]


def case_id(case):
    document, line = case
    return f"{document.relative_to(REPOSITORY)}:{line}"


def environment():
    bin_folder = pathlib.Path(sys.executable).parent
    variables = {name: value for name, value in os.environ.items() if name != "QX_EMULATOR_CONFIG"}
    variables["PATH"] = f"{bin_folder}{os.pathsep}{variables.get('PATH', '')}"
    return variables


def run_block(language, code, folder):
    command = [sys.executable, "-c", code] if language == "python" else ["bash", "-euo", "pipefail", "-c", code]
    return subprocess.run(command, cwd=folder, env=environment(), capture_output=True, text=True, timeout=180)


def run_document(document, folder):
    folder.mkdir()
    return {line: run_block(language, code, folder)
            for line, language, flags, code in blocks(document)
            if language in RUN and "no-run" not in flags}


@pytest.fixture(scope="module")
def outcomes(tmp_path_factory):
    """Each document's runnable blocks, run once; the documents side by side."""
    root = tmp_path_factory.mktemp("snippets")
    with concurrent.futures.ThreadPoolExecutor(max_workers=len(DOCUMENTS)) as pool:
        runs = {document: pool.submit(run_document, document, root / document.stem) for document in DOCUMENTS}
        return {document: run.result() for document, run in runs.items()}


@pytest.mark.parametrize("case", CASES, ids=map(case_id, CASES))
def test_block_runs_or_is_marked(case, outcomes):
    document, line = case
    _, language, flags, _ = next(block for block in blocks(document) if block[0] == line)
    assert language in RUN | SHOWN, (
        f"a block in {language or 'no language'}: mark it python, sh, text or yaml (and no-run if it cannot run)")
    if language in SHOWN or "no-run" in flags:
        return
    result = outcomes[document][line]
    assert result.returncode == 0, f"exit status {result.returncode}\n{result.stdout[-2000:]}\n{result.stderr[-3000:]}"


LINK = re.compile(r"\]\(([^)\s#]*)(?:#([^)\s]+))?\)")


def anchors(document):
    """The anchors of a document's headings, as the repository host makes them."""
    headings = re.findall(r"^#+ (.+)$", FENCE.sub("", document.read_text(encoding="utf-8")), re.MULTILINE)
    return {re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-") for heading in headings}


@pytest.mark.parametrize("document", [*DOCUMENTS, REPOSITORY / "emulator" / "README.md"],
                         ids=lambda document: str(document.relative_to(REPOSITORY)))
def test_relative_links_reach_a_file_and_heading(document):
    broken = []
    for target, anchor in LINK.findall(document.read_text(encoding="utf-8")):
        if target.startswith(("http:", "https:", "mailto:")):
            continue
        path = (document.parent / target).resolve() if target else document
        if not path.exists() or (anchor and anchor not in anchors(path)):
            broken.append(f"{target}#{anchor}" if anchor else target)
    assert broken == [], f"links in {document.name} to no file or heading: {broken}"
