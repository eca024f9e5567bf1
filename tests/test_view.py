"""`vornkit view`: what the reading thread keeps of a run, /status from the server, the command
without Bokeh, and the page in a real browser (headless Chromium, marked `browser`)."""

import json
import os
import shutil
import socket
import subprocess
import sys
import threading
import time
import urllib.request
from pathlib import Path

import numpy as np
import pytest

import vornkit
from support import SANITIZED, child_env, run_python, wd1_record, wd2_record

ROOT = Path(__file__).resolve().parent.parent
CHROMIUM = os.environ.get("VORN_CHROMIUM", "/usr/bin/chromium")
CHROMEDRIVER = os.environ.get("VORN_CHROMEDRIVER", "/usr/bin/chromedriver")


def pulses(first, n, samples=64, channels=2, heights=None, baseline=100.0, noise=0.0, seed=0, shape=None):
    """n WD2 records of negative pulses on a baseline: channel c of event i has height heights[i] * (c + 1);
    by default four samples high (charge 4 x height)."""
    rng = np.random.default_rng(seed)
    heights = np.arange(1, n + 1, dtype=float) if heights is None else np.asarray(heights, float)
    if shape is None:
        shape = np.zeros(samples)
        shape[samples // 2 : samples // 2 + 4] = 1.0
    out = []
    for i in range(n):
        data = baseline + noise * rng.standard_normal((channels, samples))
        data -= np.outer(np.arange(1, channels + 1) * heights[i], shape)
        out.append(
            wd2_record(first + i, samples, data.astype(np.float32), timestamp=1000 * (first + i), channel_word=channels)
        )
    return b"".join(out)


def follow_into(state, path, kind="WD2"):
    """Follows `path` into `state` until 0.05 s pass without an event (the records there: at once)."""
    from vornkit._follow import Chunk, Follower

    follower = Follower(path, kind, None, 0.01, 0.05, None, "skip")
    for chunk in follower.chunks():
        state.add(chunk, follower.stats)
    state.add(Chunk(str(path), None), follower.stats)  # what the last poll found


def test_state_counts_every_event_keeps_only_the_latest(tmp_path):
    from vornkit._view import Options, State

    run = tmp_path / "run.wd2"
    n = 300
    run.write_bytes(pulses(0, 150) + pulses(160, 150, heights=np.arange(151, 301)))  # 10 counters missing
    state = State(Options(str(run), kind="WD2", persistence=5, clock=1000.0, stall=5))
    follow_into(state, run)
    state.tick()
    snap = state.snapshot(0, 0)
    assert snap.labels == [0, 1]
    for label in (0, 1):
        amp = snap.hists[label]["amplitude"]
        assert amp[2].sum() == n  # every event counted, none outside the edges
        # the heights 1..300 on channel 0, twice that on channel 1, each in its bin
        heights = np.arange(1, n + 1) * (label + 1)
        assert np.array_equal(amp[2], np.histogram(heights, amp[1])[0])
        charge = snap.hists[label]["charge"]
        assert np.array_equal(charge[2], np.histogram(4 * heights, charge[1])[0])
        waves = snap.waves[label]
        assert len(waves) == 5  # the last `persistence` waveforms only
        assert waves[-1][1].min() == pytest.approx(100 - 300 * (label + 1))  # the newest event's
    seq, _, rate, per = snap.points[-1]
    assert per[0] == pytest.approx((100.0, 0.0)) and per[1] == pytest.approx((100.0, 0.0))  # baseline, RMS
    assert rate == pytest.approx((n - 1) / 309)  # from the timestamps: 309 s at 1 kHz
    status = snap.status
    assert status["events"] == n and status["gaps"] == 1 and status["missing"] == 10
    assert status["size"] == run.stat().st_size == status["bytes"] and not status["alarm"]
    assert status["catchup_events"] == n and status["caught_up"]  # there before the follow began
    assert state.snapshot(waves[-1][0], seq).points == [] and not state.snapshot(waves[-1][0], seq).waves[0]
    state.last_event -= 6  # no event for 6 s
    assert state.status()["alarm"] and "no event for 6 s" in state.status()["alarm_reason"]


def test_state_of_wd1_has_a_channel_per_board_channel(tmp_path):
    from vornkit._view import Options, State

    run = tmp_path / "run.wd1"
    wave = np.full(32, 1000)
    wave[10:14] -= 7  # amplitude 7 on channel 0, 14 on channel 3
    run.write_bytes(
        b"".join(
            wd1_record(88, wave * (1 + (i % 2)) - 1000 * (i % 2), board_channel=3 * (i % 2), event_counter=i)
            for i in range(40)
        )
    )
    state = State(Options(str(run), kind="WD1", persistence=4))
    follow_into(state, run, "WD1")
    snap = state.snapshot(0, 0)
    assert snap.labels == [0, 3] and snap.status["events"] == 40
    for label, height in ((0, 7), (3, 14)):
        _, edges, counts = snap.hists[label]["amplitude"]
        assert counts.sum() == 20 and edges[counts.argmax()] <= height < edges[counts.argmax() + 1]
        assert len(snap.waves[label]) == 4 and snap.waves[label][-1][1].min() == 1000 - height


def test_state_alarms_and_rolling_bounds(tmp_path):
    from vornkit._view import HISTORY, Options, State, _Rolling

    run = tmp_path / "run1.wd2"
    run.write_bytes(pulses(0, 20) + b"\xff" * 36 + pulses(20, 20))  # a damaged span
    os.utime(run, ns=(0, 0))
    (tmp_path / "run2.wd2").write_bytes(pulses(100, 3))  # the acquisition went on with this one
    (tmp_path / "daq.log").write_text("not a run")
    state = State(Options(str(run), kind="WD2", stall=5))
    with pytest.warns(vornkit.NewerRunWarning):
        follow_into(state, run)
    status = state.status()
    assert status["events"] == 40 and status["damaged_spans"] == 1
    assert status["newer_file"] == str(tmp_path / "run2.wd2") and not status["alarm"]  # it may still grow
    state.grew -= 6  # run1 has not grown for 6 s
    assert "run2.wd2" in state.status()["alarm_reason"]
    for _ in range(HISTORY + 10):
        state.tick()
    assert len(state.points) == HISTORY
    h = _Rolling(bins=10, slots=3)
    h.add(np.full(100, 5.0))
    h.add(np.arange(1000.0, 1100.0))  # half outside the edges: found again, over both
    assert h.lo < 5 and h.hi > 1099 and h.window().sum() == 100
    for _ in range(3):
        h.advance()
    assert h.window().sum() == 0  # older than the window


def test_view_without_bokeh_names_the_extra(tmp_path):
    blocked = (
        "import sys\n"
        "import vornkit, vornkit.cli\n"
        "assert not [m for m in sys.modules if m.startswith(('bokeh', 'tornado'))]\n"
        "sys.modules['bokeh'] = None  # as if not installed\n"
        "sys.exit(vornkit.cli.main(['view', sys.argv[1]]))\n"
    )
    out = run_python(blocked, str(tmp_path))
    assert out.returncode == 1 and 'pip install "vorn[view]"' in out.stderr, out.stderr


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def get_status(port):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/status", timeout=5) as r:
        return json.load(r)


def wait_for(what, timeout=30, step=0.2):
    """Polls `what` until it returns a true value, and returns it; fails after `timeout` seconds."""
    end = time.monotonic() + timeout
    while True:
        got = what()
        if got:
            return got
        if time.monotonic() > end:
            pytest.fail(f"timed out waiting for {getattr(what, '__name__', what)}")
        time.sleep(step)


class Server:
    """`vornkit view TARGET` in a subprocess on a free port of the loopback."""

    def __init__(self, target, *args):
        pytest.importorskip("bokeh")
        self.port = free_port()
        cmd = [sys.executable, "-m", "vornkit", "view", str(target), "--port", str(self.port), *args]
        self.proc = subprocess.Popen(cmd, env=child_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def status(self):
        try:
            return get_status(self.port)
        except OSError:
            assert self.proc.poll() is None, self.proc.communicate()
            return None

    def close(self):
        self.proc.terminate()
        out, err = self.proc.communicate(timeout=10)
        return out, err


class Writer(threading.Thread):
    """Appends WD2 records to run1.wd2 in pieces that cut records, then to run2.wd2, until `rotate` and `stop`."""

    def __init__(self, folder, samples=256):
        super().__init__(daemon=True)
        self.folder, self.samples = folder, samples
        self.rotate, self.stop = threading.Event(), threading.Event()
        self.written = 0

    def run(self):
        counter, name = 0, "run1.wd2"
        rng = np.random.default_rng(7)
        t = np.arange(self.samples) - self.samples // 3
        shape = np.where(t >= 0, 1 - np.exp(-np.clip(t, 0, None) / 2.0), 0) * np.exp(-np.clip(t, 0, None) / 25.0)
        while not self.stop.is_set():
            if self.rotate.is_set():
                name = "run2.wd2"
            heights = rng.exponential(60, 20)
            data = pulses(counter, 20, self.samples, heights=heights, noise=1.5, seed=counter, shape=shape)
            with open(self.folder / name, "ab") as f:
                for piece in range(0, len(data), 5000):
                    f.write(data[piece : piece + 5000])
                    f.flush()
            counter += 20
            self.written = counter
            time.sleep(0.05)


def test_status_endpoint_follows_the_run(tmp_path):
    (tmp_path / "run1.wd2").write_bytes(pulses(0, 50))
    server = Server(tmp_path, "--stall", "60")
    try:
        first = wait_for(lambda: (s := server.status()) and s["events"] == 50 and s)
        assert first["file"] == str(tmp_path / "run1.wd2") and first["kind"] == "WD2"
        assert first["bytes"] == first["size"] == (tmp_path / "run1.wd2").stat().st_size
        assert first["gaps"] == first["damaged_spans"] == 0 and first["alarm"] is False
        with open(tmp_path / "run1.wd2", "ab") as f:
            f.write(b"\xff" * 36 + pulses(50, 30)[:-10])  # damaged bytes; the last record not whole yet
        assert wait_for(lambda: (s := server.status())["events"] == 79 and s["damaged_spans"] == 1)
        (tmp_path / "run2.wd2").write_bytes(pulses(200, 5))
        later = wait_for(lambda: (s := server.status())["file"].endswith("run2.wd2") and s["events"] == 84 and s)
        assert later["files"] == 2 and later["gaps"] == 0  # counters start again in a new file
        page = urllib.request.urlopen(f"http://127.0.0.1:{server.port}/", timeout=10).read().decode()
        assert "vornkit view" in page and "bokeh" in page
    finally:
        out, err = server.close()
    assert f"http://127.0.0.1:{server.port}/" in out
    assert "Traceback" not in err, err


# --- the page in a real browser ------------------------------------------------------------

# The text of the status bar's parts and the plots' state, from inside Bokeh's shadow roots.
PAGE_STATE = """
function find(node, sel) {
  const hit = node.querySelector(sel); if (hit) return hit;
  for (const el of node.querySelectorAll('*'))
    if (el.shadowRoot) { const h = find(el.shadowRoot, sel); if (h) return h; }
  return null;
}
const text = (sel) => { const el = find(document, sel); return el ? el.textContent : null; };
const out = {events: text('.vk-events'), file: text('.vk-file'), alarm: text('.vk-alarm'), drawn: false, points: 0};
if (window.Bokeh && Bokeh.documents.length) {
  const roots = Object.values(Bokeh.index);
  out.drawn = roots.length > 0 && roots.every((v) => v.has_finished());
  for (const m of Bokeh.documents[0].all_models)
    if (m.data && m.data.y) out.points += m.data.y.length;
}
out.canvases = 0;
(function count(node) { for (const el of node.querySelectorAll('*')) { if (el.tagName == 'CANVAS') out.canvases++;
  if (el.shadowRoot) count(el.shadowRoot); } })(document);
return out;
"""


def chromium():
    """A headless Chromium under Selenium, from the distribution's browser and driver (nothing is fetched)."""
    if SANITIZED:
        pytest.skip("the sanitizers' preload is no place for a browser")
    if os.environ.get("VORN_REQUIRE_BROWSER"):
        missing = [p for p in (CHROMIUM, CHROMEDRIVER) if not os.access(p, os.X_OK)]
        assert not missing, f"missing {missing}: apt-get install chromium chromium-driver"
    elif not (os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)):
        pytest.skip("no Chromium (apt-get install chromium chromium-driver)")
    webdriver = pytest.importorskip("selenium.webdriver")
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--window-size=1600,820"):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(options=options, service=Service(CHROMEDRIVER))


@pytest.mark.browser
def test_page_in_a_browser_follows_rotation_and_stall(tmp_path):
    driver = chromium()
    writer = Writer(tmp_path)
    writer.start()
    wait_for(lambda: writer.written >= 40)
    server = Server(tmp_path, "--stall", "4", "--clock", "1e6")
    artifacts = ROOT / "build" / "artifacts"
    artifacts.mkdir(parents=True, exist_ok=True)
    try:
        wait_for(server.status)
        driver.get(f"http://127.0.0.1:{server.port}/")
        page = lambda: driver.execute_script(PAGE_STATE)  # noqa: E731
        first = wait_for(lambda: (p := page())["drawn"] and p["events"] and p["points"] and p)
        assert first["canvases"] >= 6 and str(tmp_path / "run1.wd2") in first["file"]
        on_page = int(first["events"].split()[-1])
        at = server.status()["events"]
        assert wait_for(lambda: int(page()["events"].split()[-1]) > on_page)
        assert wait_for(lambda: server.status()["events"] > at)
        # A second browser watching too; closing it stops nothing.
        driver.switch_to.new_window("tab")
        driver.get(f"http://127.0.0.1:{server.port}/")
        wait_for(lambda: page()["drawn"] and page()["events"])
        driver.close()
        driver.switch_to.window(driver.window_handles[0])
        writer.rotate.set()
        after = wait_for(lambda: (p := page())["file"] and "run2.wd2" in p["file"] and p)
        assert after["alarm"] is None and int(after["events"].split()[-1]) > on_page
        time.sleep(1.5)  # a few more points on the time series for the picture
        driver.save_screenshot(str(artifacts / "view.png"))
        if os.environ.get("VORN_DOCS_SCREENSHOT"):
            shutil.copy(artifacts / "view.png", ROOT / "docs" / "view.png")
        writer.stop.set()
        writer.join()
        stalled = wait_for(lambda: (p := page())["alarm"] and p, timeout=30)
        assert "no event for" in stalled["alarm"]
        status = server.status()
        assert status["alarm"] and status["events"] == writer.written  # every event written, once
        assert status["file"].endswith("run2.wd2") and status["files"] == 2
        driver.save_screenshot(str(artifacts / "view-stalled.png"))
        errors = [e for e in driver.get_log("browser") if e["level"] == "SEVERE"]
        assert not errors, errors
    finally:
        writer.stop.set()
        driver.quit()
        _, err = server.close()
    assert "Traceback" not in err, err
