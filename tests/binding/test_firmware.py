import pytest

import pyQuorvexSDK as qx

from support import Abort, header_v2, header_v3


def scripted_header(emu, camera, raw):
    version = 2 if len(raw) == 144 else 3
    function = f"QxGetBootdataHeaderV{version}"
    emu.script(function, outs={"header": raw})
    status, header = getattr(qx, function)(camera)
    assert status == 0
    return header


def test_layout_sizes():
    assert len(header_v2()) == 144 and len(header_v3()) == 125


class TestHeaderRecords:
    def test_v3_fields(self, emu, camera):
        header = scripted_header(emu, camera, header_v3(
            contentOffset=0x1234, sensorType=0x0521, sensorFuseId=bytes(range(16)), productName=b"ZenA",
            lensId=b"L" * 16, fixChecksum=0xA5A5, km0=1, km1=5, vendorFwVersion=0x0102,
            customNumber=7, recordYear=26, recordMonth=12, recordDay=7, recordHour=9, recordMinute=30,
            recordSecond=59, mipiDatarate=1500, contentLen=0xFFFFFFFF, contentChecksum=0xBEEF,
            totalChecksum=0xCAFE))
        assert header.contentOffset == 4660 and header.contentLen == 4294967295
        assert header.sensorType == 0x0521 and header.sensorFuseId == bytes(range(16))
        assert header.productName == "ZenA" and header.lensId == b"L" * 16
        assert header.kmFwVersion == "0105"
        assert (header.fixChecksum, header.vendorFwVersion, header.customNumber) == (0xA5A5, 0x0102, 7)
        assert (header.recordYear, header.recordMonth, header.recordDay) == (26, 12, 7)
        assert (header.recordHour, header.recordMinute, header.recordSecond) == (9, 30, 59)
        assert (header.mipiDatarate, header.contentChecksum, header.totalChecksum) == (1500, 0xBEEF, 0xCAFE)

    @pytest.mark.parametrize("km, text", [((0, 0), "0000"), ((12, 3), "1203"), ((255, 7), "25507"),
                                          ((100, 100), "100100")])
    def test_km_firmware_version(self, emu, camera, km, text):
        header = scripted_header(emu, camera, header_v3(km0=km[0], km1=km[1]))
        assert header.kmFwVersion == text

    @pytest.mark.parametrize(
        "raw, text",
        [(b"ABC", "ABC"), (b"\x00ABC", ""), (b"A" * 64, "A" * 64), ("Zé".encode(), "Zé")],
        ids=["text", "leading-nul", "no-nul", "utf8"],
    )
    def test_product_name(self, emu, camera, raw, text):
        assert scripted_header(emu, camera, header_v2(productName=raw)).productName == text
        assert scripted_header(emu, camera, header_v3(productName=raw)).productName == text

    def test_product_name_without_nul_stops_at_the_field(self, emu, camera):
        # The bytes after the field must not leak into the text.
        header = scripted_header(emu, camera, header_v3(productName=b"P" * 64, lensId=b"LENS"))
        assert header.productName == "P" * 64

    def test_raw_identifiers_keep_nul_bytes(self, emu, camera):
        header = scripted_header(emu, camera, header_v3())
        assert header.sensorFuseId == bytes(16) and header.lensId == bytes(16)

    def test_undecodable_product_name(self, emu, camera):
        header = scripted_header(emu, camera, header_v2(productName=b"\xff\xfe", productVersion=9))
        with pytest.raises(UnicodeDecodeError):
            header.productName
        assert header.productVersion == 9

    @pytest.mark.parametrize("name", ["headerVersion", "productName", "contentLen", "kmFwVersion", "other"])
    def test_read_only(self, emu, camera, name):
        header = scripted_header(emu, camera, header_v3(contentLen=5))
        with pytest.raises(AttributeError):
            setattr(header, name, 1)
        assert header.contentLen == 5

    @pytest.mark.parametrize("record", ["QxHeaderV2", "QxHeaderV3"])
    def test_not_constructible(self, record):
        with pytest.raises(TypeError, match="No constructor defined"):
            getattr(qx, record)()


@pytest.mark.parametrize("version", [2, 3])
def test_header_getter_keeps_the_zeroed_record_when_the_library_leaves_it(emu, camera, version):
    function = f"QxGetBootdataHeaderV{version}"
    emu.script(function, result=-7)
    status, header = getattr(qx, function)(camera)
    assert status == -7 and type(header) is getattr(qx, f"QxHeaderV{version}")
    assert (header.headerVersion, header.contentOffset, header.productName) == (0, 0, "")


@pytest.mark.parametrize("version", [2, 3])
def test_emptied_header_pointer_gives_none(emu, camera, version):
    emu.script(f"QxGetBootdataHeaderV{version}", result=0, outs={"header": None})
    assert getattr(qx, f"QxGetBootdataHeaderV{version}")(camera) == (0, None)


