"""The viewer in a real browser: Debian's Chromium, headless, driven by Selenium, against a
real server. Screenshots go to out/."""

import os
import time

import numpy as np
import pytest
from PIL import Image

from browser_support import DOCS, OUT, element_picture, open_browser, panel, require_browser, start_sensor_upgrade
from playback_support import write
from viewer_support import wait_until

require_browser()
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support.ui import Select  # noqa: E402

import pyQuorvexSDK as qx  # noqa: E402
from firmware_image import TARGET_SENSOR, firmware_image  # noqa: E402


@pytest.fixture
def browser():
    with open_browser() as driver:
        yield driver


def test_page_shows_live_pictures_that_follow_the_controls(served_page, browser):
    url, app = served_page
    OUT.mkdir(exist_ok=True)
    browser.get(url)
    first = panel(browser, 0)
    live = first.find_element(By.CSS_SELECTOR, ".live")
    assert wait_until(lambda: browser.execute_script("return arguments[0].naturalWidth", live) == 640, timeout=20)
    assert wait_until(lambda: "fps" in first.find_element(By.CSS_SELECTOR, ".fps").text
                      and not first.find_element(By.CSS_SELECTOR, ".fps").text.startswith("0.0"), timeout=10)

    # The marker walks along its row: two pictures a moment apart differ there and only there
    # (the moment is longer on a busy machine: waited for, not slept).
    before = element_picture(live)
    height = before.shape[0]
    marker_rows = slice(height * 5 // 16, height * 7 // 16)
    bar_rows = slice(height // 16, height * 4 // 16)
    pictures = []
    assert wait_until(lambda: pictures.append(element_picture(live))
                      or np.abs(pictures[-1][marker_rows] - before[marker_rows]).max() > 60, timeout=10)
    after = pictures[-1]
    assert np.abs(after[bar_rows] - before[bar_rows]).max() < 40
    Image.fromarray(before.astype(np.uint8)).save(OUT / "viewer-picture-1.png")
    Image.fromarray(after.astype(np.uint8)).save(OUT / "viewer-picture-2.png")

    # Moving the brightness slider to its end brightens the picture; its label follows.
    slider = first.find_element(By.CSS_SELECTOR, '.control[data-name="brightness"] input')
    browser.execute_script("arguments[0].scrollIntoView({block: 'center'})", slider)
    dark = element_picture(live)[bar_rows].mean()
    slider.send_keys(Keys.END)
    value = first.find_element(By.CSS_SELECTOR, '.control[data-name="brightness"] output')
    assert wait_until(lambda: value.text == "64", timeout=5)
    assert wait_until(lambda: element_picture(live)[bar_rows].mean() > dark + 25, timeout=10)
    Image.fromarray(element_picture(live).astype(np.uint8)).save(OUT / "viewer-picture-brighter.png")

    # Both cameras side by side, the second one's IMU-less panel and the first one's IMU plots.
    second = panel(browser, 1)
    assert wait_until(lambda: browser.execute_script(
        "return arguments[0].naturalWidth", second.find_element(By.CSS_SELECTOR, ".live")) > 0, timeout=20)
    assert first.location["y"] == second.location["y"] and first.location["x"] < second.location["x"]
    assert not second.find_element(By.CSS_SELECTOR, ".imu-box").is_displayed()
    assert first.find_element(By.CSS_SELECTOR, ".imu-box").is_displayed()
    # A recording made from the page: the panel offers the file, the folder's list shows it.
    record = first.find_element(By.CSS_SELECTOR, ".record")
    record.click()
    state = first.find_element(By.CSS_SELECTOR, ".record-state")
    assert wait_until(lambda: record.text == "Stop recording" and " 0 frames" not in state.text, timeout=10)
    record.click()
    assert wait_until(lambda: record.text == "Record" and state.text.startswith("camera0-"), timeout=10)
    assert first.find_element(By.CSS_SELECTOR, ".record-download").is_displayed()
    listed = browser.find_element(By.ID, "recording-list")
    assert wait_until(lambda: state.text.split(":")[0] in listed.text, timeout=10)

    browser.execute_script("window.scrollTo(0, 0)")
    time.sleep(2)  # a histogram and a few IMU samples
    browser.save_screenshot(str(OUT / "viewer.png"))
    if os.environ.get("QX_DOCS_SCREENSHOT"):  # the README's picture: QX_DOCS_SCREENSHOT=1 pytest ...
        browser.save_screenshot(str(DOCS / "viewer.png"))
    assert browser.find_elements(By.CSS_SELECTOR, ".error:not([hidden])") == []


def test_hiding_a_camera_lets_go_of_its_capture(served_page, browser):
    url, app = served_page
    browser.get(url)
    live = panel(browser, 1).find_element(By.CSS_SELECTOR, ".live")
    assert wait_until(lambda: browser.execute_script("return arguments[0].naturalWidth", live) > 0, timeout=20)
    capture = {c.index: c.capture for c in app.state.viewer.opened()}[1]
    assert capture.clients == 1
    panel(browser, 1).find_element(By.CSS_SELECTOR, ".hide").click()
    assert wait_until(lambda: capture.clients == 0 and not capture.running, timeout=10)
    assert len(browser.find_elements(By.CSS_SELECTOR, ".panel")) == 1


def test_an_unplugged_camera_is_shown_disconnected_until_it_is_back(served_page, browser, emu):
    url, _ = served_page
    browser.get(url)
    second = panel(browser, 1)
    live = second.find_element(By.CSS_SELECTOR, ".live")
    assert wait_until(lambda: browser.execute_script("return arguments[0].naturalWidth", live) > 0, timeout=20)
    badge = second.find_element(By.CSS_SELECTOR, ".unplugged")
    assert not badge.is_displayed()
    emu.unplug("/dev/video2")
    assert wait_until(lambda: badge.is_displayed() and "disconnected" in second.get_attribute("class"), timeout=20)
    emu.plug("/dev/video2")
    assert wait_until(lambda: not badge.is_displayed(), timeout=20)
    # Pictures come again, without the page being loaded anew.
    before = element_picture(live)
    assert wait_until(lambda: np.abs(element_picture(live) - before).max() > 60, timeout=20)


@pytest.mark.parametrize("image_version, expected", [
    ("1.0.12", "sensor firmware is now 1.0.12"),
    (None, "Upgrade failed: QxUpgradeSensorFW refused the image: QX_UPGRADE_INVALID_FIRMWARE"),
])
def test_firmware_upgrade_from_the_page(served_page, browser, tmp_path, image_version, expected):
    url, app = served_page
    path = tmp_path / "firmware.img"
    if image_version is None:
        path.write_bytes(b"a text file, not an image")
    else:
        path.write_bytes(firmware_image(TARGET_SENSOR, qx.QXCAM_PRODUCT_TYPE_ZENA, image_version))
    browser.get(url)
    first = panel(browser, 0)
    start_sensor_upgrade(first, path)
    message = first.find_element(By.CSS_SELECTOR, ".firmware-message")
    assert wait_until(lambda: message.text == expected, timeout=20), message.text
    progress = browser.execute_script("return arguments[0].value", first.find_element(By.CSS_SELECTOR, ".firmware-progress"))
    assert progress == (100 if image_version else 0)
    if image_version:
        versions = first.find_element(By.CSS_SELECTOR, ".versions").text
        assert image_version in versions
        assert Select(first.find_element(By.CSS_SELECTOR, ".firmware-target")).first_selected_option.text == "Sensor firmware"
        browser.execute_script("arguments[0].scrollIntoView({block: 'center'})", message)
        browser.save_screenshot(str(OUT / "viewer-firmware.png"))


def test_a_playback_panel_pauses_steps_and_seeks(served_page, browser):
    url, app = served_page
    folder = app.state.viewer.folder.path
    folder.mkdir(parents=True)
    write(folder / "six.qxrec", [k * 0.1 for k in range(6)])
    browser.get(url)
    listed = browser.find_element(By.ID, "recording-list")
    assert wait_until(lambda: "six.qxrec" in listed.text, timeout=10)
    listed.find_element(By.XPATH, ".//button[text()='Play']").click()
    assert wait_until(lambda: browser.find_elements(By.CSS_SELECTOR, ".panel.playback"), timeout=10)
    played = browser.find_element(By.CSS_SELECTOR, ".panel.playback")
    browser.execute_script("arguments[0].scrollIntoView({block: 'center'})", played)
    meta = played.find_element(By.CSS_SELECTOR, ".frame-meta")
    button = played.find_element(By.CSS_SELECTOR, ".play-pause")
    assert wait_until(lambda: meta.text.startswith("frame ") and button.text == "Pause", timeout=10)
    played.find_element(By.CSS_SELECTOR, ".step").click()
    assert wait_until(lambda: button.text == "Play" and meta.text.endswith("paused"), timeout=10)
    seek = played.find_element(By.CSS_SELECTOR, ".seek")
    browser.execute_script("arguments[0].value = 4; arguments[0].dispatchEvent(new Event('change'))", seek)
    assert wait_until(lambda: meta.text.startswith("frame 5/6 · 0.400 s"), timeout=10), meta.text
    assert app.state.viewer.playback(0).current.position == 4
    OUT.mkdir(exist_ok=True)
    browser.save_screenshot(str(OUT / "viewer-playback.png"))
    button.click()
    assert wait_until(lambda: button.text == "Pause" and not meta.text.endswith("paused"), timeout=10)
    assert browser.find_elements(By.CSS_SELECTOR, ".error:not([hidden])") == []
