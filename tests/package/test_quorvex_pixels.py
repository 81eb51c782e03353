"""quorvex's pixel conversion: every pixel format against the emulator's test pattern, against
OpenCV and Pillow, and its refusals of data that is not the frame it is told."""

import threading
import time

import numpy as np
import pytest

import quorvex

BARS = np.array(
    [(255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 255), (255, 255, 0), (0, 255, 255), (255, 0, 255), (0, 0, 0)],
    dtype=np.int16,
)

# How far a pixel may lie from the pattern: exact where the format holds the colour exactly
# (the bars' components are 0 or 255, which RGB565 keeps too), a rounding step or two through
# limited-range YUV, more through JPEG at quality 90.
TOLERANCE = {"BGRA": 0, "BGRX": 0, "BGR": 0, "RGB": 0, "RGB16": 0, "YUY2": 2, "UYVY": 2, "NV12": 2, "MJPG": 8}
RAMP_TOLERANCE = {"BGRA": 0, "BGRX": 0, "BGR": 0, "RGB": 0, "RGB16": 8, "YUY2": 2, "UYVY": 2, "NV12": 2, "MJPG": 8}


def first_frame(camera_index, spec):
    with quorvex.open(camera_index) as camera, camera.stream(spec) as stream:
        return stream.read(2.0)


# Camera 0's smallest format of each pixel format, and odd sizes of camera 2.
FORMATS = [
    (0, "YUY2:640x480@30"), (0, "UYVY:1280x720@30"), (0, "NV12:1920x1080@30"), (0, "MJPG:640x480@30"),
    (0, "BGRA:640x480@30"), (0, "BGRX:1920x1080@30"), (0, "BGR:640x480@30"), (0, "RGB16:640x480@30"),
    (0, "RGB:640x480@30"), (2, "YUY2:176x144@30"), (2, "RGB16:320x240@30"), (2, "NV12:640x480@30"),
    (2, "MJPG:1280x720@30"),
]


