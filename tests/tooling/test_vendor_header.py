"""A vendor installation ships one header, QuorvexSDK/QuorvexSDK.h: the module's sources include
only that one, and the header the vendor check builds against (flattened from the project's
split headers) stands alone."""

import re
import shutil
import subprocess
import sys

import pytest

from support import REPOSITORY

FLATTEN = REPOSITORY / "scripts" / "flatten_sdk_header.py"
SDK_INCLUDE = re.compile(r'^\s*#\s*include\s*[<"](?:QuorvexSDK/)?(Qx\w+\.h|QuorvexSDK\.h)[>"]', re.MULTILINE)


def flatten(header, output):
    return subprocess.run([sys.executable, str(FLATTEN), str(header), str(output)],
                          capture_output=True, text=True, timeout=60)


def test_module_sources_include_only_the_single_sdk_header():
    sources = [path for folder in ("src", "python/pixels") for path in (REPOSITORY / folder).rglob("*")
               if path.suffix in (".cpp", ".h", ".hpp")]
    offenders = {str(path.relative_to(REPOSITORY)): name for path in sources
                 for name in SDK_INCLUDE.findall(path.read_text()) if name != "QuorvexSDK.h"}
    assert len(sources) > 10 and offenders == {}


@pytest.mark.skipif(shutil.which("c++") is None, reason="needs a C++ compiler")
def test_the_flattened_header_compiles_on_its_own(tmp_path):
    output = tmp_path / "include" / "QuorvexSDK" / "QuorvexSDK.h"
    result = flatten(REPOSITORY / "include" / "QuorvexSDK" / "QuorvexSDK.h", output)
    assert result.returncode == 0, result.stderr
    assert [path.name for path in tmp_path.rglob("*") if path.is_file()] == ["QuorvexSDK.h"]
    # Something of every split header; two of them are included twice over (enums, export).
    (tmp_path / "use.cpp").write_text(
        "#include <QuorvexSDK/QuorvexSDK.h>\n"
        "QX_SDK_API int probe(std::shared_ptr<QxCamera> camera, QxFormat format, QX_IMAGE_FORMAT pixels);\n"
        "int (*open)(std::shared_ptr<QxCamera>) = QxOpen;\n")
    compiled = subprocess.run(["c++", "-std=c++17", "-fsyntax-only", "-I", str(tmp_path / "include"),
                               str(tmp_path / "use.cpp")], capture_output=True, text=True, timeout=120)
    assert compiled.returncode == 0, compiled.stderr


@pytest.mark.parametrize("case, message", [
    ("output exists", "exists; not replacing it"),
    ("include from elsewhere", 'line 2: ../other/Qx.h is not a header beside it'),
])
def test_flattening_refuses_in_one_line(tmp_path, case, message):
    (tmp_path / "sdk").mkdir()
    header = tmp_path / "sdk" / "QuorvexSDK.h"
    header.write_text('#pragma once\n#include "../other/Qx.h"\n' if case == "include from elsewhere" else "int x;\n")
    output = tmp_path / "out.h"
    output.write_text("kept")
    if case != "output exists":
        output.unlink()
    result = flatten(header, output)
    assert result.returncode == 1 and result.stderr.count("\n") == 1 and message in result.stderr
    assert not output.exists() or output.read_text() == "kept"
