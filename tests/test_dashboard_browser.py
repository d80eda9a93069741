"""The dashboard in a real headless Chromium (Debian's chromium and chromium-driver, driven by Selenium).

Skipped when the browser is not installed; scripts/install-browser.sh installs it,
and CI runs it first. Screenshots go to each test's temporary folder; with
CNC_DASHBOARD_SCREENSHOTS=DIR the overview and machine page are also written
there (that is how docs/images is made: `make dashboard-screenshots`).
"""

from __future__ import annotations

import contextlib
import json
import os
import shutil
import subprocess
import sys
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import pytest
from cnc_api_simulator.testing import MachineClock
from cnc_api_tools import State
from dashboard_helpers import PART, client, dashboard, load_and_start, odd_replies, programs_dir, simulator, state
from fake_server import FakeServer, respond
from replies import QUERIES
from tools_helpers import free_port, wait_for

# Selenium is imported by the fixture that starts the browser, not on collection: every worker
# collects this module, one of them runs it. Elements are found by the WebDriver protocol's
# CSS locator (selenium's By.CSS_SELECTOR).
CSS = "css selector"

BROWSERS = ("chromium", "chromium-browser")
WINDOW = (1400, 900)
SANITIZER_ENV = {"LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC"}


def _find_browser() -> tuple[str, str] | None:
    browser = next((p for p in map(shutil.which, BROWSERS) if p), None)
    driver = shutil.which("chromedriver")
    return (browser, driver) if browser and driver else None


class Chromium:
    """One headless Chromium for all the browser tests of a worker: a browser costs
    more CPU to start and stop than most of these tests take. Each test gets a new
    tab, so no page, dialog, session storage or console message of an earlier test
    is left; a browser that no longer answers is replaced."""

    def __init__(self, browser: str, driver: str, folder: Path) -> None:
        self.paths, self.folder = (browser, driver), folder
        self.driver: Any = None
        self.started = 0

    def _start(self) -> Any:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service

        self.started += 1
        options = webdriver.ChromeOptions()
        options.binary_location = self.paths[0]
        for arg in (
            "--headless=new",
            "--no-sandbox",
            "--disable-dev-shm-usage",
            "--disable-gpu",
            "--force-device-scale-factor=1",
            f"--window-size={WINDOW[0]},{WINDOW[1]}",
            f"--user-data-dir={self.folder / f'chromium-profile-{self.started}'}",
        ):
            options.add_argument(arg)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        # The sanitizer run preloads its runtime into the interpreter; the browser is not ours to check.
        env = {k: v for k, v in os.environ.items() if k not in SANITIZER_ENV}
        log = self.folder / f"chromedriver-{self.started}.log"
        # Selenium's driver manager is never needed with both paths given; keep it off the network.
        with pytest.MonkeyPatch.context() as mp:
            mp.setenv("SE_OFFLINE", "true")
            mp.setenv("SE_AVOID_STATS", "true")
            driver = webdriver.Chrome(options=options, service=Service(self.paths[1], log_output=str(log), env=env))
        driver.set_page_load_timeout(30)
        return driver

    def fresh_tab(self) -> Any:
        from selenium.common.exceptions import WebDriverException

        if self.driver is not None:
            try:
                return self._new_tab(self.driver)
            except WebDriverException:
                self.quit()
        self.driver = self._start()
        return self._new_tab(self.driver)

    @staticmethod
    def _new_tab(driver: Any) -> Any:
        from selenium.common.exceptions import NoAlertPresentException

        with contextlib.suppress(NoAlertPresentException):
            driver.switch_to.alert.dismiss()
        earlier = driver.window_handles
        driver.switch_to.new_window("tab")
        tab = driver.current_window_handle
        for handle in earlier:
            driver.switch_to.window(handle)
            driver.close()
        driver.switch_to.window(tab)
        driver.get_log("browser")  # what earlier pages logged
        return driver

    def quit(self) -> None:
        from selenium.common.exceptions import WebDriverException

        if self.driver is not None:
            with contextlib.suppress(WebDriverException):
                self.driver.quit()
            self.driver = None


