import glob
import importlib
import os
import shutil
import subprocess
import sys

import pytest

import pyQuorvexSDK as qx

import api
from support import EXAMPLES, run_python

_NAMES = api.NAMES
_ROUTES = _NAMES.index("QxResetActiveRoutes")
FUNCTIONS_AND_HANDLES = _NAMES[:3] + ["QxCamera"] + _NAMES[3:_ROUTES] + ["QxRoute"] + _NAMES[_ROUTES:]


def expected_attribute_order():
    names = []
    for name in api.TYPES:
        names.append(name)
        names.extend(member for member, _ in api.ENUMERATIONS.get(name, []))
    return names + FUNCTIONS_AND_HANDLES


def test_docstring():
    assert qx.__doc__ == "Python bindings for QuorvexSDK"


def test_attributes_follow_the_registration_order():
    names = list(vars(qx))
    first_own = names.index("QxStringList")
    assert all(name.startswith("__") for name in names[:first_own])
    assert names[first_own:] == expected_attribute_order()


@pytest.mark.parametrize("function", api.FUNCTIONS, ids=api.NAMES)
def test_function_docstring_and_positional_signature(function):
    signature, _, text = getattr(qx, function.name).__doc__.partition("\n")
    assert signature.startswith(function.name + "(")
    assert "arg" not in signature or "arg0" in signature
    assert text.strip() == function.doc


def test_signatures_name_types_by_their_python_names():
    assert "pyQuorvexSDK.QxCamera" in qx.QxOpen.__doc__
    assert "pyQuorvexSDK.QX_LOG_LEVEL" in qx.QxSetLogLevel.__doc__
    assert "pyQuorvexSDK.QxStringList" in qx.QxDiscoverCameraDevices.__doc__


def other_python():
    """Some CPython that is not 3.13, to load the module into, or None."""
    pyenv_root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    candidates = sorted(glob.glob(os.path.join(pyenv_root, "versions", "3.1[0-2]*", "bin", "python3")))
    candidates += filter(None, (shutil.which(f"python3.{minor}") for minor in (12, 11, 10)))
    for candidate in reversed(candidates):
        probe = subprocess.run([candidate, "-c", "import sys; sys.exit(sys.version_info[:2] == (3, 13))"],
                               capture_output=True, timeout=60)
        if probe.returncode == 0:
            return candidate
    return None


def test_other_interpreter_versions_are_refused():
    python = other_python()
    if python is None:
        pytest.skip("no Python other than 3.13 on this machine")
    loader = f"""
import importlib.machinery, importlib.util, os, platform, sys
sys.setdlopenflags(os.RTLD_LAZY)
path = {qx.__file__!r}
spec = importlib.util.spec_from_file_location(
    "pyQuorvexSDK", path, loader=importlib.machinery.ExtensionFileLoader("pyQuorvexSDK", path))
try:
    importlib.util.module_from_spec(spec)
except ImportError as error:
    print(error)
    print(sys.version)
"""
    result = subprocess.run([python, "-c", loader], capture_output=True, text=True, timeout=60)
    message, version = result.stdout.splitlines()[:2]
    assert message == (
        "Python version mismatch: module was compiled for Python 3.13, "
        f"but the interpreter version is incompatible: {version}."
    )


def test_camera_has_no_constructor():
    with pytest.raises(TypeError, match="^pyQuorvexSDK.QxCamera: No constructor defined!$"):
        qx.QxCamera()


def test_reimport_returns_the_same_module_object():
    functions_before = qx.QxOpen
    del sys.modules["pyQuorvexSDK"]
    again = importlib.import_module("pyQuorvexSDK")
    assert again is qx
    assert again.QxOpen is functions_before


def test_subinterpreters_are_refused():
    result = run_python(
        """
        import _interpreters
        interpreter = _interpreters.create()
        error = _interpreters.exec(interpreter, "import pyQuorvexSDK")
        print(error.type.__name__ if error else "imported")
        print(error.msg if error else "")
        """
    )
    assert result.returncode == 0, result.stderr
    kind, message = result.stdout.splitlines()[:2]
    assert kind == "ImportError"
    assert "subinterpreters" in message


class TestStringList:
    # The list behaviour itself is pybind11's; what this module chooses is the name, the repr and
    # the conversions from Python lists.
    def test_construction_repr_and_search(self):
        strings = qx.QxStringList(["a", "b"])
        assert len(strings) == 2 and "a" in strings
        assert repr(strings) == "QxStringList[a, b]"
        assert strings.count(x="a") == 1
        assert qx.QxStringList(strings) == strings
        assert qx.QxStringList() != strings and not qx.QxStringList()


def test_unpicklable_objects_raise_type_error_at_every_protocol(emu):
    # Run in a fresh interpreter: a regression here aborts the process.
    code = """
        import copy, pickle, struct
        import pyQuorvexSDK as qx
        import qx_emulator
        camera = qx.QxInitialCameraDevice(0)
        assert qx.QxOpen(camera) == 0
        qx_emulator.script("QxGetISPUData", outs={"ispu": struct.pack("<7f", *range(7))})
        samples = {
            "QxStringList": qx.QxStringList(["a"]),
            "QxCamera": camera,
            "QxFormat": qx.QxGetFormatList(camera)[1][0],
            "QxHeaderV2": qx.QxGetBootdataHeaderV2(camera)[1],
            "QxHeaderV3": qx.QxGetBootdataHeaderV3(camera)[1],
            "QxImuIspu": qx.QxGetISPUData(camera)[1],
            "QxIntrinsics": qx.QxIntrinsics(),
            "QxRoute": qx.QxLoadRouteYaml(ROUTE_FILE),
        }
        for name, sample in samples.items():
            assert type(sample).__name__ == name, (name, sample)
            for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
                try:
                    pickle.dumps(sample, protocol=protocol)
                except TypeError as error:
                    assert str(error) == f"cannot pickle '{name}' object", error
                else:
                    raise AssertionError(f"{name} pickled at protocol {protocol}")
            try:
                copy.copy(sample)
            except TypeError:
                pass
            else:
                raise AssertionError(f"{name} copied")
        print("ok")
        """
    route_file = EXAMPLES / "routes" / "sensor_to_video0.yaml"
    result = run_python(code.replace("ROUTE_FILE", repr(str(route_file))))
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
