"""The page's layout from a phone to a 4K screen, and its charts drawn at the device's pixel ratio,
in Debian's Chromium (headless) against a real server."""

import pytest

from browser_support import OUT, open_browser, panel, require_browser, set_viewport
from viewer_support import wait_until

require_browser()
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import Select  # noqa: E402

# Every canvas shown, with its CSS and backing-store sizes.
CANVASES = """return [...document.querySelectorAll("canvas")].filter((c) => c.getClientRects().length)
  .map((c) => ({cls: c.className, cssWidth: c.clientWidth, cssHeight: c.clientHeight, width: c.width, height: c.height}));"""


def _drawn_at(ratio, canvases):
    return all((c["width"], c["height"]) == (round(c["cssWidth"] * ratio), round(c["cssHeight"] * ratio))
               for c in canvases)


@pytest.mark.parametrize("width, scale", [(400, 2), (3840, 1)])
def test_page_fits_the_window_with_charts_at_the_pixel_ratio(served_page, width, scale):
    url, app = served_page
    with open_browser(width, 1000, scale) as browser:
        browser.get(url)
        # The empty recordings folder says so, naming the folder.
        listed = browser.find_element(By.ID, "recording-list")
        folder = str(app.state.viewer.folder.path)
        assert wait_until(lambda: listed.text == f"No recordings yet in {folder}", timeout=20)
        panels = [panel(browser, index) for index in (0, 1)]
        for shown in panels:
            assert wait_until(lambda: shown.find_elements(By.CSS_SELECTOR, ".control"), timeout=20)
        browser.execute_script("document.querySelectorAll('details').forEach((d) => { d.open = true; })")
        angles = panels[0].find_element(By.CSS_SELECTOR, ".imu-angles")
        assert wait_until(lambda: "roll" in angles.text, timeout=20)

        canvases = []
        assert wait_until(lambda: canvases.append(browser.execute_script(CANVASES))
                          or _drawn_at(scale, canvases[-1]), timeout=20), canvases[-1]
        # Two histograms, and camera 0's acceleration, angular rate and orientation.
        charts = [c for c in canvases[-1] if "chart" in c["cls"].split()]
        assert sorted(c["cls"] for c in charts) == (["histogram chart"] * 2
                                                    + ["imu-acc chart", "imu-gyr chart", "imu-orientation chart"])
        assert all(c["cssWidth"] > 100 for c in charts)
        OUT.mkdir(exist_ok=True)
        browser.save_screenshot(str(OUT / f"viewer-layout-{width}.png"))

        scroll, client = browser.execute_script(
            "return [document.documentElement.scrollWidth, document.documentElement.clientWidth]")
        assert scroll <= client == width
        # A wide screen puts panels side by side at a readable size instead of stretching them.
        boxes = [shown.rect for shown in panels]
        if width > 1200:
            assert boxes[0]["y"] == boxes[1]["y"] and all(box["width"] < 1200 for box in boxes)
            # At Fit, the 640 px picture is enlarged to its panel's width.
            picture = panels[0].find_element(By.CSS_SELECTOR, ".live").rect["width"]
            assert 640 < picture <= boxes[0]["width"] and picture > boxes[0]["width"] * 0.9, (picture, boxes[0])
            # + and − go by the scale shown, Fit (over 1× here) between 2× and 1×.
            zoom, seen = Select(panels[0].find_element(By.CSS_SELECTOR, ".zoom")), []
            for button in (".zoom-in", ".zoom-out", ".zoom-out", ".zoom-out"):
                panels[0].find_element(By.CSS_SELECTOR, button).click()
                seen.append(zoom.first_selected_option.get_attribute("value"))
            assert seen == ["2", "0", "1", "1"]

        # The narrowest phone: still no sideways scrolling, the charts resized with the window.
        set_viewport(browser, 360, 1000, scale)
        fits = "return document.documentElement.scrollWidth <= document.documentElement.clientWidth"
        assert wait_until(lambda: browser.execute_script(fits) and _drawn_at(scale, browser.execute_script(CANVASES)),
                          timeout=20)
        assert browser.execute_script("return document.documentElement.clientWidth") <= 360
