"""The panel's auto/manual switches, settings files, OSP profile and flash confirmation in a
real browser (see test_viewer_browser.py)."""

import json

import pytest

from browser_support import OUT, open_browser, panel, require_browser
from viewer_support import wait_until

require_browser()
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support.ui import Select  # noqa: E402

import pyQuorvexSDK as qx  # noqa: E402
from firmware_image import TARGET_SENSOR, firmware_image  # noqa: E402


@pytest.fixture
def browser(tmp_path):
    with open_browser() as driver:
        driver.execute_cdp_cmd("Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": str(tmp_path)})
        yield driver


def camera_values(app, *names):
    live = app.state.viewer.camera(0)
    with live.lock:
        controls = live.camera.controls
        return {name: True if controls[name].auto else controls[name].value for name in names}


def row(first, name):
    return first.find_element(By.CSS_SELECTOR, f'.control[data-name="{name}"]')


def open_box(browser, first, box):
    summary = first.find_element(By.CSS_SELECTOR, f"{box} summary")
    browser.execute_script("arguments[0].scrollIntoView({block: 'center'})", summary)
    summary.click()


def test_settings_saved_from_the_page_load_back(served_page, browser, tmp_path):
    url, app = served_page
    browser.get(url)
    first = panel(browser, 0)
    assert wait_until(lambda: first.find_elements(By.CSS_SELECTOR, '.control[data-name="isp_saturation"]'), timeout=20)
    names = ("brightness", "isp_saturation", "white_balance")
    saved_values = camera_values(app, *names)
    assert saved_values["white_balance"] is True
    open_box(browser, first, ".settings-box")
    first.find_element(By.CSS_SELECTOR, ".settings-save").click()
    assert wait_until(lambda: list(tmp_path.glob("*.json")), timeout=20)
    saved = next(tmp_path.glob("*.json"))
    assert json.loads(saved.read_text())["controls"]["white_balance"] is True

    # A control the camera chooses shows its value in a disabled input, until switched to manual.
    balance = row(first, "white_balance")
    assert not balance.find_element(By.CSS_SELECTOR, "input[name]").is_enabled()
    browser.execute_script("arguments[0].scrollIntoView({block: 'center'})", balance)
    balance.find_element(By.CSS_SELECTOR, "input.auto").click()
    assert wait_until(lambda: balance.find_element(By.CSS_SELECTOR, "input[name]").is_enabled(), timeout=10)
    row(first, "brightness").find_element(By.CSS_SELECTOR, "input").send_keys(Keys.END)
    row(first, "isp_saturation").find_element(By.CSS_SELECTOR, "input").send_keys(Keys.HOME)
    changed = {"brightness": 64, "isp_saturation": 0, "white_balance": saved_values["white_balance"]}
    assert wait_until(lambda: camera_values(app, *names) == {**changed, "white_balance": 4600}, timeout=10)

    first.find_element(By.CSS_SELECTOR, ".settings-file").send_keys(str(saved))
    message = first.find_element(By.CSS_SELECTOR, ".settings-message")
    assert wait_until(lambda: message.text.startswith("Loaded"), timeout=10), message.text
    assert camera_values(app, *names) == saved_values
    outputs = {name: row(first, name).find_element(By.CSS_SELECTOR, "output").text for name in names[:2]}
    assert outputs == {name: str(saved_values[name]) for name in names[:2]}
    assert balance.find_element(By.CSS_SELECTOR, "input.auto").is_selected()
    assert not balance.find_element(By.CSS_SELECTOR, "input[name]").is_enabled()

    # An ISP control's automatic mode is the row of its mode control as well, both ways.
    exposure, mode = row(first, "isp_exposure_time"), row(first, "isp_exposure_mode")
    browser.execute_script("arguments[0].scrollIntoView({block: 'center'})", exposure)
    exposure.find_element(By.CSS_SELECTOR, "input.auto").click()
    assert wait_until(lambda: not mode.find_element(By.CSS_SELECTOR, "input").is_selected(), timeout=10)
    assert exposure.find_element(By.CSS_SELECTOR, "input[name]").is_enabled()
    mode.find_element(By.CSS_SELECTOR, "input").click()
    assert wait_until(lambda: exposure.find_element(By.CSS_SELECTOR, "input.auto").is_selected(), timeout=10)
    assert not exposure.find_element(By.CSS_SELECTOR, "input[name]").is_enabled()
    OUT.mkdir(exist_ok=True)
    browser.save_screenshot(str(OUT / "viewer-settings.png"))


