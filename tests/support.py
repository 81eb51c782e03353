"""Helpers and tables that more than one test file uses. Test files import from here (and from
api.py), never from each other."""

import pathlib
import struct
import subprocess
import sys
import textwrap

import pyQuorvexSDK as qx

REPOSITORY = pathlib.Path(__file__).resolve().parent.parent
EXAMPLES = REPOSITORY / "examples"

UVC = qx.QX_UVC_IMAGE_PROPERTIES
ISP = qx.QX_ISP_IMAGE_PROPERTIES

# In RGB: the colour bars of the test pattern from left to right, then the grey ramp below them.
BARS = [(255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 255),
        (255, 255, 0), (0, 255, 255), (255, 0, 255), (0, 0, 0)]
PIXEL_FORMATS = ["YUY2", "UYVY", "NV12", "MJPG", "BGRA", "BGRX", "BGR", "RGB16", "RGB"]


def run_python(code, **kwargs):
    """Runs code in a fresh interpreter, so that a crash shows as a failure, not a dead run."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
        **kwargs,
    )


def raw_format(width, height, pixel_format, framerate=30, format_id=0x1234):
    return struct.pack("<HHHHi", format_id, width, height, framerate, pixel_format)


def scripted_format(emu, camera, width, height, pixel_format, **kwargs):
    """A QxFormat as the library would list it, with the given fields."""
    emu.script("QxGetFormatList", outs={"formats": [raw_format(width, height, pixel_format, **kwargs)]})
    status, (fmt,) = qx.QxGetFormatList(camera)
    assert status == 0
    return fmt


def grab(camera, fmt, timeout=2000):
    result, frame = qx.QxGetImage(camera, timeout, fmt)
    assert result == qx.QX_SUCCESS
    return frame


V3_LAYOUT = "<BHH16s64s16sH2BHH6BHIHH"
V3_FIELDS = ["headerVersion", "contentOffset", "sensorType", "sensorFuseId", "productName", "lensId",
             "fixChecksum", "km0", "km1", "vendorFwVersion", "customNumber", "recordYear",
             "recordMonth", "recordDay", "recordHour", "recordMinute", "recordSecond",
             "mipiDatarate", "contentLen", "contentChecksum", "totalChecksum"]


def header_v2(headerVersion=2, contentOffset=0, productName=b"", productVersion=0, rest=b""):
    return struct.pack("<BH64sB76s", headerVersion, contentOffset, productName, productVersion, rest)


def header_v3(**fields):
    values = {name: 0 for name in V3_FIELDS}
    values.update(headerVersion=3, sensorFuseId=b"", productName=b"", lensId=b"")
    values.update(fields)
    return struct.pack(V3_LAYOUT, *(values[name] for name in V3_FIELDS))


class Abort(Exception):
    """Raised from a progress callable to abort an upgrade."""