@pytest.fixture(scope="session")
def chromium(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Chromium]:
    pytest.importorskip("selenium.webdriver", reason="selenium is not installed (pip install '.[test]')")
    found = _find_browser()
    if found is None:
        pytest.skip(
            "headless Chromium is not installed (scripts/install-browser.sh: apt-get install chromium chromium-driver)"
        )
    shared = Chromium(*found, tmp_path_factory.mktemp("chromium"))
    try:
        yield shared
    finally:
        shared.quit()


@pytest.fixture
def browser(chromium: Chromium) -> Any:
    return chromium.fresh_tab()


def until(driver: Any, script: str, timeout: float = 15.0) -> Any:
    """Wait until the script (an expression) gives a true value in the page, and return it."""
    return wait_for(lambda: driver.execute_script(f"return ({script});"), timeout=timeout, interval=0.05)


def screenshot(driver: Any, tmp_path: Path, name: str) -> Path:
    until(driver, "!document.getAnimations().some(a => a instanceof CSSTransition)")  # bars at their width
    path = tmp_path / name
    driver.save_screenshot(str(path))
    assert path.stat().st_size > 10_000
    docs = os.environ.get("CNC_DASHBOARD_SCREENSHOTS")
    if docs:
        Path(docs).mkdir(parents=True, exist_ok=True)
        shutil.copyfile(path, Path(docs) / name)
    return path


def no_console_errors(driver: Any) -> None:
    errors = [e for e in driver.get_log("browser") if e["level"] == "SEVERE"]
    assert not errors, errors  # a blocked outside fetch or a script error shows here


def only_own_origin(driver: Any, url: str) -> None:
    loaded = driver.execute_script("return performance.getEntriesByType('resource').map(e => e.name)")
    assert loaded and all(name.startswith(url) for name in loaded), loaded


# Pixels of the path canvas near the feed and rapid colours.
COUNT_PIXELS = """
const c = document.getElementById('path-canvas');
const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
let feed = 0, rapid = 0, unknown = 0;
for (let i = 0; i < d.length; i += 4) {
  if (d[i + 3] < 100) continue;
  if (d[i + 2] > 180 && d[i] < 140) feed++;
  else if (d[i] > 200 && d[i + 2] < 120) rapid++;
  else if (d[i] > 150 && Math.abs(d[i] - d[i + 2]) < 40) unknown++;
}
return [feed, rapid, unknown];
"""


def drive(driver: Any, clock: MachineClock, check: Callable[[], object], step: float) -> object:
    """Wait for `check`, moving machine time on by `step` seconds with each update of machine 0 that
    the page receives: the run goes as far as the page has seen it go, however busy the computer is."""
    seen: list[object] = [None]

    def look() -> object:
        value = check()
        if not value:
            version = driver.execute_script("const m = cncDashboard.machines[0]; return m ? m.version : null;")
            if version != seen[0]:
                seen[0] = version
                clock.advance(step)
        return value

    return wait_for(look, timeout=15, interval=0.05)


def tile(driver: Any, index: int) -> dict[str, str]:
    return driver.execute_script(
        "const t = document.getElementById(arguments[0]);"
        "const box = t.querySelector('[data-f=progress-box]');"
        "return {condition: t.dataset.condition, state: t.dataset.state, fraction: box.dataset.fraction,"
        " text: t.innerText};",
        f"tile-{index}",
    )


