"""`vornkit view` under an acquisition: does it keep up, what CPU and memory does its server take,
how soon is the first plot drawn.

    python bench/view.py [--rate 20] [--total 2] [--rotate 256] [--browser] [--json FILE]

A writer process (pinned to the second core) writes 2 x 1024-sample WD2 records (float32, with
channel words: 8220 bytes each) at --rate MB/s (0: as fast as it can) into a temporary directory,
a new file every --rotate MB, deleting the one before the previous (so --total GB can be
simulated on little disk), until --total GB are written. The server (`python -m vornkit view
DIR`) runs pinned to the first core; its CPU share and resident size are sampled each second
from /proc, and /status says how far behind the writer it is. With --browser a headless
Chromium (the distribution's, under Selenium) keeps the page open throughout (pinned with the
writer), and the time from asking for the page to its plots drawn is reported.

Targets: keeps up at 50 MB/s (events on /status equal the events written, at the end); server
CPU under 50 % of a core at 20 MB/s; first plot within 2 s of loading the page; resident size
under 300 MB over 5 GB written.
"""

import argparse
import json
import os
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
SAMPLES, CHANNELS = 1024, 2
RECORD = np.dtype(
    [
        ("event_counter", "<u4"),
        ("timestamp", "<u8"),
        ("samples", "<u4"),
        ("sampling_period", "<u8"),
        ("channels", "<i4"),
        ("data", "<f4", (CHANNELS, SAMPLES)),
    ]
)
CLOCK = 125e6  # timestamp ticks per second, as written by the writer


