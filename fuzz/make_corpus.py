"""Writes the seed corpora of the fuzz targets to fuzz/corpus/<target>/.

Seeds are small valid files of each format, so that the fuzzer starts deep inside the checks,
and a few broken ones next to the edges the library checks. Run with the project's .venv
(the sensor configuration seed is exported by the emulated library):

    .venv/bin/python fuzz/make_corpus.py

Reproducers of faults the fuzzer found live beside the seeds as found-*; this script leaves
them alone.
"""

import json
import pathlib
import struct
import sys
import tempfile
import zlib

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT / "fuzz" / "corpus"
sys.path.insert(0, str(ROOT / "examples"))

import pyQuorvexSDK as qx  # noqa: E402
import qx_emulator  # noqa: E402
from firmware_image import TARGET_SENSOR, TARGET_USB_CONTROLLER, firmware_image  # noqa: E402
from product_info_image import product_info_image  # noqa: E402
from quorvex.recording_file import RecordingWriter  # noqa: E402

ZENA = int(qx.QXCAM_PRODUCT_TYPE_ZENA)
ZENM = int(qx.QXCAM_PRODUCT_TYPE_ZENM)
PAYLOAD = bytes(range(48))


def config_seeds():
    camera = """\
  - name: Bench Camera
    path: /dev/video9
    interface: usb
    product: zeni
    hardware_id: "BENCH-1"
"""
    # Two handles of one device: they share registers, boot data and the OSP profile.
    shared = """\
cameras:
  - &zena {name: A, path: /dev/video0, interface: usb, product: zena, hardware_id: "1", isp: ap1302,
           formats: [{format: YUY2, sizes: ["640x480", "1280x720"], fps: [30]}]}
  - {name: B, path: /dev/video0, interface: usb, product: zena, hardware_id: "1", isp: ap1302,
     formats: [{format: YUY2, sizes: ["640x480"], fps: [30, 15]}, {format: NV12, sizes: ["64x32"], fps: [1]}]}
  - *zena
"""
    return {
        "builtin.yaml": qx_emulator.builtin_configuration(),
        "empty_list.yaml": "cameras: []\n",
        "minimal.yaml": "cameras:\n" + camera,
        "every_key.yaml": """\
pacing: false
upgrade_time_ms: 0
cameras:
  - name: Bench Camera
    path: /dev/video9
    interface: mipi_csi2
    product: ov5640
    hardware_id: "BENCH-1"
    usb_speed: super_plus
    isp: ap1302
    imu: true
    formats:
      - {format: NV12, sizes: ["32x16", "8192x8192"], fps: [1, 255]}
      - format: RGB16
        sizes: ["33x17"]
        fps: [60]
""",
        "shared_device.yaml": shared,
        "flow.yaml": '{"cameras": [{"name": "x", "path": "p", "interface": "ethernet", "product": "none",'
        ' "hardware_id": "h", "usb_speed": "low"}]}',
        "broken_duplicate_key.yaml": "cameras:\n" + camera + "    path: /dev/video8\n",
        "broken_odd_width.yaml": "cameras:\n" + camera + '    formats: [{format: YUY2, sizes: ["641x480"], fps: [30]}]\n',
        "broken_twice.yaml": "cameras:\n" + camera
        + '    formats: [{format: BGR, sizes: ["64x64"], fps: [5]}, {format: BGR, sizes: ["64x64"], fps: [5]}]\n',
        "broken_upgrade_time.yaml": "upgrade_time_ms: 600001\ncameras: []\n",
    }


def bootdata_seeds():
    v2 = struct.Struct("<BH64sB76s").pack(2, 144, b"Quorvex ZenM", 4, bytes(76))
    v3 = struct.Struct("<BHH16s64s16sH2sHH6BHIHH").pack(
        3, 128, 0x1335, bytes(range(16)), b"Bench Camera", b"LENS-1", 0, bytes([1, 7]), 0x0203, 0,
        24, 5, 14, 9, 32, 17, 1200, 128, 0, 0)
    return {
        "v2.bin": v2,
        "v3.bin": v3,
        "v3_with_content.bin": v3 + b"\xff" * 3 + bytes(range(128)),
        "broken_v3_short.bin": v3[:124],
        "broken_version4.bin": b"\x04" + v3[1:],
        "broken_empty.bin": b"",
    }


def corrupt_crc(image):
    return image[:32] + bytes(b ^ 0xFF for b in image[32:36]) + image[36:]


