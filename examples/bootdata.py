"""Reads a camera's boot-data header, saves it to a file and reads the file back.

    python examples/bootdata.py [--camera 0] [--output out/bootdata_header.bin]

Asks the camera which header version its boot data holds (QxGetHeaderVersion), reads that
header (QxGetBootdataHeaderV2 or V3) and prints every field; then writes the header to a file
as the library lays it out (packed, little-endian) and reads the file back with the from-file
getter, checking that every field survived.
"""

import argparse
import pathlib
import struct

import pyQuorvexSDK as qx

from open_camera import add_camera_option, check, opened_camera

# The packed, little-endian record layouts of the library's header file format.
V2_LAYOUT = "<BH64sB76s"                # 144 bytes
V3_LAYOUT = "<BHH16s64s16sH2sHH6BHIHH"  # 125 bytes

V2_FIELDS = ["headerVersion", "contentOffset", "productName", "productVersion"]
V3_FIELDS = [
    "headerVersion", "contentOffset", "sensorType", "sensorFuseId", "productName", "lensId",
    "fixChecksum", "kmFwVersion", "vendorFwVersion", "customNumber", "recordYear", "recordMonth",
    "recordDay", "recordHour", "recordMinute", "recordSecond", "mipiDatarate", "contentLen",
    "contentChecksum", "totalChecksum",
]
HEX_FIELDS = {"sensorType", "fixChecksum", "vendorFwVersion", "contentChecksum", "totalChecksum"}


def show(name: str, value: object) -> str:
    if isinstance(value, bytes):
        return value.hex().upper() if name == "sensorFuseId" else repr(value.rstrip(b"\0").decode("ascii", "replace"))
    if isinstance(value, int) and name in HEX_FIELDS:
        return f"0x{value:04X}"
    return repr(value) if isinstance(value, str) else str(value)


def pack(header: qx.QxHeaderV2 | qx.QxHeaderV3) -> bytes:
    """The header's bytes as the library stores them in a file."""
    name = header.productName.encode()
    if isinstance(header, qx.QxHeaderV2):
        # The module does not expose the 76 reserved bytes; they are written as zeros.
        return struct.pack(V2_LAYOUT, 2, header.contentOffset, name, header.productVersion, bytes(76))
    # kmFwVersion reads as two 2-digit numbers, "0107" for the bytes 1 and 7.
    km = bytes([int(header.kmFwVersion[:2]), int(header.kmFwVersion[2:])])
    return struct.pack(
        V3_LAYOUT, 3, header.contentOffset, header.sensorType, header.sensorFuseId, name,
        header.lensId, header.fixChecksum, km, header.vendorFwVersion, header.customNumber,
        header.recordYear, header.recordMonth, header.recordDay, header.recordHour,
        header.recordMinute, header.recordSecond, header.mipiDatarate, header.contentLen,
        header.contentChecksum, header.totalChecksum,
    )


def read_header(camera: qx.QxCamera) -> qx.QxHeaderV2 | qx.QxHeaderV3:
    """The header of the camera's boot data, in the version the camera holds."""
    version = qx.QxGetHeaderVersion(camera)
    header: qx.QxHeaderV2 | qx.QxHeaderV3 | None
    if version == 2:
        status, header = qx.QxGetBootdataHeaderV2(camera)
    elif version == 3:
        status, header = qx.QxGetBootdataHeaderV3(camera)
    else:
        raise SystemExit(f"QxGetHeaderVersion failed with status {version}")
    check(status, f"QxGetBootdataHeaderV{version}")
    if header is None:
        raise SystemExit(f"QxGetBootdataHeaderV{version} gave no header")
    return header


def read_header_file(path: pathlib.Path, version: int) -> qx.QxHeaderV2 | qx.QxHeaderV3:
    """The header at the start of the file, read as `version`."""
    header: qx.QxHeaderV2 | qx.QxHeaderV3 | None
    if version == 2:
        status, _, header = qx.QxGetBootdataHeaderV2FromFile(str(path))
    else:
        status, _, header = qx.QxGetBootdataHeaderV3FromFile(str(path))
    check(status, f"QxGetBootdataHeaderV{version}FromFile({str(path)!r})")
    if header is None:
        raise SystemExit(f"QxGetBootdataHeaderV{version}FromFile gave no header")
    return header


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_camera_option(parser)
    parser.add_argument("--output", type=pathlib.Path, default=pathlib.Path("out/bootdata_header.bin"),
                        help="header file to write (default out/bootdata_header.bin)")
    args = parser.parse_args()

    with opened_camera(args.camera) as (camera, _):
        header = read_header(camera)

    version = header.headerVersion
    fields = V2_FIELDS if version == 2 else V3_FIELDS
    print(f"Boot-data header version {version}:")
    for name in fields:
        print(f"  {name:<16} {show(name, getattr(header, name))}")

    data = pack(header)
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_bytes(data)
    print(f"Wrote {len(data)} bytes to {args.output}")

    copy = read_header_file(args.output, version)
    differing = [name for name in fields if getattr(copy, name) != getattr(header, name)]
    if differing:
        raise SystemExit(f"fields read back differently from {args.output}: {', '.join(differing)}")
    print(f"Read {args.output} back with QxGetBootdataHeaderV{version}FromFile: all {len(fields)} fields match")


if __name__ == "__main__":
    main()