@pytest.mark.parametrize("version, raw", [(2, header_v2(productName=b"file")), (3, header_v3(productName=b"file"))])
def test_from_file_getters_take_and_return_the_path(emu, version, raw):
    function = f"QxGetBootdataHeaderV{version}FromFile"
    emu.script(function, result=0, outs={"header": raw})
    status, path, header = getattr(qx, function)("/data/boot.bin")
    assert (status, path, header.productName) == (0, "/data/boot.bin", "file")
    assert emu.journal(function) == [(function, {"path": b"/data/boot.bin"})]
    emu.script(function, result=-8, outs={"header": None})
    assert getattr(qx, function)("") == (-8, "", None)


@pytest.mark.parametrize("arguments", [(), ("a", "b"), (1,), (None,)])
@pytest.mark.parametrize("version", [2, 3])
def test_from_file_getters_need_exactly_one_path(emu, version, arguments):
    with pytest.raises(TypeError):
        getattr(qx, f"QxGetBootdataHeaderV{version}FromFile")(*arguments)
    assert emu.journal() == []


@pytest.mark.parametrize("function", ["QxGetUSBFirmwareVersion", "QxGetZENAFirmwareVersion",
                                      "QxGetSensorFirmwareVersion", "QxGetSensorUniqueID"])
def test_string_getters(emu, camera, function):
    out = "uniqueId" if function == "QxGetSensorUniqueID" else "version"
    emu.script(function, result=-1)
    assert getattr(qx, function)(camera) == (-1, "")
    emu.script(function, result=0, outs={out: b"v\xff"})
    with pytest.raises(UnicodeDecodeError):
        getattr(qx, function)(camera)


def test_progress_values_reach_the_callable_in_order(emu, camera):
    seen = []
    emu.script("QxUpgradeFX3FW", result=-3, outs={"progress": [0, 10, 50, 100]})
    assert qx.QxUpgradeFX3FW(qx.FW_TARGET_SPI, "/fw/fx3.img", lambda value: seen.append(value) or "ignored") == -3
    assert seen == [0, 10, 50, 100] and all(type(value) is int for value in seen)
    assert emu.journal("QxUpgradeFX3FW") == [("QxUpgradeFX3FW", {"target": 3, "path": b"/fw/fx3.img"})]


def test_sensor_upgrade_result_is_an_enumeration_even_when_unnamed(emu, camera):
    emu.script("QxUpgradeSensorFW", result=-11, outs={"progress": [1]})
    seen = []
    result = qx.QxUpgradeSensorFW(camera, "/fw/sensor.img", seen.append)
    assert type(result) is qx.QX_UPGRADE_RESULT and result.value == -11 and result.name == "???"
    assert seen == [1]


def test_no_progress_callable_is_accepted(emu, camera):
    emu.script("QxUpgradeSensorFW", result=0, outs={"progress": [5, 6]})
    assert qx.QxUpgradeSensorFW(camera, "/fw/sensor.img", None) == qx.QX_UPGRADE_SUCCESS


def test_exception_in_the_progress_callable_reaches_the_caller(emu, camera):
    def progress(value):
        if value == 50:
            raise Abort("stop at 50")

    emu.script("QxUpgradeFX3FW", result=0, outs={"progress": [0, 50, 100]})
    with pytest.raises(Abort, match="stop at 50"):
        qx.QxUpgradeFX3FW(qx.FW_TARGET_RAM, "/fw/fx3.img", progress)
    assert qx.QxGetHeaderVersion(camera) is not None  # the module stays usable


BAD_FIRMWARE_CALLS = [
    pytest.param(lambda c: qx.QxUpgradeFX3FW(1, "/fw", None), id="fx3-target-int"),
    pytest.param(lambda c: qx.QxUpgradeFX3FW(None, "/fw", None), id="fx3-target-none"),
    pytest.param(lambda c: qx.QxUpgradeFX3FW(c, "/fw", None), id="fx3-camera"),
    pytest.param(lambda c: qx.QxUpgradeFX3FW(qx.FW_TARGET_RAM, 5, None), id="fx3-path-int"),
    pytest.param(lambda c: qx.QxUpgradeFX3FW(qx.FW_TARGET_RAM, "/fw", 5), id="fx3-progress-int"),
    pytest.param(lambda c: qx.QxUpgradeSensorFW(qx.FW_TARGET_RAM, "/fw", None), id="sensor-no-camera"),
    pytest.param(lambda c: qx.QxUpgradeSensorFW(c, "/fw"), id="sensor-missing-progress"),
    pytest.param(lambda c: qx.QxGetBootdataHeaderV2(c, None), id="header-extra"),
    pytest.param(lambda c: qx.QxGetHeaderVersion(), id="header-version-no-camera"),
]


@pytest.mark.parametrize("call", BAD_FIRMWARE_CALLS)
def test_bad_arguments_are_refused_before_the_library(emu, camera, call):
    emu.clear_journal()
    with pytest.raises(TypeError):
        call(camera)
    assert emu.journal() == []


def test_direct_bindings_return_the_library_status(emu, camera):
    for function, result in (("QxResetUVC", -4), ("QxGetHeaderVersion", 3), ("QxGotoUSBProgramMode", -2)):
        emu.script(function, result=result)
        assert getattr(qx, function)(camera) == result