def test_overview_and_machine_page_follow_a_running_program(browser, tmp_path):
    clock = MachineClock()  # mill-1's program moves only as far as the test drives it
    with (
        simulator(tmp_path, "a", clock=clock) as a,
        simulator(tmp_path, "b") as b,
        dashboard(
            [a.port, b.port, free_port()],
            programs=[programs_dir(a), programs_dir(b)],
            interval=0.1,
            names=["mill-1", "mill-2", "lathe"],
        ) as dash,
    ):
        other = client(b.port)
        assert other.program_load(PART)  # loaded, not started
        browser.get(dash.url)
        until(browser, "Object.keys(cncDashboard.machines).length === 3")
        wait_for(lambda: tile(browser, 0)["condition"] == "idle" and tile(browser, 1)["condition"] == "idle")
        assert tile(browser, 2)["condition"] == "offline" and "connection refused" in tile(browser, 2)["text"]
        assert browser.find_elements(CSS, "button[data-action]") == []  # read-only

        c = load_and_start(a.port)
        wait_for(lambda: tile(browser, 0)["condition"] == "run", timeout=10)
        first = float(wait_for(lambda: tile(browser, 0)["fraction"], timeout=10))
        # The part's outline comes first: a dozen seconds of machine time over a few lines.
        drive(browser, clock, lambda: float(tile(browser, 0)["fraction"] or 0) > first + 0.02, step=1.0)
        assert tile(browser, 1)["condition"] == "idle" and tile(browser, 1)["fraction"] == ""  # untouched
        running = tile(browser, 0)
        assert running["state"] == "RUN" and "part.nc" in running["text"] and "line" in running["text"]
        screenshot(browser, tmp_path, "dashboard-overview.png")
        no_console_errors(browser)
        only_own_origin(browser, dash.url)

        browser.find_element(CSS, "#tile-0 .tile-name").click()
        until(browser, "window.cncDashboard.path && cncDashboard.path.count > 100 && cncDashboard.path.draws > 0")
        feed, rapid, unknown = browser.execute_script(COUNT_PIXELS)
        assert feed > 1000 and rapid > 20 and unknown < 50, (feed, rapid, unknown)  # rapid moves apart
        assert browser.find_element(CSS, "#gcode-note").text.startswith("Read from the file of this name")
        reached = until(browser, "cncDashboard.done.index > 0 && cncDashboard.done.index")
        grown = f"return cncDashboard.done.index > {reached}"
        drive(browser, clock, lambda: browser.execute_script(grown), step=0.25)  # the done part grows with the line
        moves = until(browser, "cncDashboard.marker.x !== null && cncDashboard.marker.moves + 1")
        start_x = browser.execute_script("return [cncDashboard.marker.sx, cncDashboard.marker.sy]")
        moved = f"return cncDashboard.marker.moves > {moves + 3}"
        drive(browser, clock, lambda: browser.execute_script(moved), step=0.25)
        assert browser.execute_script("return [cncDashboard.marker.sx, cncDashboard.marker.sy]") != start_x
        current, line = until(
            browser,
            "(() => { const li = document.querySelector('#gcode li.current');"
            " return li && [li.innerText, cncDashboard.gcodeCurrent]; })()",
        )
        number, code = current.split(maxsplit=1)
        assert int(number) == line and code.startswith("G")
        assert browser.find_elements(CSS, "button[data-action]") == []
        until(browser, "document.querySelector('[data-f=estimated]').textContent.includes(':')")
        screenshot(browser, tmp_path, "dashboard-machine.png")
        no_console_errors(browser)
        only_own_origin(browser, dash.url)
        c.cnc_stop()
        c.close()
        other.close()


def _alert_text(driver: Any) -> str | None:
    from selenium.common.exceptions import NoAlertPresentException

    try:
        return str(driver.switch_to.alert.text)
    except NoAlertPresentException:
        return None


@pytest.mark.parametrize("page", ["", "machine/0"], ids=["overview", "machine-page"])
def test_stop_button_stops_the_machine_when_control_is_allowed(browser, tmp_path, page):
    with simulator(tmp_path) as sim, dashboard([sim.port], policy=dict(allowed=True), names=["mill"]) as dash:
        c = load_and_start(sim.port)
        browser.get(dash.url + page)
        stop = browser.find_element(CSS, "button[data-action=stop]")
        wait_for(lambda: stop.is_enabled(), timeout=10)
        until(browser, "document.querySelector('.machine').dataset.condition === 'run'")
        stop.click()
        wait_for(lambda: state(c) == State.IDLE, timeout=10)
        until(browser, "document.querySelector('.machine').dataset.condition === 'idle'")
        assert "stop: sent to mill" in until(browser, "document.getElementById('toast').textContent")
        no_console_errors(browser)
        c.close()