def writer(folder, rate, total, rotate, batch=64):
    """Writes records at `rate` MB/s (0: at once) until `total` bytes; prints the events written."""
    os.sched_setaffinity(0, {1 % os.cpu_count()})
    rng = np.random.default_rng(1)
    recs = np.zeros(batch * 8, RECORD)  # eight batches of distinct waveforms, reused
    t = np.arange(SAMPLES) - 300
    shape = np.where(t >= 0, 1 - np.exp(-np.clip(t, 0, None) / 3), 0) * np.exp(-np.clip(t, 0, None) / 60)
    recs["data"] = 100 + rng.normal(0, 2, recs["data"].shape)
    recs["data"] -= rng.exponential(40, (len(recs), CHANNELS, 1)) * shape
    recs["samples"], recs["sampling_period"], recs["channels"] = SAMPLES, 8000, CHANNELS
    written = events = files = 0
    f = None
    start = time.monotonic()
    while written < total:
        if f is None or f.tell() >= rotate:
            if f is not None:
                f.close()
            old = os.path.join(folder, f"run{files - 2:05d}.wd2")
            if files >= 2 and os.path.exists(old):
                os.remove(old)  # the follower left it long ago
            f = open(os.path.join(folder, f"run{files:05d}.wd2"), "wb")
            files += 1
        part = recs[(events // batch) % 8 * batch :][:batch]
        part["event_counter"] = np.arange(events, events + batch) % (1 << 32)
        part["timestamp"] = (np.arange(events, events + batch) * (CLOCK / 5000)).astype(np.uint64)
        f.write(part.tobytes())
        f.flush()
        events += batch
        written += part.nbytes
        if rate:
            ahead = written / (rate * 1e6) - (time.monotonic() - start)
            if ahead > 0:
                time.sleep(ahead)
    f.close()
    print(events, flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def status(port):
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/status", timeout=5) as r:
            return json.load(r)
    except OSError:
        return None


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS")) / 1024


def browser(port):
    """A headless Chromium on the page: (driver, seconds from asking for the page to its plots drawn)."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--window-size=1600,820"):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(options=options, service=Service("/usr/bin/chromedriver"))
    drawn = """
        if (!window.Bokeh || !Bokeh.documents.length) return false;
        const roots = Object.values(Bokeh.index);
        let points = 0;
        for (const m of Bokeh.documents[0].all_models) if (m.data && m.data.y) points += m.data.y.length;
        return roots.length > 0 && roots.every((v) => v.has_finished()) && points > 0;
    """
    took = []
    for tab in range(2):  # the first browser, then a second one (the JavaScript cached)
        if tab:
            driver.switch_to.new_window("tab")
        start = time.monotonic()
        driver.get(f"http://127.0.0.1:{port}/")
        while not driver.execute_script(drawn):
            if time.monotonic() - start > 30:
                raise RuntimeError("the page drew no plot in 30 s")
            time.sleep(0.02)
        took.append(time.monotonic() - start)
        timing = driver.execute_script(
            "const t = performance.getEntriesByType('navigation')[0];"
            "return {html: t.responseEnd, loaded: t.loadEventEnd, drawn: performance.now()};"
        )
        idle = [e["message"].rsplit('"', 2)[-2] for e in driver.get_log("browser") if "document idle" in e["message"]]
        print(
            f"page {tab + 1}: HTML at {timing['html']:.0f} ms, loaded at {timing['loaded']:.0f} ms, "
            f"drawn by {timing['drawn']:.0f} ms; BokehJS: {', '.join(idle)}",
            file=sys.stderr,
        )
    return driver, took


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rate", type=float, default=20.0, help="MB/s written (0: as fast as the writer can)")
    ap.add_argument("--total", type=float, default=2.0, help="GB written in all")
    ap.add_argument("--rotate", type=float, default=256.0, help="MB per file")
    ap.add_argument("--browser", action="store_true", help="keep a headless Chromium on the page")
    ap.add_argument("--json", help="write the results here")
    ap.add_argument("--write-to", help=argparse.SUPPRESS)  # the writer process
    args = ap.parse_args()
    if args.write_to:
        return writer(args.write_to, args.rate, args.total * 1e9, args.rotate * 1e6)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT / "src"), *sys.path]))
    out = {"rate_mb_s": args.rate, "total_gb": args.total}
    with tempfile.TemporaryDirectory() as folder:
        port = free_port()
        one_core = lambda: os.sched_setaffinity(0, {0})  # noqa: E731
        server = subprocess.Popen(
            [sys.executable, "-m", "vornkit", "view", folder, "--kind", "WD2", "--port", str(port), "--stall", "30"],
            env=env,
            preexec_fn=one_core,
            stdout=subprocess.DEVNULL,
        )
        driver = None
        try:
            while status(port) is None:
                time.sleep(0.1)
            write = subprocess.Popen(
                [sys.executable, __file__, "--rate", str(args.rate), "--total", str(args.total)]
                + ["--rotate", str(args.rotate), "--write-to", folder],
                stdout=subprocess.PIPE,
                text=True,
            )
            if args.browser:
                while not (status(port) or {}).get("events"):
                    time.sleep(0.1)
                driver, (out["first_plot_s"], out["second_page_plot_s"]) = browser(port)
            cpu0, t0 = cpu_seconds(server.pid), time.monotonic()
            cpu, rss, behind = [], [], []
            while write.poll() is None:
                time.sleep(1)
                cpu1, t1 = cpu_seconds(server.pid), time.monotonic()
                cpu.append((cpu1 - cpu0) / (t1 - t0))
                cpu0, t0 = cpu1, t1
                rss.append(rss_mb(server.pid))
                s = status(port)
                behind.append(s["mb_per_s"] if s else 0)
            written = int(write.stdout.read())
            end = time.monotonic() + 30
            while (s := status(port))["events"] < written and time.monotonic() < end:
                time.sleep(0.2)
            out.update(
                events_written=written,
                events_seen=s["events"],
                gaps=s["gaps"],
                files=s["files"],
                drained_s=round(30 - (end - time.monotonic()), 2),
                server_cpu_median=float(np.median(cpu[1:] or cpu)),
                server_cpu_max=float(np.max(cpu)),
                server_rss_mb_max=float(np.max(rss)),
                server_rss_mb_last=rss[-1],
                server_rss_mb_every_10s=[round(r) for r in rss[::10]],
                read_mb_s_median=float(np.median(behind)),
                seconds=len(cpu),
            )
        finally:
            if driver is not None:
                driver.quit()
            server.terminate()
            server.wait(10)
    print(json.dumps(out, indent=1))
    targets = [
        ("keeps up (every event seen)", out["events_seen"] == out["events_written"]),
        ("server RSS < 300 MB", out["server_rss_mb_max"] < 300),
    ]
    if args.rate and args.rate <= 20:
        targets.append(("server CPU < 50 % of a core", out["server_cpu_median"] < 0.5))
    if "first_plot_s" in out:
        targets.append(("first plot < 2 s", out["first_plot_s"] < 2))
    for name, ok in targets:
        print(f"{'PASS' if ok else 'MISS'}  {name}")
    if args.json:
        Path(args.json).write_text(json.dumps(out, indent=1))


if __name__ == "__main__":
    main()
