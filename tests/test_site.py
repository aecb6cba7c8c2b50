"""The built site in a real browser: headless Chromium (Debian's chromium
and chromium-driver, driven by selenium with the system's browser and
driver; nothing is downloaded) loads every page of docs/_build/html from
a local server and checks what a reader would notice: console errors,
missing resources, links and anchors that lead nowhere, gallery players
that do not play what the example rendered, a search that finds nothing,
a page wider than a phone. It leaves screenshots in docs/_build/screenshots.

`make docs-test` builds the site and runs this (CI does, once)."""

from __future__ import annotations

import functools
import http.server
import os
import shutil
import subprocess
import sys
import threading
from html.parser import HTMLParser
from pathlib import Path
from urllib.parse import unquote, urljoin, urlsplit

import pytest

pytestmark = pytest.mark.slow

ROOT = Path(__file__).resolve().parents[1]
SITE = ROOT / "docs" / "_build" / "html"
SHOTS = ROOT / "docs" / "_build" / "screenshots"
CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")
INSTALL = "apt-get install chromium chromium-driver (Debian's packages)"


class Ids(HTMLParser):
    """Every id and name an anchor can reach in one page."""

    def __init__(self) -> None:
        super().__init__()
        self.ids: set[str] = set()

    def handle_starttag(self, tag, attrs):
        for key, value in attrs:
            if key == "id" or (tag == "a" and key == "name"):
                self.ids.add(value)


@functools.cache
def anchors(path: Path) -> frozenset[str]:
    parser = Ids()
    parser.feed(path.read_text(encoding="utf-8"))
    return frozenset(parser.ids)


class Handler(http.server.SimpleHTTPRequestHandler):
    failed: list[str] = []

    def log_message(self, format, *args):
        pass

    def send_response(self, code, message=None):
        if code >= 400:
            Handler.failed.append(f"{code} {self.path}")
        super().send_response(code, message)


@pytest.fixture(scope="module")
def site():
    if not (SITE / "index.html").exists():
        pytest.importorskip("sphinx", reason="the site needs pip install '.[docs]' (or make docs)")
        subprocess.run([sys.executable, "-m", "sphinx", "-W", "-q", "-b", "html", str(ROOT / "docs"),
                        str(SITE)], check=True, timeout=600)
    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(Handler, directory=str(SITE)))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_address[1]}/"
    server.shutdown()
    server.server_close()


@pytest.fixture(scope="module")
def browser():
    webdriver = pytest.importorskip("selenium.webdriver", reason="pip install selenium (the docs extra)")
    if CHROMIUM is None or DRIVER is None:
        pytest.skip(f"no headless browser here: {INSTALL}")
    os.environ["SE_OFFLINE"] = "true"  # selenium must use the system's driver, never fetch one
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--window-size=1280,900", "--autoplay-policy=no-user-gesture-required"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(options=options, service=webdriver.ChromeService(executable_path=DRIVER))
    driver.set_page_load_timeout(60)
    yield driver
    driver.quit()


PAGES = sorted(
    str(p.relative_to(SITE)) for p in SITE.rglob("*.html")
    if not {"_static", "_sources", "_images", "_downloads"} & set(p.relative_to(SITE).parts)
)  # fmt: skip


def internal_links(driver, base):
    hrefs = driver.execute_script(
        "return Array.from(document.querySelectorAll('a[href]'), a => a.href)")
    for href in hrefs:
        if href.startswith(base):
            yield href


def target_problem(href, base):
    """Why an internal link leads nowhere, or None."""
    parts = urlsplit(href)
    path = SITE / unquote(parts.path[len(urlsplit(base).path):])
    if path.is_dir():
        path = path / "index.html"
    if not path.exists():
        return f"no such file: {href}"
    if parts.fragment and path.suffix == ".html" and unquote(parts.fragment) not in anchors(path):
        return f"no anchor: {href}"
    return None


def load(driver, url):
    driver.get(url)
    driver.execute_script("return document.readyState")