def test_token_is_asked_for_once_and_then_sent(browser, tmp_path):
    policy = dict(allowed=True, token="plant-floor-7")
    with simulator(tmp_path) as sim, dashboard([sim.port], policy=policy, names=["mill"]) as dash:
        c = load_and_start(sim.port)
        browser.get(dash.url + "machine/0")
        stop = browser.find_element(CSS, "button[data-action=stop]")
        wait_for(lambda: stop.is_enabled(), timeout=10)
        stop.click()
        assert "Token" in wait_for(lambda: _alert_text(browser), timeout=10)
        browser.switch_to.alert.send_keys("plant-floor-7")
        browser.switch_to.alert.accept()
        wait_for(lambda: state(c) == State.IDLE, timeout=10)
        assert browser.execute_script("return sessionStorage.getItem('cncDashboardToken')") == "plant-floor-7"
        c.close()


def test_token_in_the_address_is_taken_and_hidden(browser, tmp_path):
    policy = dict(allowed=True, token="plant-floor-7")
    with simulator(tmp_path) as sim, dashboard([sim.port], policy=policy) as dash:
        c = load_and_start(sim.port)
        browser.get(dash.url + "#token=plant-floor-7")
        assert browser.current_url == dash.url  # not left in the address bar or history
        stop = browser.find_element(CSS, "button[data-action=stop]")
        wait_for(lambda: stop.is_enabled(), timeout=10)
        stop.click()
        wait_for(lambda: state(c) == State.IDLE, timeout=10)
        assert _alert_text(browser) is None
        c.close()


def test_huge_path_stays_smooth_to_pan_and_zoom(browser, tmp_path):
    count = 100_000
    # Written as text: json.dumps of 100,000 lists took more CPU than the rest of this test's own work.
    xs = [f"{60 * k / 2000:.3f}" for k in range(2000)]
    points = ",".join(f"[{xs[i % 2000]},{i / 1500:.3f},{-1 - (i % 7) / 10:.1f}]" for i in range(count))
    reply = '{"res": {"points": [' + points + "]}}"

    def answer(request: bytes) -> object:
        return reply if b"programmed.points" in request else odd_replies(request)

    with FakeServer(default=respond(answer)) as server, dashboard([server.port]) as dash:
        browser.get(dash.url + "machine/0")
        shown = "cncDashboard.path.draws > 0 && [cncDashboard.path.draws, cncDashboard.path.drawMs]"
        draws, _ = until(browser, f"cncDashboard.path.reported === {count} && ({shown})", timeout=40)
        times: list[float] = []
        for button in ("zoom-in", "zoom-in", "zoom-out", "fit"):
            browser.find_element(CSS, f"#{button}").click()
            draws, took = until(
                browser, f"cncDashboard.path.draws > {draws} && [cncDashboard.path.draws, cncDashboard.path.drawMs]"
            )
            times.append(took)
        # Its count and segments only: the path's 300,000 coordinates would cross the driver too.
        fitted = browser.execute_script(
            "const p = cncDashboard.path; return {count: p.count, drawnSegments: p.drawnSegments}"
        )
        # Fitted, most of the points are closer than a pixel and are not stroked.
        assert 0 < fitted["drawnSegments"] < fitted["count"] / 2
        print("redraw times (ms):", times, "segments stroked:", fitted["drawnSegments"])
        assert max(times) < 1000, times  # one redraw of 100,000 points, well below a second
        feed, rapid, unknown = browser.execute_script(COUNT_PIXELS)
        assert unknown > 1000 and feed == rapid == 0  # no move kinds: drawn as neither
        assert browser.find_element(CSS, "#legend-unknown").is_displayed()
        # the control names no file: the panel says why there is no text
        note = browser.find_element(CSS, "#gcode-note").text
        assert "reports no file name" in note and "--load" in note and "--programs" in note
        no_console_errors(browser)


