"""Inputs the fuzz targets of fuzz/ found, replayed through the module.

Each one is kept in its target's seed corpus as fuzz/corpus/<target>/found-*, so the fuzzer starts
from it as well; scripts/fuzz.sh runs the targets.
"""

import pytest

import pyQuorvexSDK as qx

from support import REPOSITORY

CORPUS = REPOSITORY / "fuzz" / "corpus"
FOUND_CONFIGURATIONS = sorted((CORPUS / "config").glob("found-*"))

# Bytes per pixel of the uncompressed formats (emulator/README.md, "Frame lengths").
BYTES_PER_PIXEL = {"YUY2": 2, "UYVY": 2, "RGB16": 2, "NV12": 1.5, "BGRA": 4, "BGRX": 4, "BGR": 3, "RGB": 3}


def fourcc(fmt):
    return fmt.format.name.removeprefix("QX_IMAGE_FORMAT_")


def profile_format(fmt):
    return f"{fourcc(fmt)} {fmt.width}x{fmt.height}@{fmt.framerate}"


def key(fmt):
    return fmt.format.value, fmt.width, fmt.height, fmt.framerate


def first_frame_length(camera, fmt):
    assert qx.QxStartStreaming(camera) == 0
    result, frame = qx.QxGetImage(camera, 2000, fmt)
    assert qx.QxStopStreaming(camera) == 0
    assert result == qx.QX_SUCCESS
    return frame.size


@pytest.mark.parametrize("path", FOUND_CONFIGURATIONS, ids=lambda path: path.name)
def test_found_configuration(emu, tmp_path, path):
    """The config target's walk: each camera in turn loads a profile naming its own last format;
    then each reads the device's profile back and activates it, since handles of one device
    share their profile but not their format lists."""
    # found-many-formats: 65535 formats once took seconds, each searched for in the list so far;
    # its time is watched by the fuzzer's timeout, not here (tests are not timed).
    assert emu.configure(path.read_text())

    status, names = qx.QxDiscoverCameraDevices()
    assert status == 0 and names
    cameras = [qx.QxInitialCameraDevice(i) for i in range(len(names))]
    formats, loaded = {}, {}
    for camera in cameras:
        assert qx.QxOpen(camera) == 0
        status, formats[camera] = qx.QxGetFormatList(camera)
        assert status == 0
        if qx.QxSetOSPProfileFlag(camera, qx.ENABLED) == 0:
            profile = tmp_path / "profile.yaml"
            profile.write_text(f"format: {profile_format(formats[camera][-1])}\n")
            assert qx.QxLoadProfileConfig(camera, str(profile)) == 0
            loaded[qx.QxGetDevicePath(camera)[1]] = formats[camera][-1]
        assert qx.QxClose(camera) == 0
    assert loaded, "no camera of the input takes profiles"

    for camera in cameras:
        assert qx.QxOpen(camera) == 0
        wanted = loaded.get(qx.QxGetDevicePath(camera)[1])
        if wanted is not None:
            status, text = qx.QxGetOSPProfileConfig(camera)
            assert status == 0 and text.startswith(f"format: {profile_format(wanted)}\n")
            listed = [f for f in formats[camera] if key(f) == key(wanted)]
            if listed:
                assert qx.QxActivateProfileStreaming(camera) == 0
                length = first_frame_length(camera, listed[0])
                if fourcc(wanted) != "MJPG":
                    assert length == wanted.width * wanted.height * BYTES_PER_PIXEL[fourcc(wanted)]
            else:
                # As QxSetFormat with a format the handle does not list; the selection stays.
                assert qx.QxActivateProfileStreaming(camera) == emu.QXE_INVALID_ARGUMENT
                first = formats[camera][0]
                if fourcc(first) != "MJPG":
                    assert first_frame_length(camera, first) == (
                        first.width * first.height * BYTES_PER_PIXEL[fourcc(first)])
        assert qx.QxClose(camera) == 0
