"""Every part of the page in a real browser, in use, one picture each: under out/, and with
QX_DOCS_SCREENSHOT=1 also under docs/, where the README shows them."""

import os

from browser_support import DOCS, OUT, open_browser, panel, require_browser
from viewer_support import wait_until

require_browser()
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import Select  # noqa: E402


def save(element, name):
    OUT.mkdir(exist_ok=True)
    element.screenshot(str(OUT / name))
    if os.environ.get("QX_DOCS_SCREENSHOT"):
        element.screenshot(str(DOCS / name))


def opened(driver, element, selector):
    """The panel's box `selector`, opened and scrolled into view."""
    box = element.find_element(By.CSS_SELECTOR, selector)
    driver.execute_script("arguments[0].open = true; arguments[0].scrollIntoView({block: 'start'})", box)
    return box


def test_a_picture_of_every_part_of_the_page(served_page, tmp_path):
    url, app = served_page
    with open_browser(1400, 1800) as driver:
        driver.get(url)
        first = panel(driver, 0)
        live = first.find_element(By.CSS_SELECTOR, ".live")
        assert wait_until(lambda: driver.execute_script("return arguments[0].naturalWidth", live) == 640, timeout=20)

        # A short recording, listed and played in a panel of its own.
        record = first.find_element(By.CSS_SELECTOR, ".record")
        record.click()
        assert wait_until(lambda: record.text == "Stop recording", timeout=10)
        state = first.find_element(By.CSS_SELECTOR, ".record-state")
        assert wait_until(lambda: "● " in state.text and state.text.split()[1] != "0", timeout=10)
        record.click()
        listed = driver.find_element(By.ID, "recording-list")
        assert wait_until(lambda: listed.find_elements(By.XPATH, ".//button[text()='Play']"), timeout=10)
        save(driver.find_element(By.ID, "recordings"), "viewer-recordings.png")
        listed.find_element(By.XPATH, ".//button[text()='Play']").click()
        assert wait_until(lambda: driver.find_elements(By.CSS_SELECTOR, ".panel.playback .frame-meta")
                          and driver.find_element(By.CSS_SELECTOR, ".panel.playback .frame-meta").text, timeout=10)

        # The picture with its metadata overlay, zoomed, the inspector reading a pixel.
        box = first.find_element(By.CSS_SELECTOR, ".picture-box")
        driver.execute_script("arguments[0].scrollIntoView({block: 'start'})", box)
        first.find_element(By.CSS_SELECTOR, ".overlay-toggle").click()
        Select(first.find_element(By.CSS_SELECTOR, ".zoom")).select_by_visible_text("2×")
        first.find_element(By.CSS_SELECTOR, ".inspect").click()
        readout = first.find_element(By.CSS_SELECTOR, ".pixel-readout")
        assert wait_until(lambda: "Point at the picture" in readout.text, timeout=10), readout.text
        ActionChains(driver).move_to_element_with_offset(live, 0, 0).click().perform()  # frozen, and marked
        assert wait_until(lambda: "frozen" in readout.text, timeout=10), readout.text
        assert wait_until(lambda: first.find_element(By.CSS_SELECTOR, ".frame-overlay").text, timeout=10)
        save(box, "viewer-picture.png")

        for selector, name in ((".histogram-box", "viewer-histogram.png"), (".controls-box", "viewer-controls.png"),
                               (".settings-box", "viewer-settings.png"), (".profile-box", "viewer-profile.png")):
            save(opened(driver, first, selector), name)
        imu = opened(driver, first, ".imu-box")
        assert wait_until(lambda: "roll" in imu.find_element(By.CSS_SELECTOR, ".imu-angles").text, timeout=10)
        save(imu, "viewer-imu.png")
        firmware = opened(driver, first, ".firmware-box")
        assert wait_until(lambda: firmware.find_element(By.CSS_SELECTOR, ".firmware-upgrade").is_enabled(), timeout=10)
        image = tmp_path / "sensor-1.0.12.img"
        image.write_bytes(b"\0" * 4096)
        firmware.find_element(By.CSS_SELECTOR, ".firmware-file").send_keys(str(image))
        save(firmware, "viewer-firmware.png")
        firmware.find_element(By.CSS_SELECTOR, ".firmware-upgrade").click()
        dialog = first.find_element(By.CSS_SELECTOR, ".flash-confirm")
        assert wait_until(dialog.is_displayed, timeout=5)
        save(dialog, "viewer-flash-confirm.png")
        dialog.find_element(By.CSS_SELECTOR, ".flash-cancel").click()

        played = driver.find_element(By.CSS_SELECTOR, ".panel.playback")
        driver.execute_script("arguments[0].scrollIntoView({block: 'start'})", played)
        save(played, "viewer-playback.png")
        assert driver.find_elements(By.CSS_SELECTOR, ".error:not([hidden])") == []
