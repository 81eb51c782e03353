"""Builds firmware image files in the format of the emulated QuorvexSDK.

An image is a 36-byte little-endian header followed by the payload:

    offset  size  field
         0     4  magic b"QXFW"
         4     2  format version: 1
         6     2  target: 1 = the FX3 USB controller, 2 = the sensor
         8     2  product: the QX_CAMERA_PRODUCT_TYPE value of the cameras it is for
        10     2  reserved: 0
        12    16  version: printable ASCII, NUL-padded (all 16 bytes may be text)
        28     4  payload length in bytes: 1 to 16 MiB
        32     4  CRC-32 of the payload (zlib.crc32)
        36        the payload

    make_firmware_image("fx3.img", TARGET_USB_CONTROLLER, qx.QXCAM_PRODUCT_TYPE_ZENA, "3.12.1")
"""

import os
import pathlib
import struct
import zlib
from collections.abc import Buffer, Iterable
from typing import SupportsIndex

MAGIC = b"QXFW"
FORMAT_VERSION = 1
TARGET_USB_CONTROLLER = 1
TARGET_SENSOR = 2
HEADER = struct.Struct("<4sHHHH16sII")
VERSION_SIZE = 16
DEFAULT_PAYLOAD = bytes(range(256)) * 16


def firmware_image(
    target: int, product: SupportsIndex, version: str, payload: Buffer | Iterable[SupportsIndex] = DEFAULT_PAYLOAD
) -> bytes:
    """The bytes of an image. `product` is an int or a QX_CAMERA_PRODUCT_TYPE member.

    Nothing is checked beyond what the layout can hold, so an image the library refuses (empty
    version or payload, unknown target) can be built too.
    """
    text = version.encode("ascii")
    if len(text) > VERSION_SIZE:
        raise ValueError(f"version {version!r} is longer than {VERSION_SIZE} bytes")
    payload = bytes(payload)
    header = HEADER.pack(MAGIC, FORMAT_VERSION, target, int(product), 0, text, len(payload), zlib.crc32(payload))
    return header + payload


def make_firmware_image[P: str | os.PathLike[str]](
    path: P, target: int, product: SupportsIndex, version: str,
    payload: Buffer | Iterable[SupportsIndex] = DEFAULT_PAYLOAD,
) -> P:
    """Writes an image to `path` and returns the path."""
    pathlib.Path(path).write_bytes(firmware_image(target, product, version, payload))
    return path
