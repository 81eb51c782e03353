import operator

import pytest

import pyQuorvexSDK as qx

from conftest import run_python

# Every enumeration with its members in registration order and their values.
ENUMERATIONS = {
    "QX_LOG_LEVEL": [
        ("QX_LOG_LEVEL_TRACE", 0), ("QX_LOG_LEVEL_DEBUG", 1), ("QX_LOG_LEVEL_INFO", 2),
        ("QX_LOG_LEVEL_WARN", 3), ("QX_LOG_LEVEL_ERROR", 4), ("QX_LOG_LEVEL_CRITICAL", 5),
        ("QX_LOG_LEVEL_OFF", 6),
    ],
    "QX_CAMERA_PRODUCT_TYPE": [
        ("QXCAM_PRODUCT_TYPE_NONE_CAMERA", 0), ("QXCAM_PRODUCT_TYPE_GENERIC_CAMERA", 1),
        ("QXCAM_PRODUCT_TYPE_ZENA", 2), ("QXCAM_PRODUCT_TYPE_ZENI", 3),
        ("QXCAM_PRODUCT_TYPE_OV5640", 4), ("QXCAM_PRODUCT_TYPE_ZENM", 5),
    ],
    "QX_CAPTURE_RESULT": [
        ("QX_SUCCESS", 0), ("QX_TIMEOUT", -1), ("QX_CAM_OCCUPIED", -2),
        ("QX_BUFFER_CORRUPTED", -4), ("QX_OTHER_ERROR", -3),
    ],
    "QX_CAMERA_INTERFACE_TYPE": [
        ("INTERFACE_USB", 0), ("INTERFACE_MIPI_CSI2", 1), ("INTERFACE_ETHERNET", 2),
    ],
    "QX_USB_DEVICE_SPEED": [
        ("USB_DEVICE_SPEED_LOW", 0), ("USB_DEVICE_SPEED_FULL", 1), ("USB_DEVICE_SPEED_HIGH", 2),
        ("USB_DEVICE_SPEED_SUPER", 3), ("USB_DEVICE_SPEED_SUPER_PLUS", 4),
        ("USB_DEVICE_SPEED_UNKNOWN", 5),
    ],
    "QX_IMAGE_FORMAT": [
        ("QX_IMAGE_FORMAT_MJPG", 4), ("QX_IMAGE_FORMAT_UYVY", 2), ("QX_IMAGE_FORMAT_YUY2", 1),
        ("QX_IMAGE_FORMAT_NV12", 3), ("QX_IMAGE_FORMAT_BGRA", 5), ("QX_IMAGE_FORMAT_BGRX", 6),
        ("QX_IMAGE_FORMAT_BGR", 7), ("QX_IMAGE_FORMAT_RGB16", 8), ("QX_IMAGE_FORMAT_RGB", 9),
        ("QX_IMAGE_FORMAT_NONE", 0),
    ],
    "QX_UVC_IMAGE_PROPERTIES": [
        (name, value) for value, name in enumerate(
            "BRIGHTNESS CONTRAST HUE SATURATION SHARPNESS GAMMA COLORENABLE WHITEBALANCE "
            "BACKLIGHT_COMPENSATION GAIN PAN TILT ROLL ZOOM EXPOSURE IRIS FOCUS PROP_MAX".split())
    ],
    "QX_ISP_IMAGE_PROPERTIES": [
        ("ISP_IMAGE_BRIGHTNESS", 0), ("ISP_IMAGE_CONTRAST", 1), ("ISP_IMAGE_SATURATION", 2),
        ("ISP_IMAGE_WHITEBALANCE_MODE", 3), ("ISP_IMAGE_WHITEBALANCE_TEMPERATURE", 4),
        ("ISP_IMAGE_EXPOSURE_MODE", 5), ("ISP_IMAGE_EXPOSURE_TIME", 6),
        ("ISP_IMAGE_EXPOSURE_MIN_TIME", 7), ("ISP_IMAGE_EXPOSURE_MAX_TIME", 8),
        ("ISP_IMAGE_EXPOSURE_GAIN", 9), ("ISP_IMAGE_GAMMA", 10), ("ISP_IMAGE_SHARPNESS", 11),
        ("ISP_IMAGE_BACKLIGHT_COMPENSATION", 12), ("ISP_IMAGE_SPECIAL_EFFECT_MODE", 13),
        ("ISP_IMAGE_DENOISE", 14), ("ISP_IMAGE_FLIP_MODE", 15), ("ISP_IMAGE_PAN", 16),
        ("ISP_IMAGE_TILT", 17), ("ISP_IMAGE_ZOOM", 18), ("ISP_IMAGE_FLICK_MODE", 19),
        ("ISP_IMAGE_JPEG_QUALITY", 20), ("ISP_IMAGE_PROP_MAX", 30), ("ISP_IMAGE_TRIGGER_MODE", 21),
        ("ISP_IMAGE_EHDR_MODE", 22), ("ISP_EHDR_EXPOSURE_MIN_NUMBER", 23),
        ("ISP_EHDR_EXPOSURE_MAX_NUMBER", 24), ("ISP_EHDR_RATIO_MIN", 25), ("ISP_EHDR_RATIO_MAX", 26),
        ("ISP_EHDR_ATM_WEIGHT", 27), ("ISP_EHDR_ATM_MAX", 28),
    ],
    "QX_OSP_PROFILE_FLAG": [("ENABLED", 1), ("ENABLED_AND_SAVE", 2), ("DISABLED", 0)],
    "QX_FX3_FW_TARGET": [
        ("FW_TARGET_NONE", 0), ("FW_TARGET_RAM", 1), ("FW_TARGET_I2C", 2), ("FW_TARGET_SPI", 3),
    ],
    "QX_SENSOR_MODE": [("STANDBY", 0), ("WORK", 1)],
    "QX_UPGRADE_RESULT": [
        ("QX_UPGRADE_SUCCESS", 0), ("QX_UPGRADE_OTHER_ERROR", -1),
        ("QX_UPGRADE_INVALID_FIRMWARE", -2), ("QX_UPGRADE_MCU_READ_FAIL", -3),
        ("QX_UPGRADE_MCU_MISMATCH", -4), ("QX_UPGRADE_BSL_SWITCH_FAIL", -5),
        ("QX_UPGRADE_INIT_FAIL", -6), ("QX_UPGRADE_ERASE_FAIL", -7),
        ("QX_UPGRADE_PROGRAM_FAIL", -8), ("QX_UPGRADE_VERIFY_FAIL", -9),
        ("QX_UPGRADE_RESET_FAIL", -10), ("QX_UPGRADE_START_APP_FAIL", -12),
    ],
    "QX_IMU_MODE": [("DISABLE", 0), ("ISPU", 1), ("SELF_TEST", 2)],
    "QX_IMU_SELF_TEST_MODE": [("NORMAL", 0), ("POSITIVE", 1), ("NEGATIVE", 2), ("NOT_ALLOWED", 3)],
    "QX_DISTORTION_MODEL": [("QX_DIST_NONE", 0), ("QX_DIST_MODEL_RADTAN", 1)],
}
ENUMERATIONS["QX_UVC_IMAGE_PROPERTIES"] = [
    ("UVC_IMAGE_" + name, value) for name, value in ENUMERATIONS["QX_UVC_IMAGE_PROPERTIES"]
]

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