@pytest.mark.parametrize("camera_index, spec", FORMATS)
def test_to_rgb_shows_the_test_pattern(emu, camera_index, spec):
    frame = first_frame(camera_index, spec)
    rgb = frame.to_rgb()
    width, height = frame.width, frame.height
    assert rgb.shape == (height, width, 3) and rgb.dtype == np.uint8
    tolerance = TOLERANCE[frame.pixel_format]
    # Bars, sampled in a block at each bar's centre, above the marker.
    for bar, colour in enumerate(BARS):
        x, y = bar * width // 8 + width // 16, height // 8
        block = rgb[y - 2 : y + 2, x - 2 : x + 2].astype(np.int16)
        assert np.abs(block - colour).max() <= tolerance, (bar, block[0, 0])
    # The grey ramp, between the bars and the frame counter.
    y = 3 * height // 4 + 2
    xs = np.arange(8, width - 8, max(1, width // 40))
    expected = xs * 255 // (width - 1)
    row = rgb[y, xs].astype(np.int16)
    assert np.abs(row - expected[:, None]).max() <= RAMP_TOLERANCE[frame.pixel_format]


@pytest.mark.parametrize("camera_index, spec", FORMATS)
def test_to_bgr_is_to_rgb_reversed(emu, camera_index, spec):
    frame = first_frame(camera_index, spec)
    np.testing.assert_array_equal(frame.to_bgr(), frame.to_rgb()[..., ::-1])


@pytest.fixture
def cv2():
    return pytest.importorskip("cv2", reason="OpenCV (opencv-python-headless) is the reference for the YUV conversions")

OPENCV = [
    ("YUY2:1920x1080@30", "COLOR_YUV2RGB_YUY2", lambda data, w, h: data.reshape(h, w, 2)),
    ("UYVY:1920x1080@30", "COLOR_YUV2RGB_UYVY", lambda data, w, h: data.reshape(h, w, 2)),
    ("NV12:1920x1080@30", "COLOR_YUV2RGB_NV12", lambda data, w, h: data.reshape(h * 3 // 2, w)),
    ("BGRA:640x480@30", "COLOR_BGRA2RGB", lambda data, w, h: data.reshape(h, w, 4)),
    ("BGR:640x480@30", "COLOR_BGR2RGB", lambda data, w, h: data.reshape(h, w, 3)),
]


@pytest.mark.parametrize("spec, code, shape", OPENCV, ids=[entry[0] for entry in OPENCV])
def test_colours_match_opencv_within_two_levels(emu, cv2, spec, code, shape):
    # The whole frame: bars, ramp, marker and counter, every edge included.
    frame = first_frame(0, spec)
    reference = cv2.cvtColor(shape(frame.data, frame.width, frame.height), getattr(cv2, code))
    difference = np.abs(frame.to_rgb().astype(np.int16) - reference.astype(np.int16))
    assert difference.max() <= 2, np.unravel_index(difference.argmax(), difference.shape)


def test_mjpg_matches_pillow_within_two_levels(emu):
    Image = pytest.importorskip("PIL.Image")
    import io

    frame = first_frame(0, "MJPG:1920x1080@30")
    with Image.open(io.BytesIO(frame.data.tobytes())) as picture:
        reference = np.asarray(picture.convert("RGB"))
    assert np.abs(frame.to_rgb().astype(np.int16) - reference.astype(np.int16)).max() <= 2


def test_mjpg_frame_saved_as_jpeg_is_written_as_delivered(emu, tmp_path):
    frame = first_frame(0, "MJPG:640x480@30")
    assert frame.save(tmp_path / "frame.jpg").read_bytes() == frame.data.tobytes()
    Image = pytest.importorskip("PIL.Image")
    frame.save(tmp_path / "frame.png")
    with Image.open(tmp_path / "frame.png") as picture:
        np.testing.assert_array_equal(np.asarray(picture.convert("RGB")), frame.to_rgb())


def jpeg_bytes(width, height):
    Image = pytest.importorskip("PIL.Image")
    import io

    # Noise on the left, flat colour on the right: the entropy-coded data is most of the file.
    pixels = np.full((height, width, 3), (200, 30, 60), np.uint8)
    pixels[:, : width // 2] = np.random.default_rng(3).integers(0, 256, (height, width // 2, 3), dtype=np.uint8)
    buffer = io.BytesIO()
    Image.fromarray(pixels).save(buffer, "JPEG", quality=90)
    return np.frombuffer(buffer.getvalue(), dtype=np.uint8)


BAD_FRAMES = [
    pytest.param(np.zeros(640 * 480 * 2 - 1, np.uint8), "YUY2", 640, 480, "holds 614400 bytes, not 614399", id="short"),
    pytest.param(np.zeros(640 * 480 * 2 + 2, np.uint8), "UYVY", 640, 480, "not 614402", id="long"),
    pytest.param(np.zeros(33 * 16 * 2, np.uint8), "YUY2", 33, 16, "even width", id="odd-width"),
    pytest.param(np.zeros(32 * 15 * 3 // 2, np.uint8), "NV12", 32, 15, "even width and height", id="odd-nv12"),
    pytest.param(np.zeros(12, np.uint8), "Y800", 2, 2, "no conversion for pixel format 'Y800'", id="unknown-format"),
    pytest.param(np.zeros(0, np.uint8), "RGB", 0, 4, "out of range", id="empty-size"),
    pytest.param(np.zeros(64, np.uint8), "MJPG", 8, 8, "not a readable JPEG", id="not-jpeg"),
    pytest.param(np.zeros((4, 4), np.uint8), "RGB", 4, 4, "one-dimensional", id="two-dimensional"),
]


@pytest.mark.parametrize("data, pixel_format, width, height, message", BAD_FRAMES)
def test_refuses_data_that_is_not_the_frame_it_is_told(data, pixel_format, width, height, message):
    with pytest.raises(ValueError, match=message):
        quorvex.to_rgb(data, pixel_format, width, height)


def test_refuses_a_jpeg_of_another_size_a_truncated_and_a_damaged_one_and_reads_the_next():
    data = jpeg_bytes(64, 32)
    with pytest.raises(ValueError, match="MJPG frame is 64x32, not the format's 64x64"):
        quorvex.to_rgb(data, "MJPG", 64, 64)
    with pytest.raises(ValueError, match="could not be decoded"):
        quorvex.to_rgb(data[: len(data) * 3 // 4], "MJPG", 64, 32)
    with pytest.raises(ValueError, match="not a readable JPEG: .*two SOI markers"):
        quorvex.to_rgb(b"\xff\xd8 damaged" * 8, "MJPG", 64, 32)
    assert quorvex.to_rgb(data, "MJPG", 64, 32)[5, 60].tolist() == pytest.approx([200, 30, 60], abs=3)


def test_takes_bytes_as_well_as_arrays():
    data = bytes([1, 2, 3, 4, 5, 6])
    assert quorvex.to_rgb(data, "BGR", 2, 1).tolist() == [[[3, 2, 1], [6, 5, 4]]]
    assert quorvex.to_bgr(bytearray(data), "RGB", 2, 1).tolist() == [[[3, 2, 1], [6, 5, 4]]]


def test_conversion_lets_other_threads_run():
    # Big frames converted on this thread while another one steps (a short sleep each). Holding
    # the lock through a conversion lets that thread step only around the calls; released, it
    # steps all through them. Counted in each conversion's middle half, away from its edges, so
    # that a busy machine slows both sides alike instead of tripping a limit on any one gap.
    width, height = 7680, 4320
    data = np.random.default_rng(1).integers(0, 256, width * height * 2, dtype=np.uint8)
    stop, steps, conversions = threading.Event(), [], []

    def step():
        while not stop.is_set():
            steps.append(time.perf_counter())
            time.sleep(0.001)

    stepper = threading.Thread(target=step)
    stepper.start()
    try:
        for _ in range(8):
            begun = time.perf_counter()
            quorvex.to_rgb(data, "UYVY", width, height)
            conversions.append((begun, time.perf_counter()))
    finally:
        stop.set()
        stepper.join()
    inside = sum(begun + (ended - begun) / 4 < t < ended - (ended - begun) / 4
                 for begun, ended in conversions for t in steps)
    assert inside >= len(conversions), (inside, [round(ended - begun, 4) for begun, ended in conversions])


def bt601(y, u, v, order):
    """The conversion's integer arithmetic (BT.601, limited range, 6 fractional bits, 16-bit
    saturation as the vector units do it), pixel by pixel in numpy."""
    y, u, v = y.astype(np.int64), u.astype(np.int64) - 128, v.astype(np.int64) - 128
    luma = ((y * 0x0101 * 18997) >> 16) - 1160
    saturate = lambda value: np.clip(value, -32768, 32767) >> 6  # noqa: E731
    b, g, r = saturate(luma + u * 128), saturate(luma - u * 25 - v * 52), saturate(luma + v * 102)
    return np.clip(np.stack([r, g, b] if order == "rgb" else [b, g, r], -1), 0, 255).astype(np.uint8)


def planes(data, pixel_format, width, height):
    """Y, U, V of every pixel."""
    if pixel_format == "NV12":
        chroma = data[width * height :].reshape(height // 2, width // 2, 2).repeat(2, 0).repeat(2, 1)
        return data[: width * height].reshape(height, width), chroma[..., 0], chroma[..., 1]
    quads = data.reshape(height, width // 2, 4)
    if pixel_format == "UYVY":
        quads = quads[..., [1, 0, 3, 2]]
    return quads[..., [0, 2]].reshape(height, width), quads[..., 1].repeat(2, 1), quads[..., 3].repeat(2, 1)


# Widths that end on and off the vector width, heights that end on and off a band; the larger
# frames are shared out over the worker threads, the smaller converted on the calling thread.
SIZES = [(2, 2), (18, 4), (34, 6), (640, 480), (1282, 722), (1922, 66), (1920, 1080)]


@pytest.fixture(params=["vector", "libyuv"])
def kernels(request):
    # libyuv alone is what a CPU without the vector kernels (or another architecture) runs.
    from quorvex import _pixels

    previous = _pixels._use_vector_kernels(request.param == "vector")
    yield request.param
    _pixels._use_vector_kernels(previous)


@pytest.mark.parametrize("pixel_format", ["YUY2", "UYVY", "NV12"])
@pytest.mark.parametrize("width, height", SIZES, ids=[f"{w}x{h}" for w, h in SIZES])
def test_yuv_output_is_exactly_the_fixed_point_arithmetic(kernels, pixel_format, width, height):
    # Random bytes reach every corner: saturation, clamping at 0 and 255, every chroma pair.
    length = width * height * 3 // 2 if pixel_format == "NV12" else width * height * 2
    data = np.random.default_rng(width * height).integers(0, 256, length, dtype=np.uint8)
    expected = bt601(*planes(data, pixel_format, width, height), "rgb")
    np.testing.assert_array_equal(quorvex.to_rgb(data, pixel_format, width, height), expected)
    np.testing.assert_array_equal(quorvex.to_bgr(data, pixel_format, width, height), expected[..., ::-1])


def test_threads_converting_at_once_each_get_their_own_frame():
    # The worker threads are shared: frames converted at the same time from several threads
    # must neither mix nor lose bands.
    width, height = 1280, 720
    frames = [np.random.default_rng(seed).integers(0, 256, width * height * 2, dtype=np.uint8) for seed in range(4)]
    expected = [bt601(*planes(frame, "YUY2", width, height), "rgb") for frame in frames]
    failures = []

    def convert(index):
        for _ in range(10):
            if not np.array_equal(quorvex.to_rgb(frames[index], "YUY2", width, height), expected[index]):
                failures.append(index)

    threads = [threading.Thread(target=convert, args=(index,)) for index in range(len(frames))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
