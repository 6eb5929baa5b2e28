"""The browser panel end to end: `veltor panel --sim` in headless Chromium.

Run by ctest with VELTOR_TOOL (the tool) and VELTOR_PANEL_SHOTS (where the
screenshot goes); VELTOR_PANEL_SCREENSHOT=PATH also writes it there (the
documentation's docs/panel.png). One panel and one browser for the module.
"""
import json
import os
import shutil
import subprocess
import urllib.error
import urllib.request

import pytest

try:
    from selenium import webdriver
    from selenium.common.exceptions import TimeoutException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError:  # pragma: no cover - depends on the machine
    webdriver = None

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
TOOL = os.environ.get("VELTOR_TOOL", "build/tools/veltor")

missing = [name for name, there in (("python3-selenium", webdriver is not None),
                                    ("chromium", os.path.exists(CHROMIUM)),
                                    ("chromium-driver", os.path.exists(CHROMEDRIVER))) if not there]
pytestmark = pytest.mark.skipif(bool(missing), reason="browser test needs " + ", ".join(missing))


class Panel:
    """The tool serving the panel of its built-in simulated instrument."""

    def __init__(self):
        self.process = subprocess.Popen([TOOL, "panel", "--sim", "--http-port", "0"],
                                        stdout=subprocess.PIPE, text=True)
        self.url = self.process.stdout.readline().strip()
        assert self.url.startswith("http://127.0.0.1:"), self.url
        self.base, _, self.token = self.url.partition("/?token=")

    def request(self, path, body=None, headers=None, token=True):
        """(status, JSON answer) of an API request."""
        request = urllib.request.Request(self.base + path, method="POST" if body is not None else "GET",
                                         data=None if body is None else json.dumps(body).encode())
        if token:
            request.add_header("X-Veltor-Token", self.token)
        for name, value in (headers or {}).items():
            request.add_header(name, value)
        try:
            with urllib.request.urlopen(request, timeout=10) as answer:
                return answer.status, json.load(answer)
        except urllib.error.HTTPError as refused:
            return refused.code, json.load(refused)

    def close(self):
        self.process.terminate()
        assert self.process.wait(timeout=10) == 0


@pytest.fixture(scope="module")
def panel():
    started = Panel()
    yield started
    started.close()


@pytest.fixture(scope="module")
def browser(panel):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1440,1000"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    driver.get(panel.url)
    wait(driver, lambda d: d.find_element(By.ID, "connection").text == "connected")
    yield driver
    driver.quit()


def wait(driver, condition):
    try:
        return WebDriverWait(driver, 10).until(condition)
    except TimeoutException:
        pytest.fail("the page did not get there; it says: " + driver.find_element(By.TAG_NAME, "main").text)


def message(driver, letter, field):
    return driver.find_element(By.ID, f"message-{letter}-{field}").text


def enter(driver, letter, field, text):
    box = driver.find_element(By.CSS_SELECTOR, f'[data-channel="{letter}"][data-field="{field}"]')
    # Typed over, as a user does (clearing the box would send the empty box first).
    box.send_keys(Keys.CONTROL, "a")
    box.send_keys(text, Keys.ENTER)


def test_edits_are_checked_at_once_and_redraw_the_diagram(browser):
    Select(browser.find_element(By.CSS_SELECTOR, '[data-channel="A"][data-field="mode"]')).select_by_value("delay")
    wait(browser, lambda d: d.find_element(By.CSS_SELECTOR, '[data-channel="A"][data-field="delay"]').is_enabled())
    enter(browser, "A", "duration", "10 us")
    enter(browser, "A", "delay", "1 ns")
    wait(browser, lambda d: "is outside" in message(d, "A", "delay"))
    drawn = browser.find_element(By.ID, "diagram").get_attribute("src")
    enter(browser, "A", "delay", "2.5 us")
    wait(browser, lambda d: message(d, "A", "delay") == "")
    wait(browser, lambda d: d.find_element(By.ID, "diagram").get_attribute("src") != drawn)
    assert browser.find_element(By.CSS_SELECTOR, '[data-channel="A"][data-field="delay"]').get_attribute("value") == "2.5 µs"
    enter(browser, "A", "delay", "soon")
    wait(browser, lambda d: "expected a time" in message(d, "A", "delay"))


def test_apply_reaches_the_instrument(browser, panel):
    enter(browser, "A", "delay", "2.5 us")
    wait(browser, lambda d: message(d, "A", "delay") == "")
    browser.find_element(By.ID, "apply").click()
    wait(browser, lambda d: d.find_element(By.ID, "outcome").text.startswith("✓ apply"))
    status, held = panel.request("/api/sim")
    assert status == 200
    assert held["channels"]["A"]["mode"] == "delay"
    assert held["channels"]["A"]["delay"] == pytest.approx(2.5e-6)
    browser.find_element(By.CSS_SELECTOR, "#row-A button:nth-of-type(4)").click()  # query
    # The simulated instrument answers a query with the delay it measured: none yet.
    wait(browser, lambda d: "✓ query A: A delay 0 s" in d.find_element(By.ID, "outcome").text)


def test_reports_appear_as_they_arrive(browser, panel):
    assert panel.request("/api/sim/report", {"channel": "C", "counts": 600}) == (200, {"sent": True})
    wait(browser, lambda d: "600 counts" in d.find_element(By.CSS_SELECTOR, "#row-C .report").text)
    assert "C 3 µs (600 counts)" in browser.find_element(By.ID, "reports").text


@pytest.mark.parametrize("headers, token, status", [
    ({}, False, 401),                                       # no token
    ({"X-Veltor-Token": "0" * 32}, False, 401),             # a wrong one
    ({"Origin": "http://evil.example"}, True, 403),         # another site's page
    ({"Host": "evil.example:80"}, True, 403),               # a name re-pointed at 127.0.0.1
])
def test_requests_without_token_or_from_elsewhere_are_refused(panel, headers, token, status):
    answer = panel.request("/api/device/outputs-off", {}, headers=headers, token=token)
    assert answer[0] == status
    assert answer[1]["error"]


def test_open_a_setup_file_and_follow_the_wire(browser, panel):
    demo = os.path.join(os.environ.get("VELTOR_SOURCE_DIR", "."), "examples", "setups", "demo.json")
    browser.find_element(By.ID, "open").send_keys(os.path.abspath(demo))
    wait(browser, lambda d: d.find_element(By.CSS_SELECTOR, '[data-channel="H"][data-field="mode"]')
         .get_attribute("value") != "")
    # demo.json's -50 µs on the 3.125 MHz clock runs rounded: a warning beside it.
    wait(browser, lambda d: "runs as" in d.find_element(By.ID, "channels").text)
    browser.find_element(By.ID, "trace").click()
    wait(browser, lambda d: panel.request("/api/state")[1]["trace"])
    browser.find_element(By.ID, "apply").click()
    wait(browser, lambda d: d.find_element(By.ID, "outcome").text.startswith("✓ apply"))
    wait(browser, lambda d: "Setting timing mode... channel H" in d.find_element(By.ID, "wire").text)
    assert panel.request("/api/sim")[1]["channels"]["H"]["mode"] != ""


def test_screenshot(browser):
    shots = os.environ.get("VELTOR_PANEL_SHOTS", ".")
    os.makedirs(shots, exist_ok=True)
    path = os.path.join(shots, "panel.png")
    assert browser.save_screenshot(path)
    if os.environ.get("VELTOR_PANEL_SCREENSHOT"):
        shutil.copyfile(path, os.environ["VELTOR_PANEL_SCREENSHOT"])
