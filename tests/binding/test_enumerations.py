import operator

import pytest

import pyQuorvexSDK as qx

from api import ENUMERATIONS
from support import run_python

CLASS_DOCS = {
    "QX_OSP_PROFILE_FLAG": "QX_OSP_PROFILE_FLAG enum for OSP profile flag",
    "QX_SENSOR_MODE": "QX_SENSOR_MODE enum for sensor mode",
}


@pytest.mark.parametrize("type_name", ENUMERATIONS)
def test_members_values_order_and_export(type_name):
    enum_type = getattr(qx, type_name)
    expected = ENUMERATIONS[type_name]
    assert [(name, member.value) for name, member in enum_type.__members__.items()] == expected
    for name, value in expected:
        member = getattr(enum_type, name)
        assert getattr(qx, name) is member
        assert int(member) == operator.index(member) == value
        assert member.name == name
        assert str(member) == f"{type_name}.{name}"
        assert repr(member) == f"<{type_name}.{name}: {value}>"
        assert hash(member) == hash(value)


def test_member_names_are_unique_across_enumerations():
    names = [name for members in ENUMERATIONS.values() for name, _ in members]
    assert len(names) == len(set(names)) == 115


@pytest.mark.parametrize("type_name", ENUMERATIONS)
def test_class_docstring_layout(type_name):
    members = "".join(f"\n\n  {name}" for name, _ in ENUMERATIONS[type_name])
    head = CLASS_DOCS[type_name] + "\n\n" if type_name in CLASS_DOCS else ""
    assert getattr(qx, type_name).__doc__ == head + "Members:" + members


def test_equality_is_strict():
    assert (qx.QX_SUCCESS == 0) is False
    assert (qx.QX_SUCCESS != 0) is True
    assert (qx.QX_IMU_MODE.DISABLE == qx.QX_SENSOR_MODE.STANDBY) is False
    assert qx.QX_LOG_LEVEL(2) == qx.QX_LOG_LEVEL.QX_LOG_LEVEL_INFO
    assert qx.QX_LOG_LEVEL(2) is not qx.QX_LOG_LEVEL.QX_LOG_LEVEL_INFO
    assert qx.QX_LOG_LEVEL(value=3) == qx.QX_LOG_LEVEL_WARN
    assert qx.QX_UPGRADE_RESULT(-12) == qx.QX_UPGRADE_START_APP_FAIL
    assert bool(qx.QX_SUCCESS) is True


@pytest.mark.parametrize(
    "operation",
    [operator.lt, operator.le, operator.gt, operator.ge, operator.and_, operator.or_, operator.xor],
)
def test_no_ordering_or_bitwise_operators(operation):
    with pytest.raises(TypeError):
        operation(qx.QX_OSP_PROFILE_FLAG.ENABLED, qx.QX_OSP_PROFILE_FLAG.ENABLED_AND_SAVE)


def test_no_inversion():
    with pytest.raises(TypeError):
        ~qx.QX_LOG_LEVEL_INFO


def test_unnamed_values():
    assert qx.QX_UPGRADE_RESULT(-11).name == "???"
    assert str(qx.QX_CAPTURE_RESULT(-5)) == "QX_CAPTURE_RESULT.???"
    assert repr(qx.QX_CAPTURE_RESULT(-5)) == "<QX_CAPTURE_RESULT.???: -5>"


@pytest.mark.parametrize("value", [1.0, 2**31, -(2**31) - 1, "1", None])
def test_construction_refuses_non_integers_and_out_of_range(value):
    with pytest.raises(TypeError):
        qx.QX_LOG_LEVEL(value)


def test_construction_accepts_index_objects():
    numpy = pytest.importorskip("numpy")
    assert qx.QX_LOG_LEVEL(numpy.int16(4)) == qx.QX_LOG_LEVEL_ERROR
    assert qx.QX_CAPTURE_RESULT(-(2**31)).value == -(2**31)


def test_members_dict_is_new_on_every_access():
    assert qx.QX_SENSOR_MODE.__members__ is not qx.QX_SENSOR_MODE.__members__


def test_pickle_and_copy_at_every_protocol():
    # Run in a fresh interpreter: a regression here aborts the process.
    result = run_python(
        """
        import copy, pickle
        import pyQuorvexSDK as qx
        samples = [qx.QX_LOG_LEVEL_INFO, qx.QX_OTHER_ERROR, qx.QX_UPGRADE_RESULT(-11),
                   qx.QX_ISP_IMAGE_PROPERTIES.ISP_IMAGE_PROP_MAX, qx.DISABLED]
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            for sample in samples:
                back = pickle.loads(pickle.dumps(sample, protocol=protocol))
                assert type(back) is type(sample) and back == sample, (protocol, sample, back)
        for sample in samples:
            assert copy.copy(sample) == sample and copy.deepcopy(sample) == sample
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
