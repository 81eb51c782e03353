import pytest

import pyQuorvexSDK as qx


# Through the emulator's scripts: what the binding makes of the library's answers.

@pytest.mark.parametrize(
    "written, value",
    [(b"\x12\x34", 0x1234), (b"\xff\xff", 65535), (b"\xab", 0xAB00), (b"", 0)],
    ids=["two-bytes", "all-ones", "one-byte", "nothing"],
)
def test_generic_read_is_big_endian_over_a_zeroed_buffer(emu, camera, written, value):
    emu.script("QxGenericI2CRead", result=-4, outs={"data": written})
    assert qx.QxGenericI2CRead(camera, 1, 0x50, 0x10, 2) == (-4, value)


def test_generic_read_passes_its_arguments_in_order(emu, camera):
    emu.script("QxGenericI2CRead", outs={"data": b"\x00\x01"})
    assert qx.QxGenericI2CRead(camera, 255, 127, 65535, 65535) == (0, 1)
    (_, arguments), = emu.journal("QxGenericI2CRead")
    assert {key: arguments[key] for key in "abcd"} == {"a": 255, "b": 127, "c": 65535, "d": 65535}


@pytest.mark.parametrize("d", [1, 2, 65535])
def test_generic_write_hands_over_the_data_byte_first(emu, camera, d):
    emu.script("QxGenericI2CWrite", result=-2)
    assert qx.QxGenericI2CWrite(camera, 0, 0x48, 2**32 - 1, d, 0xAB) == -2
    (_, arguments), = emu.journal("QxGenericI2CWrite")
    assert (arguments["a"], arguments["b"], arguments["c"], arguments["d"]) == (0, 0x48, 2**32 - 1, d)
    # Whatever length the library is asked to read, it reads the byte and then zeros.
    assert arguments["data"] == b"\xab" + bytes(d - 1)


def test_ap1302_and_sensor_reads_return_the_value_unchanged(emu, camera):
    emu.clear_journal()
    emu.script("QxAP1302I2CRead", result=-1, outs={"value": 0x1234})
    assert qx.QxAP1302I2CRead(camera, 0x0000) == (-1, 4660)
    emu.script("QxAP1302SensorRegisterRead", outs={"value": 65535})
    assert qx.QxAP1302SensorRegisterRead(camera, 0x6C, 0x3000) == (0, 65535)
    emu.script("QxAP1302I2CRead", result=-1)
    assert qx.QxAP1302I2CRead(camera, 0x0002) == (-1, 0)
    assert [arguments for _, arguments in emu.journal()] == [
        {"camera": 0, "address": 0},
        {"camera": 0, "first": 0x6C, "second": 0x3000},
        {"camera": 0, "address": 2},
    ]


def test_writes_pass_their_arguments_in_order(emu, camera):
    emu.clear_journal()
    emu.script("QxAP1302I2CWrite", result=5)
    emu.script("QxAP1302SensorRegisterWrite", result=6)
    assert qx.QxAP1302I2CWrite(camera, 0x1000, 0xBEEF) == 5
    assert qx.QxAP1302SensorRegisterWrite(camera, 1, 2, 3) == 6
    assert [arguments for _, arguments in emu.journal()] == [
        {"camera": 0, "address": 0x1000, "value": 0xBEEF},
        {"camera": 0, "first": 1, "second": 2, "third": 3},
    ]


BAD_REGISTER_CALLS = [
    pytest.param(lambda c: qx.QxGenericI2CRead(c, 0, 0, 65536, 1), id="read-c-65536"),
    pytest.param(lambda c: qx.QxGenericI2CRead(c, 256, 0, 0, 1), id="read-a-256"),
    pytest.param(lambda c: qx.QxGenericI2CRead(c, 0, 0, 0, -1), id="read-d-negative"),
    pytest.param(lambda c: qx.QxGenericI2CWrite(c, 0, 0, 2**32, 1, 0), id="write-c-2**32"),
    pytest.param(lambda c: qx.QxGenericI2CWrite(c, 0, 0, 0, 1, 256), id="write-data-256"),
    pytest.param(lambda c: qx.QxGenericI2CWrite(c, 0, 0, 0, 1, -1), id="write-data-negative"),
    pytest.param(lambda c: qx.QxGenericI2CWrite(c, 0, 0, 0, 1, b"\x01"), id="write-data-bytes"),
    pytest.param(lambda c: qx.QxGenericI2CWrite(c, 0, 0, 0, 1, [1]), id="write-data-list"),
    pytest.param(lambda c: qx.QxAP1302I2CRead(c, 65536), id="ap1302-address-65536"),
    pytest.param(lambda c: qx.QxAP1302I2CWrite(c, 0, -1), id="ap1302-value-negative"),
    pytest.param(lambda c: qx.QxAP1302SensorRegisterWrite(c, 0, 0, 65536), id="sensor-value-65536"),
    pytest.param(lambda c: qx.QxAP1302SensorRegisterRead(c, 0), id="sensor-missing-argument"),
]


@pytest.mark.parametrize("call", BAD_REGISTER_CALLS)
def test_bad_arguments_are_refused_before_the_library(emu, camera, call):
    emu.clear_journal()
    with pytest.raises(TypeError):
        call(camera)
    assert emu.journal() == []


def test_generic_write_accepts_a_32_bit_third_argument(emu, camera):
    emu.script("QxGenericI2CWrite", result=0)
    assert qx.QxGenericI2CWrite(camera, 0, 0, 65536, 1, 0) == 0
    assert emu.journal("QxGenericI2CWrite")[0][1]["c"] == 65536