def firmware_seeds(target, other_target):
    good = firmware_image(target, ZENA, "3.12.1", PAYLOAD)
    return {
        "zena.img": good,
        "zena_16_char_version.img": firmware_image(target, ZENA, "1.2.3-beta.45678", PAYLOAD),
        "broken_other_target.img": firmware_image(other_target, ZENA, "3.12.1", PAYLOAD),
        "broken_other_product.img": firmware_image(target, ZENM, "3.12.1", PAYLOAD),
        "broken_crc.img": corrupt_crc(good),
        "broken_truncated.img": good[:-1],
        "broken_trailing.img": good + b"\0",
        "broken_text_after_nul.img": good[:16] + b"\0x" + good[18:],
    }


def sensor_config_seeds():
    with tempfile.TemporaryDirectory() as folder:
        qx_emulator.reset()
        qx_emulator.configure("")
        camera = qx.QxInitialCameraDevice(0)
        assert qx.QxOpen(camera) == 0
        path = pathlib.Path(folder) / "sensor.bin"
        assert qx.QxExportSensorConfig(camera, str(path)) == 0
        qx.QxClose(camera)
        exported = path.read_bytes()

    def sensor_file(address, registers):
        body = b"QXSC" + struct.pack("<HHI", 1, address, len(registers))
        body += b"".join(struct.pack("<HH", a, v) for a, v in registers)
        return body + struct.pack("<I", zlib.crc32(body))

    return {
        "exported.bin": exported,
        "no_registers.bin": sensor_file(0x36, []),
        "edges.bin": sensor_file(0x7F, [(0, 0), (0xFFFF, 0xFFFF)]),
        "broken_out_of_order.bin": sensor_file(0x36, [(0x3012, 1), (0x3000, 2)]),
        "broken_crc.bin": exported[:-1] + bytes([exported[-1] ^ 1]),
        "broken_truncated.bin": exported[:-5],
    }


def profile_seeds():
    qx_emulator.reset()
    qx_emulator.configure("")
    camera = qx.QxInitialCameraDevice(0)
    assert qx.QxOpen(camera) == 0
    status, factory = qx.QxGetOSPProfileConfig(camera)
    assert status == 0
    qx.QxClose(camera)
    return {
        "example.yaml": (ROOT / "examples" / "osp_profile.yaml").read_text(),
        "factory.yaml": factory,
        "short.yaml": "format: YUY2 1280x720@30\nISP_IMAGE_BRIGHTNESS: 12\nISP_IMAGE_SATURATION: 120\n"
        "ISP_IMAGE_EXPOSURE_MAX_TIME: 20000   # at most 20 ms\n",
        "crlf_tabs.yaml": "\t format:\tMJPG 3840x2160@60 \r\n# comment\r\n\r\nISP_EHDR_RATIO_MIN: +1\r\nISP_IMAGE_PAN: -100\r\n",
        "broken_min_above_max.yaml": "format: BGRA 640x480@30\nISP_EHDR_EXPOSURE_MIN_NUMBER: 3\n"
        "ISP_EHDR_EXPOSURE_MAX_NUMBER: 2\n",
        "broken_off_grid.yaml": "format: RGB 640x480@30\nISP_IMAGE_WHITEBALANCE_TEMPERATURE: 4650\n",
        "broken_second_format.yaml": "format: RGB 640x480@30\nformat: RGB 640x480@30\n",
    }


def route_seeds():
    seeds = {path.name: path.read_text() for path in sorted((ROOT / "examples" / "routes").glob("*.yaml"))}
    seeds.update({
        "empty.yaml": "routes: []\n",
        "flow.yaml": '{routes: [{source: {entity: csi2-rx, pad: 1}, sink: {entity: video2, pad: 0}, enabled: false}]}\n',
        "broken_sink_as_source.yaml": "routes:\n  - source: {entity: video0, pad: 0}\n    sink: {entity: csi2-rx, pad: 0}\n",
        "broken_self_link.yaml": "routes:\n  - source: {entity: ap1302, pad: 2}\n    sink: {entity: ap1302, pad: 0}\n",
        "broken_listed_twice.yaml": "routes:\n" + "  - source: {entity: ap1302, pad: 2}\n    sink: {entity: video2, pad: 0}\n" * 2,
    })
    return seeds


def product_info_seeds():
    good = product_info_image(ZENA, "QZA-240514-0042", "Quorvex ZenA 13MP Bench Unit")
    return {
        "zena.bin": good,
        "zena_longest_texts.bin": product_info_image(ZENA, "S" * 32, "N" * 63, (2096, 2, 29)),
        "broken_other_product.bin": product_info_image(ZENM, "QZM-1", "Quorvex ZenM"),
        "broken_not_a_leap_day.bin": product_info_image(ZENA, "QZA-1", "Quorvex ZenA", (2100 - 1, 2, 29)),
        "broken_name_64.bin": product_info_image(ZENA, "QZA-1", "N" * 64),
        "broken_crc.bin": good[:-1] + bytes([good[-1] ^ 1]),
        "broken_truncated.bin": good[:111],
    }