def _in_state(code: int) -> Callable[[bytes], object]:
    def answer(request: bytes) -> object:
        reply = odd_replies(request)
        if b"cnc.info" in request:
            reply = QUERIES["cnc_info"].reply()
            reply["res"]["state.machine"] = code
        return reply

    return answer


COLOURS = {
    "ALARM": ("alarm", "rgb(255, 77, 79)"),
    "LIMIT": ("alarm", "rgb(255, 77, 79)"),
    "PAUSE": ("pause", "rgb(240, 169, 46)"),
    "RUN": ("run", "rgb(47, 191, 113)"),
    "IDLE": ("idle", "rgb(93, 143, 201)"),
}


def test_tile_colour_tells_the_state_and_an_alarm_stands_out(browser, tmp_path):
    names = list(COLOURS)
    with contextlib.ExitStack() as stack:
        servers = [stack.enter_context(FakeServer(default=respond(_in_state(State[n])))) for n in names]
        dash = stack.enter_context(dashboard([s.port for s in servers], names=names))
        browser.get(dash.url)
        until(browser, f"Object.values(cncDashboard.machines).filter(m => m.state).length === {len(names)}")
        for i, name in enumerate(names):
            condition, colour = COLOURS[name]
            shown = browser.execute_script(
                "const t = document.getElementById(arguments[0]); const s = getComputedStyle(t);"
                "return [t.dataset.condition, s.borderLeftColor, t.querySelector('[data-f=state]').textContent,"
                " s.animationName];",
                f"tile-{i}",
            )
            assert shown[:2] == [condition, colour], (name, shown)
            assert name in shown[2]
            if condition == "alarm":
                assert shown[2].startswith("⚠") and shown[3] == "alarm-pulse"
            else:
                assert shown[3] == "none"
        screenshot(browser, tmp_path, "states.png")


def test_docs_site_search_works_opened_from_disk(browser, tmp_path):
    """The site as mkdocs.yml configures it (theme, search, offline build), on two pages of its own:
    the whole site takes seconds to build and shows nothing more about the search."""
    pytest.importorskip("mkdocs", reason="the docs extra is not installed")
    root = Path(__file__).resolve().parent.parent
    docs, site = tmp_path / "docs", tmp_path / "site"
    shutil.copytree(root / "docs" / "assets", docs / "assets")  # the search worker's shim for file:// pages
    (docs / "index.md").write_text("# Home\n\nSee [the client](client.md).\n")
    (docs / "client.md").write_text("# Client\n\n`program_load(name)` loads a program from the control's folder.\n")
    config = tmp_path / "mkdocs.yml"
    config.write_text(
        f"INHERIT: {json.dumps(str(root / 'mkdocs.yml'))}\n"
        "docs_dir: docs\n"
        "nav:\n  - Home: index.md\n  - Client: client.md\n"
    )
    env = {**os.environ, "NO_MKDOCS_2_WARNING": "1"}
    built = subprocess.run(
        [sys.executable, "-m", "mkdocs", "build", "-q", "-f", str(config), "--site-dir", str(site)],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert built.returncode == 0, built.stderr
    browser.get((site / "index.html").as_uri())
    browser.execute_script("document.getElementById('__search').click()")  # opens the search, as its icon does
    box = browser.find_element(CSS, "input.md-search__input")
    box.send_keys("program_load")
    until(browser, "document.querySelectorAll('.md-search-result__item').length > 0", timeout=30)
    loaded = browser.execute_script("return performance.getEntriesByType('resource').map(e => e.name)")
    assert all(name.startswith("file://") for name in loaded), loaded  # nothing from another host
