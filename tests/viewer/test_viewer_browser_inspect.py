"""The picture area in a real browser: the pixel inspector, zoom, fullscreen and the frame's
metadata overlay, against a real server."""

import base64
import math

import numpy as np
import pytest

from browser_support import open_browser, panel, require_browser
from playback_support import HEIGHT as REC_HEIGHT, WIDTH as REC_WIDTH, write
from viewer_support import wait_until

require_browser()
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.actions.wheel_input import ScrollOrigin  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support.ui import Select  # noqa: E402

from quorvex import to_rgb  # noqa: E402

WIDTH, HEIGHT = 640, 480  # camera 0's first format, YUY2


def css(element, selector):
    return element.find_element(By.CSS_SELECTOR, selector)


def shown_width(driver, element):
    """The frame width the panel's picture shows, once it shows one."""
    live = css(element, ".live")
    assert wait_until(lambda: driver.execute_script("return arguments[0].naturalWidth", live), timeout=20)
    driver.execute_script("arguments[0].scrollIntoView()", css(element, ".picture-box"))
    return driver.execute_script("return arguments[0].naturalWidth", live)


@pytest.fixture
def page(served_page):
    url, app = served_page
    with open_browser(1200, 1000) as driver:
        driver.get(url)
        first = panel(driver, 0)
        assert shown_width(driver, first) == WIDTH
        yield driver, first, app


def picture_rect(driver, first):
    """Where the frame is drawn, in CSS pixels of the window."""
    return driver.execute_script("return pictureRect(arguments[0].querySelector('.live'))", first)


def point_at(driver, first, x, y, width=WIDTH):
    """Moves the real pointer over frame pixel (x, y) (near its middle, on a whole CSS pixel)
    and returns the pixel the page should read there."""
    rect = picture_rect(driver, first)
    scale = rect["width"] / width
    client_x = math.floor(rect["left"] + (x + 0.5) * scale)
    client_y = math.floor(rect["top"] + (y + 0.5) * scale)
    actions = ActionChains(driver)
    actions.w3c_actions.pointer_action.move_to_location(client_x, client_y)
    actions.perform()
    return math.floor((client_x - rect["left"]) / scale), math.floor((client_y - rect["top"]) / scale)


def reading(first):
    readout = css(first, ".pixel-readout")
    x, y, rgb = (readout.get_attribute(f"data-{key}") for key in ("x", "y", "rgb"))
    return (int(x), int(y), tuple(map(int, rgb.split(",")))) if x and rgb else None


