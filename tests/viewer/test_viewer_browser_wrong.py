"""The viewer in a real browser: the progress of an upgrade, what the page receives, and the
size of a recording in progress."""

import re

import pytest

from browser_support import open_browser, panel, require_browser, start_sensor_upgrade
from viewer_support import late_imu_sample, wait_until

require_browser()
from selenium.webdriver.common.by import By  # noqa: E402

import pyQuorvexSDK as qx  # noqa: E402
from firmware_image import TARGET_SENSOR, firmware_image  # noqa: E402

# Keeps every value the page gives the progress bar, in order, in window.progressSeen.
WATCH_PROGRESS = """
const bar = arguments[0];
const value = Object.getOwnPropertyDescriptor(HTMLProgressElement.prototype, "value");
window.progressSeen = [];
Object.defineProperty(bar, "value", {
  get() { return value.get.call(this); },
  set(v) { value.set.call(this, v); window.progressSeen.push(value.get.call(this)); },
});
"""


@pytest.fixture
def browser():
    with open_browser() as driver:
        yield driver


def test_the_progress_bar_rises_through_an_upgrade_of_a_camera_with_an_imu(emu, served_page, browser, tmp_path,
                                                                          monkeypatch):
    assert emu.configure(emu.builtin_configuration() + "\nupgrade_time_ms: 3000\n")
    url, app = served_page
    path = tmp_path / "firmware.img"
    path.write_bytes(firmware_image(TARGET_SENSOR, qx.QXCAM_PRODUCT_TYPE_ZENA, "1.0.12"))
    browser.get(url)
    first = panel(browser, 0)
    browser.execute_script(WATCH_PROGRESS, first.find_element(By.CSS_SELECTOR, ".firmware-progress"))

    def sample_in_flight():  # the page's IMU sample, begun before the upgrade, reaches the camera after it
        assert late_imu_sample(monkeypatch).wait(20)

    start_sensor_upgrade(first, path, before_flash=sample_in_flight)
    imu = first.find_element(By.CSS_SELECTOR, ".imu-message")
    assert wait_until(lambda: imu.text.startswith("No IMU reading: "), timeout=20)  # said while upgrading
    message = first.find_element(By.CSS_SELECTOR, ".firmware-message")
    assert wait_until(lambda: message.text == "sensor firmware is now 1.0.12", timeout=60), message.text
    assert wait_until(lambda: not imu.is_displayed(), timeout=20), imu.text  # samples come again
    seen = browser.execute_script("return window.progressSeen")
    between = [value for value in seen if 0 < value < 100]
    assert len(set(between)) >= 3 and between == sorted(between), seen


def test_the_panel_tells_what_the_page_receives_and_a_recording_grows_in_the_list(served_page, browser):
    url, app = served_page
    browser.get(url)
    first = panel(browser, 0)
    fps = first.find_element(By.CSS_SELECTOR, ".fps")
    assert wait_until(lambda: re.fullmatch(r"[1-9]\d*\.\d fps \(camera \d+\.\d\)", fps.text), timeout=20), fps.text
    assert re.fullmatch(r"\d+ dropped · \d+ skipped", first.find_element(By.CSS_SELECTOR, ".dropped").text)

    first.find_element(By.CSS_SELECTOR, ".record").click()
    listed = browser.find_element(By.ID, "recording-list")

    def megabytes():
        found = re.search(r"\(([\d.]+) MB\) · recording", listed.text)
        return float(found.group(1)) if found else 0.0

    # The list's entry grows while the camera records, the list not loaded anew.
    assert wait_until(lambda: megabytes() >= 1.0, timeout=20), listed.text
    first.find_element(By.CSS_SELECTOR, ".record").click()
    assert wait_until(lambda: "· recording" not in listed.text and "MB)" in listed.text, timeout=20), listed.text
