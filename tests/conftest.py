"""Fixtures shared by the test files: a small Dask cluster for the distributed classes, and a
headless Chromium for the HTML we write."""

import contextlib
import json
import os
import pathlib
import shutil

import numpy as np
import pytest


@pytest.fixture(scope="session")
def dask_client():
    """A distributed client on a LocalCluster of two single-threaded workers, for the session."""
    distributed = pytest.importorskip("distributed")
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=":0", silence_logs=40)
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()


def numbers_in(obj):
    """How many numbers a gathered result holds (arrays and frames by size, containers by their
    items; any other object, a booster say, counts as one)."""
    if isinstance(obj, np.ndarray):
        return obj.size
    if hasattr(obj, "to_numpy") and hasattr(obj, "shape"):
        return int(np.prod(obj.shape))
    if isinstance(obj, dict):
        return sum(numbers_in(v) for v in obj.values())
    if isinstance(obj, (list, tuple, set)):
        return sum(numbers_in(v) for v in obj)
    return 1


@contextlib.contextmanager
def gather_limit(client, limit):
    """Fails any gathering of more than `limit` numbers to the client while it is active
    (every result a client receives passes through its _gather)."""
    original = client._gather
    largest = [0]

    async def guarded(*args, **kwargs):
        result = await original(*args, **kwargs)
        size = numbers_in(result)
        largest[0] = max(largest[0], size)
        if size > limit:
            raise AssertionError("gathered %d numbers to the client (limit %d)" % (size, limit))
        return result

    client._gather = guarded
    try:
        yield largest
    finally:
        del client._gather


# ---- a real browser, for the HTML we write (reports, notebook fragments) ----

_NO_BROWSER = ("no Chromium to open the HTML in: `apt install chromium chromium-driver` "
               "(make test installs them) and `pip install selenium`")


def _chromium():
    """The Chromium binary and its driver, or None where either is missing."""
    binary = next((shutil.which(b) for b in ("chromium", "chromium-browser", "google-chrome")
                   if shutil.which(b)), None)
    driver = shutil.which("chromedriver") or next(
        (p for p in ("/usr/lib/chromium/chromedriver",) if os.access(p, os.X_OK)), None)
    return (binary, driver) if binary and driver else None


@pytest.fixture(scope="session")
def browser():
    """Headless Chromium driven by Selenium with the system's chromedriver, logging the console
    and the network; the tests that take it skip, saying how to get one, where there is none."""
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        pytest.skip(_NO_BROWSER)
    found = _chromium()
    if found is None:
        pytest.skip(_NO_BROWSER)
    options = webdriver.ChromeOptions()
    options.binary_location = found[0]
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                     "--disable-gpu", "--window-size=1200,900"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
    driver = webdriver.Chrome(service=Service(found[1]), options=options)
    yield driver
    driver.quit()


def open_in_browser(driver, path, screenshot):
    """Open the HTML file `path` and report what a reader gets: the console's errors, the URLs
    the page requested, the images (natural widths) and inline SVG boxes, the tables (headers,
    body rows) and the text; a full-page screenshot is saved to `screenshot`."""
    driver.get_log("performance")  # what earlier pages logged
    driver.get_log("browser")
    url = pathlib.Path(path).resolve().as_uri()
    driver.get(url)
    driver.execute_script("return document.readyState")
    facts = driver.execute_script("""
        return {
          images: Array.from(document.images).map(i => [i.complete, i.naturalWidth]),
          svgs: Array.from(document.querySelectorAll('svg')).map(s => s.getBoundingClientRect().width),
          tables: Array.from(document.querySelectorAll('table')).map(t => ({
              headers: Array.from(t.querySelectorAll('thead th')).map(h => h.textContent),
              rows: t.querySelectorAll('tbody tr').length})),
          text: document.body.innerText,
          height: document.documentElement.scrollHeight};""")
    facts["errors"] = [e for e in driver.get_log("browser") if e["level"] == "SEVERE"]
    requests = []
    for entry in driver.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        if message["method"] == "Network.requestWillBeSent":
            requests.append(message["params"]["request"]["url"])
    facts["requests"] = requests
    facts["outside"] = [u for u in requests if u != url and not u.startswith("data:")]
    pathlib.Path(screenshot).parent.mkdir(parents=True, exist_ok=True)
    driver.set_window_size(1200, min(int(facts["height"]) + 100, 30000))
    driver.save_screenshot(str(screenshot))
    driver.set_window_size(1200, 900)
    return facts