def test_every_page_loads_cleanly_with_working_links(site, browser):
    assert len(PAGES) > 25, "the site is built (make docs)"
    problems = []
    for page in PAGES:
        Handler.failed.clear()
        load(browser, urljoin(site, page))
        errors = [e["message"] for e in browser.get_log("browser") if e["level"] == "SEVERE"]
        problems += [f"{page}: console: {m}" for m in errors]
        problems += [f"{page}: missing: {f}" for f in Handler.failed]
        problems += [f"{page}: {why}" for href in internal_links(browser, site)
                     if (why := target_problem(href, site))]
    assert not problems, "\n".join(problems)


def test_pages_fit_a_narrow_screen(site, browser):
    browser.set_window_size(390, 844)  # a phone
    try:
        wide = []
        for page in PAGES:
            load(browser, urljoin(site, page))
            width = browser.execute_script(
                "return [document.documentElement.scrollWidth, window.innerWidth]")
            if width[0] > width[1] + 1:
                wide.append(f"{page}: {width[0]} px wide in a {width[1]} px window")
        assert not wide, "\n".join(wide)
    finally:
        browser.set_window_size(1280, 900)


GALLERY = [p for p in PAGES if p.startswith("gallery/") and p != "gallery/index.html"]


def test_each_gallery_player_plays_what_its_example_rendered(site, browser):
    heard = 0
    for page in GALLERY:
        load(browser, urljoin(site, page))
        players = browser.execute_async_script("""
            const done = arguments[arguments.length - 1];
            const players = Array.from(document.querySelectorAll('audio'));
            Promise.all(players.map(a => new Promise(resolve => {
                const report = () => resolve({src: a.currentSrc, ready: a.readyState,
                    duration: a.duration, rendered: parseFloat(a.dataset.renderedSeconds),
                    error: a.error && a.error.code});
                if (a.readyState >= 1 || a.error) { report(); return; }
                a.addEventListener('loadedmetadata', report, {once: true});
                a.addEventListener('error', report, {once: true});
                a.load();
            }))).then(done);
        """)
        for player in players:
            assert player["error"] is None and player["ready"] >= 1, (page, player)
            # What the example rendered, to within a Vorbis page's rounding.
            assert abs(player["duration"] - player["rendered"]) < 0.01, (page, player)
            heard += 1
    sounding = {"chorus", "demo", "filter_sweep", "plucked_string", "reverb", "render_batch"}
    assert heard >= len(sounding)
    assert sounding <= {Path(p).stem for p in GALLERY}


@pytest.mark.parametrize("name, page", [("landing", "index.html"), ("gallery", "gallery/demo.html"),
                                        ("reference", "reference/vorda.html")])
def test_screenshots(site, browser, name, page):
    SHOTS.mkdir(parents=True, exist_ok=True)
    load(browser, urljoin(site, page))
    # As a reader arriving from a link sees it: no search terms highlighted,
    # and a gallery page at its player and figure.
    browser.execute_script("window.sessionStorage.clear()")
    load(browser, urljoin(site, page))
    browser.execute_script(
        "const player = document.querySelector('figure.gallery-audio');"
        "if (player) player.scrollIntoView({block: 'start', behavior: 'instant'});")
    path = SHOTS / f"{name}.png"
    assert browser.save_screenshot(str(path)) and path.stat().st_size > 10_000


@pytest.mark.parametrize("query, page", [("Patch", "reference/vorda_blocks.html"),
                                         ("DelayL", "reference/vorda.html")])
def test_search_finds(site, browser, query, page):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    load(browser, urljoin(site, f"search.html?q={query}"))
    found = WebDriverWait(browser, 30).until(
        lambda d: d.find_elements(By.CSS_SELECTOR, "#search-results ul.search li a"))
    assert any(a.get_attribute("href").split("#")[0].endswith(page) for a in found), \
        [a.get_attribute("href") for a in found]


