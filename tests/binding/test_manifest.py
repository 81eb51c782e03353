"""The function list kept in tests/api.py against every other place that names the functions:
the module, the emulated library's table, the typed stub, the binding sources and docs/api.md.
A function added to one of them and not to the manifest, or the other way round, fails here
with its name."""

import ast
import inspect
import re

import pytest

import pyQuorvexSDK as qx

import api
from support import REPOSITORY


def module_functions():
    return {name for name, value in vars(qx).items() if inspect.isbuiltin(value)}


def emulator_functions():
    qx_emulator = pytest.importorskip("qx_emulator", reason="needs the emulated QuorvexSDK", exc_type=ImportError)
    return set(qx_emulator.function_names())


def stub_functions():
    tree = ast.parse((REPOSITORY / "src" / "pyQuorvexSDK.pyi").read_text(encoding="utf-8"))
    return {node.name for node in tree.body if isinstance(node, ast.FunctionDef)}


def readme_rows():
    """The function tables of the flat API's reference: name -> the docstring column."""
    rows = re.findall(r"^\| `(\w+)\(.*?\)` \| .*? \| (.*) \|$", (REPOSITORY / "docs" / "api.md").read_text(encoding="utf-8"),
                      flags=re.MULTILINE)
    return dict(rows)


def bound_in(family):
    """The library names a binding file spells out, the handle types it registers left out."""
    names = re.findall(r'"((?:Qx|HelloQuorvexSDK)\w*)"', (REPOSITORY / "src" / "bindings" / f"{family}.cpp").read_text())
    return {name for name in names if not isinstance(getattr(qx, name, None), type)}


def difference_message(where, found):
    expected = set(api.NAMES)
    missing, extra = sorted(expected - found), sorted(found - expected)
    return f"{where}: lacks {missing or 'nothing'}; has beyond the manifest {extra or 'nothing'}"


@pytest.mark.parametrize("where, functions", [
    ("the module", module_functions),
    ("the emulated library's function table", emulator_functions),
    ("src/pyQuorvexSDK.pyi", stub_functions),
    ("docs/api.md's function tables", lambda: set(readme_rows())),
    ("src/bindings/", lambda: set().union(*map(bound_in, {f.family for f in api.FUNCTIONS}))),
], ids=["module", "emulator", "stub", "readme", "bindings"])
def test_every_place_names_the_manifest_functions(where, functions):
    found = functions()
    assert found == set(api.NAMES), difference_message(where, found)


@pytest.mark.parametrize("function", api.FUNCTIONS, ids=api.NAMES)
def test_function_is_bound_in_its_family_file(function):
    assert function.name in bound_in(function.family), f"{function.name} not in src/bindings/{function.family}.cpp"


@pytest.mark.parametrize("function", api.FUNCTIONS, ids=api.NAMES)
def test_readme_row_starts_with_the_docstring(function):
    assert readme_rows().get(function.name, "").startswith(function.doc), function.name


def test_manifest_has_no_duplicates_and_every_result_kind_is_known():
    assert len(api.NAMES) == len(api.FUNCTIONS)
    kinds = {"int", "str", "float", "list", "uint8[]", "float32[]", None}
    for function in api.FUNCTIONS:
        for kind in function.result if isinstance(function.result, tuple) else (function.result,):
            assert kind in kinds or isinstance(getattr(qx, str(kind).removesuffix("?"), None), type), (
                function.name, kind)


@pytest.mark.parametrize("function", api.FUNCTIONS, ids=api.NAMES)
def test_sample_call_uses_only_the_documented_names(function):
    assert api.sample_names(function) <= {"camera", "fmt", "route", "progress", "qx"}, function.name