def test_the_inspector_reads_the_frame_under_the_pointer_at_every_zoom(page):
    driver, first, app = page
    # The overlay describes the frames as they come.
    overlay = css(first, ".frame-overlay")
    assert not overlay.is_displayed()
    css(first, ".overlay-toggle").click()
    assert wait_until(lambda: "640×480 YUY2 · 614400 bytes" in overlay.text, timeout=10)
    assert "sequence" in overlay.text and "device" in overlay.text and "host 20" in overlay.text
    index = int(overlay.text.split()[1])
    assert wait_until(lambda: int(overlay.text.split()[1]) > index, timeout=10)

    css(first, ".inspect").click()
    readout = css(first, ".pixel-readout")
    assert wait_until(lambda: "Point at the picture" in readout.text, timeout=20)
    # Bars and the grey ramp, away from the marker and the frame counter, are alike in every
    # frame: a frame read now tells their values.
    rgb = to_rgb(app.state.viewer.camera(0).capture.latest.raw, "YUY2", WIDTH, HEIGHT)
    zoom = Select(css(first, ".zoom"))
    view = css(first, ".picture")
    widths = []
    for level, (x, y) in [("0", (120, 60)), ("1", (431, 200)), ("4", (77, 420)), ("16", (603, 455))]:
        zoom.select_by_value(level)
        if level != "0":  # the point scrolled into the middle of the view
            driver.execute_script("arguments[0].scrollLeft = arguments[1] - arguments[0].clientWidth / 2;"
                                  "arguments[0].scrollTop = arguments[2] - arguments[0].clientHeight / 2",
                                  view, x * int(level), y * int(level))
        widths.append(picture_rect(driver, first)["width"])
        expected = point_at(driver, first, x, y)
        assert wait_until(lambda: reading(first) and reading(first)[:2] == expected, timeout=10), (level, readout.text)
        assert reading(first)[2] == tuple(int(v) for v in rgb[expected[1], expected[0]]), (level, readout.text)
    # The picture is drawn at the chosen size, sharp when magnified.
    assert widths[0] < WIDTH and widths[1:] == [WIDTH, 4 * WIDTH, 16 * WIDTH]
    assert driver.execute_script(
        "return getComputedStyle(arguments[0].querySelector('.live')).imageRendering", first) == "pixelated"

    # A click freezes the reading; the pointer moving elsewhere leaves it as it was.
    zoom.select_by_value("0")
    frozen = point_at(driver, first, 120, 60)
    assert wait_until(lambda: reading(first) and reading(first)[:2] == frozen, timeout=10)
    ActionChains(driver).click().perform()
    assert wait_until(lambda: "frozen" in readout.text, timeout=5)
    point_at(driver, first, 520, 60)
    assert reading(first) == (*frozen, tuple(int(v) for v in rgb[frozen[1], frozen[0]])) and "frozen" in readout.text
    # The arrow keys move it (by ten with Shift), and a marker sits over the pixel read.
    ActionChains(driver).send_keys(Keys.ARROW_RIGHT * 3).key_down(Keys.SHIFT).send_keys(Keys.ARROW_DOWN) \
        .key_up(Keys.SHIFT).perform()
    moved = (frozen[0] + 3, frozen[1] + 10)
    assert wait_until(lambda: reading(first)[:2] == moved, timeout=5), readout.text
    assert reading(first)[2] == tuple(int(v) for v in rgb[moved[1], moved[0]])
    marker = css(first, ".pixel-marker")
    assert marker.is_displayed()
    centre = driver.execute_script(
        "const r = arguments[0].getBoundingClientRect(); return framePoint(arguments[1], r.left + r.width / 2,"
        " r.top + r.height / 2, {width: 640, height: 480})", marker, css(first, ".live"))
    assert (centre["x"], centre["y"]) == moved


@pytest.mark.parametrize("pixel_format, width, height, fps, tolerance", [
    ("YUY2", 640, 480, 60, 0), ("UYVY", 1280, 720, 30, 0), ("NV12", 1920, 1080, 30, 0),
    ("BGRA", 640, 480, 30, 0), ("RGB16", 640, 480, 30, 0), ("BGR", 640, 480, 30, 0), ("MJPG", 640, 480, 30, 8),
])
def test_the_inspectors_rgb_is_the_packages(page, pixel_format, width, height, fps, tolerance):
    """Every pixel of a snapshot as the page reads it against quorvex.to_rgb of the same bytes,
    with the hue turned so that the YUV values are not only the pattern's few."""
    driver, first, app = page
    camera = app.state.viewer.camera(0)
    camera.change_control("hue", 37)
    camera.choose(camera.find_format(pixel_format, width, height, fps))
    answer = driver.execute_async_script("""
        const done = arguments[arguments.length - 1];
        const view = { base: "/api/cameras/0" };
        takeSnapshot(view).then((snapshot) => {
          const rgb = new Uint8Array(snapshot.width * snapshot.height * 3);
          for (let y = 0; y < snapshot.height; y += 1) {
            for (let x = 0; x < snapshot.width; x += 1) rgb.set(pixelValue(snapshot, x, y).rgb, (y * snapshot.width + x) * 3);
          }
          const text = (bytes) => {
            let s = "";
            for (let i = 0; i < bytes.length; i += 8192) s += String.fromCharCode(...bytes.subarray(i, i + 8192));
            return btoa(s);
          };
          done({ format: snapshot.format, raw: text(snapshot.bytes), rgb: text(rgb) });
        }).catch((error) => done({ error: String(error) }));
    """)
    assert "error" not in answer, answer
    assert answer["format"] == pixel_format
    raw = np.frombuffer(base64.b64decode(answer["raw"]), np.uint8)
    page_rgb = np.frombuffer(base64.b64decode(answer["rgb"]), np.uint8).reshape(height, width, 3).astype(int)
    package_rgb = to_rgb(raw, pixel_format, width, height).astype(int)
    difference = np.abs(page_rgb - package_rgb)
    assert difference.max() <= tolerance, np.argwhere(difference > tolerance)[:5]
    # The hue made colours the plain pattern lacks.
    assert len(np.unique(package_rgb.reshape(-1, 3), axis=0)) > 20


