"""Every function and record attribute, called with generated arguments of every kind: each
call returns its documented result shape or raises one of the conversion errors, and the
interpreter survives."""

import numpy
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import pyQuorvexSDK as qx

import api
from api import ENUMERATIONS

ALLOWED_ERRORS = (TypeError, ValueError, RuntimeError, UnicodeDecodeError, MemoryError)

PLAIN = {"int": int, "str": str, "float": float, "list": list}


def check_item(kind, value):
    if kind is None:
        assert value is None
    elif kind in PLAIN:
        assert type(value) is PLAIN[kind], value
    elif kind.endswith("[]"):  # a one-dimensional NumPy array of that element type
        assert isinstance(value, numpy.ndarray) and value.dtype == kind[:-2] and value.ndim == 1
    elif kind.endswith("?"):
        assert value is None or type(value) is getattr(qx, kind[:-1])
    else:
        assert type(value) is getattr(qx, kind), (kind, value)


def check_result(name, result):
    shape = api.BY_NAME[name].result
    if isinstance(shape, tuple):
        assert type(result) is tuple and len(result) == len(shape)
        for kind, value in zip(shape, result):
            check_item(kind, value)
    else:
        check_item(shape, result)


def no_slash(value):
    # Paths stay inside the test's own folder: nothing is written elsewhere.
    return (b"/" if isinstance(value, bytes) else "/") not in value


ENUM_MEMBERS = [getattr(qx, name) for members in ENUMERATIONS.values() for name, _ in members]


def arguments(objects):
    plain = st.one_of(
        st.integers(min_value=-(2**70), max_value=2**70),
        st.sampled_from([0, 1, -1, 255, 256, 65535, 65536, 2**31 - 1, 2**31, 2**32 - 1, 2**32, -(2**31) - 1]),
        st.floats(allow_nan=True, allow_infinity=True),
        st.none(),
        st.booleans(),
        st.text(max_size=40).filter(no_slash),
        st.binary(max_size=40).filter(no_slash),
        st.sampled_from(["", "x" * 100_000, "nul\x00byte", "\udcff".encode("utf-8", "surrogatepass")]),
        st.sampled_from(ENUM_MEMBERS),
        st.builds(lambda enum, value: enum(value), st.sampled_from([getattr(qx, n) for n in ENUMERATIONS]),
                  st.integers(min_value=-(2**31), max_value=2**31 - 1)),
        st.sampled_from([numpy.zeros((2, 3)), numpy.arange(5, dtype=numpy.int8), numpy.array([], dtype=object),
                         numpy.float32(1.5), numpy.int64(7), numpy.uint8(255)]),
        st.sampled_from([[], [1, 2], {}, (1,), object(), lambda *a: None, print]),
    )
    return st.one_of(plain, st.sampled_from(objects))


@pytest.fixture
def objects(emu, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert emu.configure(emu.builtin_configuration() + "\nupgrade_time_ms: 0\n")
    camera = qx.QxInitialCameraDevice(0)
    assert qx.QxOpen(camera) == 0
    formats = qx.QxGetFormatList(camera)[1]
    closed = qx.QxInitialCameraDevice(2)
    yield [camera, closed, formats[0], formats[-1], qx.QxIntrinsics(), qx.QxStringList(["a"]),
           qx.QxGetBootdataHeaderV3(camera)[1]]
    qx.QxClose(camera)


@pytest.mark.parametrize("name", api.NAMES)
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_any_arguments(objects, name, data):
    function = getattr(qx, name)
    positional = data.draw(st.lists(arguments(objects), max_size=6), label="arguments")
    keywords = data.draw(st.dictionaries(st.sampled_from(["arg0", "camera", "x"]), arguments(objects), max_size=2),
                         label="keywords")
    try:
        result = function(*positional, **keywords)
    except ALLOWED_ERRORS:
        return
    assert not keywords, "keyword arguments must be refused"
    check_result(name, result)


ATTRIBUTES = ["w", "h", "fx", "fy", "cx", "cy", "model", "coeffs", "skew"]


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_any_record_attribute_writes(objects, data):
    record = data.draw(st.sampled_from([qx.QxIntrinsics()] + objects[2:4] + objects[6:]), label="record")
    name = data.draw(st.sampled_from(ATTRIBUTES + ["width", "productName", "format"]), label="attribute")
    value = data.draw(arguments(objects), label="value")
    try:
        setattr(record, name, value)
    except (AttributeError, *ALLOWED_ERRORS):
        return
    assert type(record) is qx.QxIntrinsics and name in ATTRIBUTES[:-1]
    getattr(record, name)