def test_profile_box_loads_and_activates_a_profile(served_page, browser, tmp_path):
    url, app = served_page
    profile = tmp_path / "profile.yaml"
    profile.write_text("format: YUY2 1280x720@30\nISP_IMAGE_SATURATION: 120\n")
    browser.get(url)
    first, second = panel(browser, 0), panel(browser, 1)
    box = first.find_element(By.CSS_SELECTOR, ".profile-box")
    assert wait_until(lambda: box.get_attribute("hidden") is None, timeout=20)
    assert second.find_element(By.CSS_SELECTOR, ".profile-box").get_attribute("hidden") is not None
    open_box(browser, first, ".profile-box")
    load = first.find_element(By.CSS_SELECTOR, ".profile-load")
    assert not load.is_enabled()  # the factory profile is disabled
    Select(first.find_element(By.CSS_SELECTOR, ".profile-flag")).select_by_value("enabled")
    assert wait_until(load.is_enabled, timeout=10)
    first.find_element(By.CSS_SELECTOR, ".profile-file").send_keys(str(profile))
    load.click()
    config = first.find_element(By.CSS_SELECTOR, ".profile-config")
    assert wait_until(lambda: "ISP_IMAGE_SATURATION: 120" in config.text, timeout=10), config.text
    first.find_element(By.CSS_SELECTOR, ".profile-image-processing").click()
    saturation = row(first, "isp_saturation").find_element(By.CSS_SELECTOR, "output")
    assert wait_until(lambda: saturation.text == "120", timeout=10)
    first.find_element(By.CSS_SELECTOR, ".profile-streaming").click()
    chosen = Select(first.find_element(By.CSS_SELECTOR, ".format"))
    assert wait_until(lambda: chosen.first_selected_option.text == "YUY2:1280x720@30", timeout=10)
    assert app.state.viewer.camera(0).format.width == 1280


def test_cancelling_the_flash_confirmation_sends_nothing(served_page, browser, tmp_path, emu):
    url, app = served_page
    path = tmp_path / "sensor.img"
    path.write_bytes(firmware_image(TARGET_SENSOR, qx.QXCAM_PRODUCT_TYPE_ZENA, "9.9.9"))
    browser.get(url)
    first = panel(browser, 0)
    open_box(browser, first, ".firmware-box")
    upgrade = first.find_element(By.CSS_SELECTOR, ".firmware-upgrade")
    assert wait_until(upgrade.is_enabled, timeout=10)
    Select(first.find_element(By.CSS_SELECTOR, ".firmware-target")).select_by_value("sensor")
    first.find_element(By.CSS_SELECTOR, ".firmware-file").send_keys(str(path))
    emu.clear_journal()
    upgrade.click()
    dialog = first.find_element(By.CSS_SELECTOR, ".flash-confirm")
    assert wait_until(dialog.is_displayed, timeout=10)
    text = dialog.text
    version = app.state.viewer.camera(0).versions["sensor"]
    assert all(part in text for part in ("sensor.img", f"({path.stat().st_size / 1000:.1f} kB)", "sensor firmware",
                                         f"version {version}", "unplug")), text
    browser.save_screenshot(str(OUT / "viewer-flash-confirm.png"))
    first.find_element(By.CSS_SELECTOR, ".flash-cancel").click()
    assert wait_until(lambda: not dialog.is_displayed(), timeout=10)
    assert first.find_element(By.CSS_SELECTOR, ".firmware-message").text == ""
    assert app.state.viewer.camera(0).upgrade.state == "idle" and not emu.journal("QxUpgradeSensorFW")