def test_fullscreen_fills_the_window_keeping_the_aspect_and_escape_leaves(page):
    driver, first, _ = page
    css(first, ".fullscreen").click()
    box = css(first, ".picture-box")
    assert wait_until(lambda: driver.execute_script("return document.fullscreenElement") == box, timeout=10)
    size = driver.execute_script("const r = document.fullscreenElement.getBoundingClientRect();"
                                 "return [r.width, r.height, innerWidth, innerHeight]")
    assert size[:2] == size[2:]
    # The picture as large as the space below the tools allows, in the frame's proportions.
    assert wait_until(lambda: picture_rect(driver, first)["width"] > WIDTH, timeout=5)
    rect = picture_rect(driver, first)
    stage = driver.execute_script("const r = arguments[0].querySelector('.picture').getBoundingClientRect();"
                                  "return [r.width, r.height]", first)
    assert abs(rect["width"] / rect["height"] - WIDTH / HEIGHT) < 0.01
    assert abs(rect["width"] - stage[0]) < 1 or abs(rect["height"] - stage[1]) < 1
    assert css(first, ".fullscreen").text == "Exit fullscreen"
    # There the wheel zooms, keeping the pixel under the pointer where it was.
    x, y = int(rect["left"] + rect["width"] * 0.3), int(rect["top"] + rect["height"] * 0.6)
    under = "return framePoint(arguments[0].querySelector('.live'), arguments[1], arguments[2], {width: 640, height: 480})"
    before = driver.execute_script(under, first, x, y)
    ActionChains(driver).scroll_from_origin(ScrollOrigin.from_viewport(x, y), 0, -100).perform()
    zoom = Select(css(first, ".zoom"))
    assert wait_until(lambda: zoom.first_selected_option.text != "Fit", timeout=5)
    assert picture_rect(driver, first)["width"] > rect["width"]
    assert driver.execute_script(under, first, x, y) == before
    zoom.select_by_value("0")
    ActionChains(driver).send_keys(Keys.ESCAPE).perform()
    assert wait_until(lambda: driver.execute_script("return document.fullscreenElement") is None, timeout=10)
    assert picture_rect(driver, first)["width"] < rect["width"]  # back in its panel


def test_a_playback_panel_inspects_and_describes_the_frame_it_shows(served_page, tmp_path):
    url, app = served_page
    (tmp_path / "recordings").mkdir()
    write(tmp_path / "recordings" / "ten.qxrec", [k * 0.1 for k in range(10)])
    with open_browser(1200, 1000) as driver:
        driver.get(url)
        assert wait_until(lambda: driver.find_elements(By.CSS_SELECTOR, "#recording-list button"), timeout=20)
        css(driver, "#recording-list button").click()
        assert wait_until(lambda: driver.find_elements(By.CSS_SELECTOR, ".panel.playback"), timeout=20)
        shown = css(driver, ".panel.playback")
        assert shown_width(driver, shown) == REC_WIDTH
        for button in (".play-pause", ".overlay-toggle"):
            css(shown, button).click()
        overlay = css(shown, ".frame-overlay")
        assert wait_until(lambda: "paused" in css(shown, ".frame-meta").text and overlay.text.startswith("frame "),
                          timeout=10)
        # A frame the playback had read as the pause came is still shown: the overlay catches up.
        playback = app.state.viewer.playback(0)
        assert wait_until(lambda: overlay.text.split()[1] == str(playback.current.position), timeout=10)
        position = playback.current.position
        assert f"{REC_WIDTH}×{REC_HEIGHT} RGB · {REC_WIDTH * REC_HEIGHT * 3} bytes" in overlay.text
        css(shown, ".inspect").click()
        assert wait_until(lambda: "Point at the picture" in css(shown, ".pixel-readout").text, timeout=10)
        point_at(driver, shown, REC_WIDTH // 2, REC_HEIGHT // 2, REC_WIDTH)
        # Every byte of recorded frame k is k.
        assert wait_until(lambda: reading(shown) is not None and reading(shown)[2] == (position,) * 3, timeout=10)
        assert f"R {position} G {position} B {position}" in css(shown, ".pixel-readout").text