def replay_seeds():
    """Small recordings: two formats, a change of stream, and files cut short, damaged or of
    another version."""
    with tempfile.TemporaryDirectory() as scratch:
        path = pathlib.Path(scratch) / "seed.qxrec"
        writer = RecordingWriter(path, {"camera": {"name": "Seed"}})
        writer.write_controls(1.0, {"brightness": 0})
        for sequence in range(3):
            writer.write_frame("YUY2", 32, 16, 30, sequence, 1.0 + sequence / 30, bytes([sequence]) * 1024)
        writer.write_frame("MJPG", 32, 16, 15, 0, 2.0, b"\xff\xd8 not decoded \xff\xd9")
        writer.write_frame("YUY2", 32, 16, 30, 0, 3.0, bytes(1024))  # a new stream of the first format
        writer.close({"dropped": 0})
        recording = path.read_bytes()
        path = pathlib.Path(scratch) / "small.qxrec"
        writer = RecordingWriter(path)
        writer.write_frame("NV12", 32, 16, 1, 7, 5.0, bytes(768))
        writer.write_frame("RGB16", 32, 16, 255, 8, 5.0, bytes(1024))
        writer.close()
        small = path.read_bytes()
    damaged = bytearray(recording)
    damaged[-40] ^= 0xFF
    cameras = two_camera_recording()
    return {
        "two_formats.qxrec": recording,
        "nv12_rgb16.qxrec": small,
        "cut_short.qxrec": recording[: len(recording) - 700],
        "damaged.qxrec": bytes(damaged),
        "broken_version.qxrec": recording[:8] + struct.pack("<I", 3) + recording[12:],
        "broken_v2_unlisted_cameras.qxrec": recording[:8] + struct.pack("<I", 2) + recording[12:],
        "two_cameras.qxrec": cameras,
        "broken_camera_number.qxrec": two_camera_recording(second=2),
    }


def recording_record(kind, payload):
    head = struct.pack("<4sI", kind, len(payload))
    return head + payload + struct.pack("<I", zlib.crc32(payload, zlib.crc32(head)))


def two_camera_recording(second=1):
    """Format version 2, written by hand: two cameras' frames, each followed by its META record,
    and IMU samples with and without their camera number; the second camera's frames numbered
    `second`."""
    camera = {"name": "Seed", "path": "/dev/video0", "hardware_id": "S-1", "interface": "USB", "product": "ZENA",
              "usb_speed": "SUPER"}
    info = {"camera": camera, "format": "YUY2:32x16@30",
            "cameras": [{"camera": camera, "format": "YUY2:32x16@30"},
                        {"camera": {**camera, "path": "/dev/video2", "interface": "MIPI_CSI2"},
                         "format": "MJPG:32x16@15"}]}
    records = [recording_record(b"INFO", json.dumps(info).encode())]
    imu = struct.pack("<q6d", 1, 0, 0, 9.8, 0, 0, 0)
    for sequence in range(2):
        for number, name, fps, data in [(0, b"YUY2", 30, bytes([sequence]) * 1024),
                                        (second, b"MJPG", 15, b"\xff\xd8 not decoded \xff\xd9")]:
            header = struct.pack("<8sHHHHQq", name, 32, 16, fps, number, sequence, sequence * 33_000_000)
            records.append(recording_record(b"FRAM", header + data))
            meta = struct.pack("<HHIdQqqq", number, 0, 0b11, sequence / fps, sequence, 0, 0, 0)
            records.append(recording_record(b"META", meta))
        records.append(recording_record(b"IMU ", imu + struct.pack("<I", 1)))
        records.append(recording_record(b"IMU ", imu))
    records.append(recording_record(b"END ", b'{"frames": 4, "dropped": 0, "rejected": 0}'))
    return b"QXRECORD" + struct.pack("<II", 2, 0) + b"".join(records)


def main():
    targets = {
        "config": config_seeds(),
        "bootdata": bootdata_seeds(),
        "firmware_fx3": firmware_seeds(TARGET_USB_CONTROLLER, TARGET_SENSOR),
        "firmware_sensor": firmware_seeds(TARGET_SENSOR, TARGET_USB_CONTROLLER),
        "sensor_config": sensor_config_seeds(),
        "profile": profile_seeds(),
        "routes": route_seeds(),
        "product_info": product_info_seeds(),
        "replay": replay_seeds(),
    }
    qx_emulator.reset()
    for target, seeds in targets.items():
        folder = CORPUS / target
        folder.mkdir(parents=True, exist_ok=True)
        for name, content in seeds.items():
            data = content.encode() if isinstance(content, str) else content
            (folder / name).write_bytes(data)
        print(f"{target}: {len(seeds)} seeds")


if __name__ == "__main__":
    main()
