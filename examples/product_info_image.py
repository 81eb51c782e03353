"""Builds product information images for QxFlashProductInfo of the emulated QuorvexSDK.

An image is 112 bytes, little-endian:

    offset  size  field
         0     4  magic b"QXPI"
         4     2  format version: 1
         6     2  product: the QX_CAMERA_PRODUCT_TYPE value of the cameras it is for
         8    32  serial number: printable ASCII, 1 to 32 characters, NUL-padded
        40    64  product name: printable ASCII, 1 to 63 characters, NUL-padded
       104     2  year of manufacture: 2000 to 2099
       106     1  month: 1 to 12
       107     1  day: 1 to the length of the month
       108     4  CRC-32 of bytes 0 to 107 (zlib.crc32)

    make_product_info_image("info.bin", qx.QXCAM_PRODUCT_TYPE_ZENA, "QZA-240514-0042",
                            "Quorvex ZenA 13MP Bench Unit", datetime.date(2024, 5, 14))
"""

import datetime
import os
import pathlib
import struct
import zlib
from typing import SupportsIndex

MAGIC = b"QXPI"
FORMAT_VERSION = 1
BODY = struct.Struct("<4sHH32s64sHBB")
SIZE = BODY.size + 4  # 112
SERIAL_SIZE = 32
NAME_SIZE = 64


def product_info_image(
    product: SupportsIndex, serial_number: str, product_name: str,
    date: datetime.date | tuple[int, int, int] = datetime.date(2024, 5, 14),
) -> bytes:
    """The bytes of an image. `product` is an int or a QX_CAMERA_PRODUCT_TYPE member.

    Only what the layout cannot hold is refused, so images the library refuses (an empty serial
    number, a 64-character product name, an invalid date given as a (year, month, day) tuple) can
    be built too.
    """
    serial = serial_number.encode("ascii")
    name = product_name.encode("ascii")
    if len(serial) > SERIAL_SIZE:
        raise ValueError(f"serial number {serial_number!r} is longer than {SERIAL_SIZE} bytes")
    if len(name) > NAME_SIZE:
        raise ValueError(f"product name {product_name!r} is longer than {NAME_SIZE} bytes")
    year, month, day = (date.year, date.month, date.day) if isinstance(date, datetime.date) else date
    body = BODY.pack(MAGIC, FORMAT_VERSION, int(product), serial, name, year, month, day)
    return body + struct.pack("<I", zlib.crc32(body))


def make_product_info_image[P: str | os.PathLike[str]](
    path: P, product: SupportsIndex, serial_number: str, product_name: str,
    date: datetime.date | tuple[int, int, int] = datetime.date(2024, 5, 14),
) -> P:
    """Writes an image to `path` and returns the path."""
    pathlib.Path(path).write_bytes(product_info_image(product, serial_number, product_name, date))
    return path
