"""Debian's Chromium, headless, driven by Selenium: what the viewer's browser tests share."""

import contextlib
import io
import os
import pathlib
import shutil

import numpy as np
import pytest
from PIL import Image

from viewer_support import wait_until

OUT = pathlib.Path(__file__).resolve().parents[1] / "out"
DOCS = OUT.parent / "docs"
CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")


def require_browser():
    """Skips the calling test module without the browser; in CI a missing browser fails it."""
    pytest.importorskip("selenium.webdriver")
    if CHROMIUM and DRIVER:
        return
    # CI installs both (scripts/setup.sh); there a missing browser fails instead of skipping.
    if os.environ.get("CI") == "true":
        raise RuntimeError("chromium and chromium-driver are missing; scripts/setup.sh installs them in CI")
    pytest.skip("needs Debian's chromium and chromium-driver (QX_WITH_BROWSER=1 ./scripts/setup.sh)",
                allow_module_level=True)


@contextlib.contextmanager
def open_browser(width=1400, height=1700, scale=1):
    """A headless Chromium window of `width` x `height` CSS pixels at device pixel ratio `scale`."""
    from selenium import webdriver

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                     f"--window-size={width},{height}", f"--force-device-scale-factor={scale}",
                     "--hide-scrollbars"):
        options.add_argument(argument)
    # The browser is not the code under test: the sanitizer run's preloaded runtimes stay out of it.
    environment = {name: value for name, value in os.environ.items()
                   if name not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    service = webdriver.ChromeService(executable_path=DRIVER, env=environment)
    driver = webdriver.Chrome(service=service, options=options)
    driver.set_page_load_timeout(30)
    if width < MIN_WINDOW_WIDTH:
        set_viewport(driver, width, height, scale)
    try:
        yield driver
    finally:
        driver.quit()


# Chromium keeps a window at least this wide (a narrower one shows a 500 px page); narrower pages
# are emulated.
MIN_WINDOW_WIDTH = 500


def set_viewport(driver, width, height, scale=1):
    """The page's viewport becomes `width` x `height` CSS pixels at device pixel ratio `scale`,
    whatever the window's size."""
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": width, "height": height, "deviceScaleFactor": scale, "mobile": False})


def element_picture(element):
    return np.asarray(Image.open(io.BytesIO(element.screenshot_as_png)).convert("RGB")).astype(int)


def panel(driver, index):
    """Camera `index`'s panel, once the page has built it."""
    from selenium.webdriver.common.by import By

    selector = f'.panel[data-index="{index}"]'
    assert wait_until(lambda: driver.find_elements(By.CSS_SELECTOR, selector), timeout=20)
    return driver.find_element(By.CSS_SELECTOR, selector)


def start_sensor_upgrade(element, image, before_flash=None):
    """In camera panel `element`: the firmware box opened, the sensor chosen, `image` (a path)
    picked, Upgrade clicked and the confirmation's Flash; `before_flash()` runs just before it."""
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select

    element.find_element(By.CSS_SELECTOR, ".firmware-box summary").click()
    assert wait_until(lambda: element.find_element(By.CSS_SELECTOR, ".firmware-upgrade").is_enabled(), timeout=10)
    Select(element.find_element(By.CSS_SELECTOR, ".firmware-target")).select_by_value("sensor")
    element.find_element(By.CSS_SELECTOR, ".firmware-file").send_keys(str(image))
    element.find_element(By.CSS_SELECTOR, ".firmware-upgrade").click()
    confirm = element.find_element(By.CSS_SELECTOR, ".flash-go")
    assert wait_until(confirm.is_displayed, timeout=10)
    if before_flash is not None:
        before_flash()
    confirm.click()
