import struct

import numpy
import pytest

import pyQuorvexSDK as qx

INTRINSICS_LAYOUT = "<ii4fi5f"


class TestQxIntrinsics:
    def test_new_record_is_all_zero(self):
        k = qx.QxIntrinsics()
        assert (k.w, k.h, k.fx, k.fy, k.cx, k.cy) == (0, 0, 0.0, 0.0, 0.0, 0.0)
        assert k.model == qx.QX_DISTORTION_MODEL.QX_DIST_NONE
        assert k.coeffs.dtype == numpy.float32 and k.coeffs.tolist() == [0.0] * 5

    @pytest.mark.parametrize(
        "value, stored",
        [
            ([1, 2, 3, 4, 5], [1.0, 2.0, 3.0, 4.0, 5.0]),
            ((0.5, -1, 2, 3, 4), [0.5, -1.0, 2.0, 3.0, 4.0]),
            (numpy.arange(5, dtype=numpy.int64), [0.0, 1.0, 2.0, 3.0, 4.0]),
            (numpy.full(5, 0.1), [numpy.float32(0.1)] * 5),
            (numpy.arange(5.0).reshape(1, 5), [0.0, 1.0, 2.0, 3.0, 4.0]),
            (numpy.arange(5.0).reshape(5, 1), [0.0, 1.0, 2.0, 3.0, 4.0]),
            (numpy.arange(10, dtype=numpy.float32)[::2], [0.0, 2.0, 4.0, 6.0, 8.0]),
            (numpy.arange(5, dtype=numpy.float32)[::-1], [4.0, 3.0, 2.0, 1.0, 0.0]),
            (numpy.arange(10.0).reshape(2, 5)[:, ::2].T.reshape(-1)[:5], [0.0, 5.0, 2.0, 7.0, 4.0]),
        ],
        ids=["list", "tuple", "int-array", "double-array", "row", "column", "strided", "reversed", "view"],
    )
    def test_coefficients_accepted(self, value, stored):
        k = qx.QxIntrinsics()
        k.coeffs = value
        assert k.coeffs.tolist() == [float(numpy.float32(v)) for v in stored]

    @pytest.mark.parametrize(
        "value",
        [[1, 2, 3, 4], numpy.zeros(6), numpy.zeros(0), 0.5, numpy.zeros((2, 3)), [[1, 2], [3, 4]]],
        ids=["four", "six", "empty", "scalar", "2x3", "2x2"],
    )
    def test_wrong_counts_leave_the_coefficients(self, value):
        k = qx.QxIntrinsics()
        k.coeffs = [1, 2, 3, 4, 5]
        with pytest.raises(RuntimeError, match="^coeffs must have 5 elements$"):
            k.coeffs = value
        assert k.coeffs.tolist() == [1.0, 2.0, 3.0, 4.0, 5.0]

    def test_read_array_is_not_linked_to_the_record(self):
        k = qx.QxIntrinsics()
        k.coeffs = [1, 2, 3, 4, 5]
        read = k.coeffs
        read[0] = 9.0
        assert k.coeffs[0] == 1.0
        assert read.flags.owndata and read.flags.c_contiguous and read.shape == (5,)
        assert k.coeffs is not k.coeffs

    def test_floats_are_single_precision(self):
        k = qx.QxIntrinsics()
        k.fx = 0.1
        k.cy = 3
        assert k.fx == 0.10000000149011612 and k.cy == 3.0

    def test_integer_fields(self):
        k = qx.QxIntrinsics()
        k.w = -1
        k.h = 2**31 - 1
        assert (k.w, k.h) == (-1, 2**31 - 1)
        for bad in (2**31, -(2**31) - 1, 1.5, "1"):
            with pytest.raises(TypeError):
                k.w = bad
        assert k.w == -1

    @pytest.mark.parametrize("bad", [1, None, qx.QX_SENSOR_MODE.WORK], ids=["int", "none", "other-enum"])
    def test_model_takes_only_its_enumeration(self, bad):
        k = qx.QxIntrinsics()
        k.model = qx.QX_DISTORTION_MODEL.QX_DIST_MODEL_RADTAN
        with pytest.raises(TypeError):
            k.model = bad
        assert k.model == qx.QX_DIST_MODEL_RADTAN and int(k.model) == 1

    def test_no_other_attributes(self):
        with pytest.raises(AttributeError):
            qx.QxIntrinsics().skew = 0.0


class TestQxImuIspu:
    def test_not_constructible(self):
        with pytest.raises(TypeError, match="No constructor defined"):
            qx.QxImuIspu()

    def test_fields_are_read_only_exact_floats(self, emu, camera):
        raw = struct.pack("<7f", 0.1, 0.2, 0.3, 0.4, 10.5, -20.25, 30.0)
        emu.script("QxGetISPUData", result=-2, outs={"ispu": raw})
        status, ispu = qx.QxGetISPUData(camera)
        assert status == -2
        assert [ispu.x, ispu.y, ispu.z, ispu.w] == [float(numpy.float32(v)) for v in (0.1, 0.2, 0.3, 0.4)]
        assert (ispu.yaw, ispu.pitch, ispu.roll) == (10.5, -20.25, 30.0)
        with pytest.raises(AttributeError):
            ispu.yaw = 1.0


def test_written_intrinsics_reach_the_library_as_their_48_bytes(emu, camera):
    k = qx.QxIntrinsics()
    k.w, k.h, k.fx, k.fy, k.cx, k.cy = 1920, 1080, 1000.5, 1001.25, 960.0, 540.0
    k.model = qx.QX_DIST_MODEL_RADTAN
    k.coeffs = [0.1, -0.2, 0.001, 0.002, 0.05]
    emu.script("QxWriteIntrinsics", result=-6)
    assert qx.QxWriteIntrinsics(camera, k) == -6
    (_, arguments), = emu.journal("QxWriteIntrinsics")
    assert arguments["intrinsics"] == struct.pack(
        INTRINSICS_LAYOUT, 1920, 1080, 1000.5, 1001.25, 960.0, 540.0, 1, 0.1, -0.2, 0.001, 0.002, 0.05)


def test_read_intrinsics_are_returned_whatever_the_status(emu, camera):
    raw = struct.pack(INTRINSICS_LAYOUT, 640, 480, 1, 2, 3, 4, 7, 1, 2, 3, 4, 5)
    emu.script("QxGetIntrinsics", result=-1, outs={"intrinsics": raw})
    status, k = qx.QxGetIntrinsics(camera)
    assert status == -1 and (k.w, k.h) == (640, 480)
    assert k.model.value == 7 and k.coeffs.tolist() == [1, 2, 3, 4, 5]
    emu.script("QxGetIntrinsics", result=-1)
    status, k = qx.QxGetIntrinsics(camera)
    assert (k.w, k.fx, k.model) == (0, 0.0, qx.QX_DIST_NONE)


@pytest.mark.parametrize("bad", [None, 5, "k"], ids=["none", "int", "str"])
def test_write_refuses_anything_but_intrinsics(emu, camera, bad):
    emu.clear_journal()
    with pytest.raises(TypeError):
        qx.QxWriteIntrinsics(camera, bad)
    assert emu.journal() == []

