"""`vornkit view`: a live page of a run being written, served by Bokeh's server.

One reading thread follows the run and keeps the latest state in bounded buffers (`Monitor`);
each browser session draws from that state once a second (`_Page`), so the reading never
waits for a browser and a slow browser only misses frames: the latest waveforms are drawn,
every event is counted into the histograms. `GET /status` gives the same state as JSON.
Bokeh is imported here only (`pip install "vorn[view]"`).
"""

from __future__ import annotations

import collections
import dataclasses
import html
import json
import logging
import os
import sys
import threading
import time
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, Literal

import numpy as np

from ._follow import Chunk, Follower, FollowStats
from ._layouts import Kind
from ._read import Columns

if TYPE_CHECKING:
    from bokeh.document import Document
    from bokeh.models import ColumnDataSource
    from bokeh.models.widgets import Div
    from bokeh.plotting import figure as Figure

EXTRA = 'pip install "vorn[view]"'  # what brings Bokeh
HIST_BINS = 80
HIST_SECONDS = 60  # the rolling histograms hold the events of the last minute
HISTORY = 3600  # points of each time series: an hour at one a second
PERSISTENCE = 20  # waveforms overlaid per channel
MAX_CHANNELS = 16  # channels drawn at most
RATE_SECONDS = 3.0  # the status bar's rates are over this many seconds
POLL = 0.2
COLORS = ("#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2", "#7f7f7f")
LOOPBACK = ("127.0.0.1", "localhost", "::1")


@dataclasses.dataclass(frozen=True)
class Options:
    """What `vornkit view` was asked to show. baseline/gate: sample ranges [a, b) (None: the
    first eighth of each waveform / all of it after the baseline); clock: timestamp ticks per
    second (None: rates from arrival); stall: seconds without an event that raise the alarm."""

    target: str
    kind: Kind | None = None
    channels: int | None = None
    baseline: tuple[int, int] | None = None
    gate: tuple[int, int] | None = None
    polarity: Literal["negative", "positive"] = "negative"
    clock: float | None = None
    stall: float = 10.0
    persistence: int = PERSISTENCE


def _features(cols: Columns, kind: str, options: Options) -> tuple[dict[str, np.ndarray], int]:
    """The amplitude, charge, baseline and RMS of each record of a chunk and channel, each
    (events, channels), and the channel count (WD1: 1, the board channel in its header)."""
    from ._features import compute

    channels = 1
    per = int(cols["n_samples"][0])
    if kind == "WD2":
        per = int(cols["samples"][0])
        channels = int(cols["n_samples"][0]) // per if per else 1
    baseline = options.baseline or (0, max(1, per // 8))  # the first eighth
    f = compute(
        cols,
        "WD2" if kind == "WD2" else "WD1",
        channels,
        baseline=baseline,
        gate=options.gate,
        polarity=options.polarity,
    )
    names = {"amplitude": "amplitude", "charge": "integral", "baseline": "baseline", "rms": "rms"}
    return {k: f[v].reshape(len(cols["n_samples"]), channels) for k, v in names.items()}, channels


def _waves(cols: Columns, channels: int, rows: np.ndarray) -> list[np.ndarray]:
    """The samples of the records `rows` of a chunk, each channels x samples (float32)."""
    starts = np.zeros(len(cols["n_samples"]) + 1, np.int64)
    np.cumsum(cols["n_samples"], out=starts[1:])
    data = cols["data"]
    return [data[starts[r] : starts[r + 1]].reshape(channels, -1).astype(np.float32) for r in rows.tolist()]


class _Rolling:
    """A histogram of the values of the last `slots` seconds, on edges found from the values and
    found again when a tenth of them fall outside."""

    def __init__(self, bins: int = HIST_BINS, slots: int = HIST_SECONDS) -> None:
        self.bins = bins
        self.counts = np.zeros((slots, bins), np.int64)
        self.outside = np.zeros(slots, np.int64)
        self.slot = 0
        self.lo, self.hi = 0.0, 0.0
        self.version = 0  # changes with the edges

    @property
    def edges(self) -> np.ndarray:
        return np.linspace(self.lo, self.hi, self.bins + 1)

    def _range(self, values: np.ndarray) -> None:
        lo, hi = (float(v) for v in np.percentile(values, [0.5, 99.5]))
        pad = (hi - lo) * 0.25 or max(abs(lo) * 0.1, 1.0)
        self.lo, self.hi = lo - pad, hi + pad
        self.counts[:] = 0
        self.outside[:] = 0
        self.version += 1

    def add(self, values: np.ndarray) -> None:
        values = values[np.isfinite(values)]
        if not len(values):
            return
        if self.version == 0:
            self._range(values)
        pos = (values - self.lo) * (self.bins / (self.hi - self.lo))
        inside = (pos >= 0) & (pos < self.bins)
        outside = int(self.outside.sum()) + len(values) - int(inside.sum())
        total = int(self.counts.sum()) + len(values)
        if outside > 0.1 * total and total >= 50:  # edges found again, over the old ones too: counted from here
            self._range(np.concatenate([values, [self.lo, self.hi]]))
            pos = (values - self.lo) * (self.bins / (self.hi - self.lo))
            inside = (pos >= 0) & (pos < self.bins)
        self.outside[self.slot] += len(values) - int(inside.sum())
        self.counts[self.slot] += np.bincount(pos[inside].astype(np.intp), minlength=self.bins)

    def advance(self) -> None:
        self.slot = (self.slot + 1) % len(self.counts)
        self.counts[self.slot] = 0
        self.outside[self.slot] = 0

    def window(self) -> np.ndarray:
        return np.asarray(self.counts.sum(axis=0))


class _Channel:
    """What is kept of one channel: its last waveforms, histograms and the sums of this second."""

    def __init__(self, persistence: int) -> None:
        self.waves: collections.deque[tuple[int, np.ndarray]] = collections.deque(maxlen=persistence)
        self.amplitude = _Rolling()
        self.charge = _Rolling()
        self.sums = np.zeros(3)  # events, baseline and RMS summed over this second


@dataclasses.dataclass
class Snapshot:
    """What a page needs to draw, copied from the state: the waveforms and points after the ones it has."""

    status: dict[str, Any]
    labels: list[int]
    waves: dict[int, list[tuple[int, np.ndarray]]]
    hists: dict[int, dict[str, tuple[int, np.ndarray, np.ndarray]]]  # feature: (version, edges, counts)
    points: list[tuple[int, float, float, dict[int, tuple[float, float]]]]  # seq, ms, rate, ch: (base, rms)


class State:
    """The latest state of a follow, bounded: added to by the reading thread, read by the pages."""

    def __init__(self, options: Options) -> None:
        self.options = options
        self.lock = threading.Lock()
        self.kind: str = options.kind or "WD1"
        self.follow = FollowStats()  # the follow's counts, copied after each chunk
        self.damaged = 0  # damaged spans passed over
        self.passed_over = 0  # files that are not runs, left out
        self.channels: dict[int, _Channel] = {}
        self.wave_seq = 0
        self.points: collections.deque[tuple[int, float, float, dict[int, tuple[float, float]]]] = collections.deque(
            maxlen=HISTORY
        )
        self.point_seq = 0
        self.started = time.monotonic()
        self.last_event: float | None = None
        self.recent: collections.deque[tuple[float, int, int]] = collections.deque()  # (time, events, bytes)
        self.size = 0
        self.grew = time.monotonic()  # when the current file last grew
        self.error: str | None = None
        # timestamps: the last of this second and of the second before (with --clock)
        self.tick_events = 0
        self.tick_first_ts: int | None = None
        self.tick_last_ts: int | None = None
        self.prev_ts: int | None = None
        self.rate_written: float | None = None
        self.kind_name: str | None = options.kind  # None until recognised
        self.waiting: str | None = None  # what the follow waits for

    def add(self, chunk: Chunk, stats: FollowStats) -> None:
        """Counts a chunk of the follow (cols None after a poll) into the state; `stats`: the
        follow's counts after it."""
        cols = chunk.cols
        feats = None
        if cols is not None and len(cols["n_samples"]) and cols["n_samples"][0]:
            feats = _features(cols, self.kind, self.options)
        now = time.monotonic()
        with self.lock:
            if chunk.path and chunk.path != self.follow.path:
                self.prev_ts = self.tick_first_ts = self.tick_last_ts = None  # a new file's clock
                self.tick_events = 0
                self.grew = now
            size = stats.file_size or 0
            if size != self.size:
                self.size, self.grew = size, now
            # The scalars only: the lists grow with the run.
            self.follow = dataclasses.replace(stats, damaged=[], passed_over=[])
            self.damaged, self.passed_over = len(stats.damaged), len(stats.passed_over)
            self.waiting = stats.waiting
            if cols is None or not len(cols["n_samples"]):
                return
            n = len(cols["n_samples"])
            self.last_event = now
            self.grew = now
            self.tick_events += n
            ts = cols["timestamp"]
            if self.tick_first_ts is None:
                self.tick_first_ts = int(ts[0])
            self.tick_last_ts = int(ts[-1])
            if feats is not None:
                self._add_features(cols, *feats)

    def _add_features(self, cols: Columns, f: dict[str, np.ndarray], channels: int) -> None:
        persistence = self.options.persistence
        if self.kind == "WD2":  # a column per channel
            tail = np.arange(max(0, len(cols["n_samples"]) - persistence), len(cols["n_samples"]))
            waves = _waves(cols, channels, tail)
            for col in range(channels):
                ch = self._channel(col)
                if ch is None:
                    continue
                self._count(ch, {k: v[:, col] for k, v in f.items()})
                for w in waves:
                    self.wave_seq += 1
                    ch.waves.append((self.wave_seq, w[col]))
            return
        labels = cols["board_channel"]
        for label in np.unique(labels).tolist():  # WD1: a channel per board channel
            ch = self._channel(int(label))
            if ch is None:
                continue
            rows = np.flatnonzero(labels == label)
            self._count(ch, {k: v[rows, 0] for k, v in f.items()})
            for w in _waves(cols, 1, rows[-persistence:]):
                self.wave_seq += 1
                ch.waves.append((self.wave_seq, w[0]))

    def _channel(self, label: int) -> _Channel | None:
        ch = self.channels.get(label)
        if ch is None and len(self.channels) < MAX_CHANNELS:
            ch = self.channels[label] = _Channel(self.options.persistence)
        return ch

    @staticmethod
    def _count(ch: _Channel, f: dict[str, np.ndarray]) -> None:
        ch.amplitude.add(f["amplitude"])
        ch.charge.add(f["charge"])
        ch.sums += (len(f["baseline"]), float(f["baseline"].sum()), float(f["rms"].sum()))

    def tick(self) -> None:
        """Closes a second: a point of each time series, a slot of the rolling histograms."""
        now = time.monotonic()
        with self.lock:
            f = self.follow
            self.recent.append((now, f.events - f.catchup_events, f.nbytes))
            while len(self.recent) > 2 and now - self.recent[1][0] >= RATE_SECONDS:
                self.recent.popleft()
            arrival = self._arrival()[0]
            rate = arrival
            if self.options.clock and self.tick_last_ts is not None:
                ref, n = self.prev_ts, self.tick_events
                if ref is None:
                    ref, n = self.tick_first_ts, n - 1
                assert ref is not None
                span = (self.tick_last_ts - ref) % (1 << 32 if self.kind == "WD1" else 1 << 64)
                if span > 0 and n > 0:
                    self.rate_written = n * self.options.clock / span
                self.prev_ts = self.tick_last_ts
            if self.options.clock:
                rate = self.rate_written if self.tick_events and self.rate_written is not None else 0.0
            per: dict[int, tuple[float, float]] = {}
            for label, ch in self.channels.items():
                k, b, r = ch.sums
                per[label] = (b / k, r / k) if k else (float("nan"), float("nan"))
                ch.sums[:] = 0
                ch.amplitude.advance()
                ch.charge.advance()
            self.point_seq += 1
            self.points.append((self.point_seq, time.time() * 1000, rate, per))
            self.tick_events = 0
            self.tick_first_ts = self.tick_last_ts = None

    def _arrival(self) -> tuple[float, float]:
        if len(self.recent) < 2:
            return 0.0, 0.0
        (t0, e0, b0), (t1, e1, b1) = self.recent[0], self.recent[-1]
        dt = t1 - t0
        return ((e1 - e0) / dt, (b1 - b0) / dt) if dt > 0 else (0.0, 0.0)

    def status(self) -> dict[str, Any]:
        """The status as JSON-ready values: file, size, events, rates, gaps, damage, the alarm."""
        with self.lock:
            return self._status()

    def _status(self) -> dict[str, Any]:
        now = time.monotonic()
        f = self.follow
        events_per_s, bytes_per_s = self._arrival()
        since = now - (self.last_event if self.last_event is not None else self.started)
        alarm = None
        if self.error is not None:
            alarm = self.error
        elif f.newer is not None and now - self.grew >= self.options.stall:
            alarm = f"a newer file appeared ({os.path.basename(f.newer)}) and {f.path} stopped growing"
        elif since >= self.options.stall:
            alarm = f"no event for {since:.0f} s"
        written = self.options.clock is not None and self.rate_written is not None and since < RATE_SECONDS
        return {
            "file": f.path or None,
            "waiting_for": self.waiting,
            "files": f.files,
            "size": self.size,
            "kind": self.kind_name,
            "events": f.events,
            "bytes": f.nbytes,
            "catchup_events": f.catchup_events,
            "caught_up": f.caught_up,
            "rate": (self.rate_written if written else 0.0) if self.options.clock else events_per_s,
            "rate_from": "timestamps" if self.options.clock else "arrival",
            "read_events_per_s": events_per_s,
            "mb_per_s": bytes_per_s / 1e6,
            "gaps": f.gaps,
            "missing": f.missing,
            "damaged_spans": self.damaged,
            "passed_over": self.passed_over,
            "newer_file": f.newer,
            "seconds_since_last_event": round(since, 3) if self.last_event is not None else None,
            "seconds_without_event": round(since, 3),
            "alarm": alarm is not None,
            "alarm_reason": alarm,
        }

    def snapshot(self, wave_seq: int, point_seq: int) -> Snapshot:
        """A copy of what changed after the waveform and point numbers a page has drawn."""
        with self.lock:
            status = self._status()
            labels = sorted(self.channels)
            waves = {k: [w for w in ch.waves if w[0] > wave_seq] for k, ch in self.channels.items()}
            hists = {
                k: {
                    name: (h.version, h.edges, h.window())
                    for name, h in (("amplitude", ch.amplitude), ("charge", ch.charge))
                }
                for k, ch in self.channels.items()
            }
            points = [p for p in self.points if p[0] > point_seq] if point_seq < self.point_seq else []
        return Snapshot(status, labels, waves, hists, points)


class Monitor:
    """The reading thread: follows `options.target` into a `State` until `stop`."""

    def __init__(self, options: Options) -> None:
        self.options = options
        self.state = State(options)
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._run, name="vornkit-view-reader", daemon=True)

    def start(self) -> None:
        """Starts the reading thread."""
        self.thread.start()

    def close(self) -> None:
        """Stops the reading thread and waits for it."""
        self.stop.set()
        self.thread.join(5)

    def _kind(self) -> Kind | None:
        from .cli import _recognised

        def waiting(text: str) -> None:
            with self.state.lock:
                self.state.waiting = self.options.target

        while not self.stop.is_set():
            try:
                kind = _recognised(self.options.target, self.options.channels, POLL, 1.0, waiting)
            except FileNotFoundError:  # not there yet: waited for, as long as it takes
                continue
            if kind is not None:
                return kind
        return None

    def _run(self) -> None:
        state = self.state
        try:
            kind = self.options.kind or self._kind()
            if kind is None:
                return
            with state.lock:
                state.kind = state.kind_name = kind
            follower = Follower(self.options.target, kind, self.options.channels, POLL, None, self.stop, "skip")
            for chunk in follower.chunks():
                state.add(chunk, follower.stats)
        except Exception as e:  # shown on the page and in /status; the server stays up
            with state.lock:
                state.error = f"{type(e).__name__}: {e}"
            print(f"vornkit view: {e}", file=sys.stderr, flush=True)


def _status_html(s: dict[str, Any]) -> str:
    def item(name: str, value: str) -> str:
        return f'<span class="vk-{name}"><b>{name.replace("_", " ")}</b> {html.escape(value)}</span>'

    since = s["seconds_since_last_event"]
    if s["waiting_for"] or not s["file"]:
        where = f"waiting for {s['waiting_for'] or 'a run'}"
    else:
        where = f"{s['file']} ({s['size'] / 1e6:.1f} MB)"
    parts = [
        item("file", where),
        item("events", str(s["events"])),
        item("rate", f"{s['rate']:.1f} ev/s ({s['rate_from']})"),
        item("read", f"{s['mb_per_s']:.2f} MB/s"),
        item("gaps", str(s["gaps"]) + (f" ({s['missing']} missing)" if s["missing"] else "")),
        item("damaged", str(s["damaged_spans"])),
        *([item("catch_up", f"{s['catchup_events']} ev read at once")] if s["catchup_events"] else []),
        item("last_event", "-" if since is None else f"{since:.1f} s ago"),
    ]
    if s["alarm"]:
        parts.append(f'<span class="vk-alarm"><b>ALARM</b> {html.escape(s["alarm_reason"])}</span>')
    return " &nbsp;·&nbsp; ".join(parts)


def _status_styles(alarm: bool) -> dict[str, str | None]:
    colour = ("#c62828", "white") if alarm else ("#e8f5e9", "#1b1b1b")
    return {"background-color": colour[0], "color": colour[1], "padding": "6px 10px", "font-size": "14px"}


class _Plots:
    """The models of one page, built for the channels `labels`, drawn from the state's snapshots."""

    def __init__(self, state: State, labels: list[int]) -> None:
        from bokeh.layouts import column, gridplot
        from bokeh.models import ColumnDataSource
        from bokeh.models.widgets import Div
        from bokeh.plotting import figure

        self.state = state
        self.labels = labels
        self.wave_seq = self.point_seq = 0
        self.status = Div(text="", css_classes=["vk-status"])
        self.status.name = "status"

        def fig(title: str, label: str | None = None, time_axis: bool = False) -> Figure:
            return figure(
                title=title,
                x_axis_label=label,
                x_axis_type="datetime" if time_axis else "linear",
                height=300,
                sizing_mode="stretch_width",
                tools="pan,box_zoom,wheel_zoom,reset,save",
            )

        fig_wave = fig("waveforms (latest, and the last ones faint)", "sample")
        fig_amp = fig(f"amplitude, last {HIST_SECONDS} s", "ADC")
        fig_charge = fig(f"charge (sum over the gate), last {HIST_SECONDS} s", "ADC x sample")
        fig_base = fig("baseline", time_axis=True)
        fig_rms = fig("noise (RMS)", time_axis=True)
        clock = "timestamps" if self.state.options.clock else "arrival"
        fig_rate = fig(f"trigger rate (ev/s, from {clock})", time_axis=True)
        self.latest: dict[int, ColumnDataSource] = {}
        self.faint: dict[int, ColumnDataSource] = {}
        self.hist: dict[tuple[int, str], ColumnDataSource] = {}
        self.versions: dict[tuple[int, str], int] = {}
        self.series: dict[int, ColumnDataSource] = {}
        for i, label in enumerate(labels):
            colour = COLORS[i % len(COLORS)]
            name = f"ch{label}"
            self.faint[label] = ColumnDataSource({"xs": [], "ys": []})
            fig_wave.multi_line("xs", "ys", source=self.faint[label], color=colour, alpha=0.15)
            self.latest[label] = ColumnDataSource({"x": [], "y": []})
            fig_wave.line("x", "y", source=self.latest[label], color=colour, line_width=1.5, legend_label=name)
            for feature, hist_fig in (("amplitude", fig_amp), ("charge", fig_charge)):
                s = self.hist[(label, feature)] = ColumnDataSource({"left": [], "right": [], "top": []})
                hist_fig.quad(
                    left="left",
                    right="right",
                    top="top",
                    bottom=0,
                    source=s,
                    color=colour,
                    alpha=0.45,
                    legend_label=name,
                )
                self.versions[(label, feature)] = -1
            s = self.series[label] = ColumnDataSource({"t": [], "base": [], "rms": []})
            fig_base.line("t", "base", source=s, color=colour, legend_label=name)
            fig_rms.line("t", "rms", source=s, color=colour, legend_label=name)
        self.rate = ColumnDataSource({"t": [], "rate": []})
        fig_rate.line("t", "rate", source=self.rate, color="black")
        for f in (fig_wave, fig_amp, fig_charge, fig_base, fig_rms):
            if labels:  # see-through, and for the waveforms where the pulses are not
                low = f is fig_wave and self.state.options.polarity == "negative"
                f.legend.location = "bottom_right" if low else "top_right"
                f.legend.background_fill_alpha = 0.5
                f.legend.click_policy = "hide"
        self.figures: list[Figure] = [fig_wave, fig_amp, fig_charge, fig_base, fig_rms, fig_rate]
        grid = gridplot(
            [[fig_wave, fig_amp, fig_charge], [fig_base, fig_rms, fig_rate]],
            sizing_mode="stretch_width",
            toolbar_location="right",
        )
        self.root = column(self.status, grid, sizing_mode="stretch_width", name="vornkit-view")
        self.draw()

    def draw(self) -> bool:
        """Draws what changed in the state since the last call; False when the channels changed."""
        snap = self.state.snapshot(self.wave_seq, self.point_seq)
        if snap.labels != self.labels:
            return False
        status: Div = self.status
        status.text = _status_html(snap.status)
        status.styles = _status_styles(snap.status["alarm"])
        n = self.state.options.persistence
        for label, waves in snap.waves.items():
            if label not in self.latest or not waves:
                continue
            x = np.arange(len(waves[-1][1]))
            self.latest[label].data = {"x": x, "y": waves[-1][1]}
            self.faint[label].stream({"xs": [x] * len(waves), "ys": [w for _, w in waves]}, rollover=n)
            self.wave_seq = max(self.wave_seq, waves[-1][0])
        for label, hists in snap.hists.items():
            for feature, (version, edges, counts) in hists.items():
                src = self.hist.get((label, feature))
                if src is None:
                    continue
                if version != self.versions[(label, feature)]:
                    src.data = {"left": edges[:-1], "right": edges[1:], "top": counts}
                    self.versions[(label, feature)] = version
                else:
                    src.patch({"top": [(slice(0, len(counts)), counts)]})
        if snap.points:
            t = [p[1] for p in snap.points]
            self.rate.stream({"t": t, "rate": [p[2] for p in snap.points]}, rollover=HISTORY)
            for label, src in self.series.items():
                values = [p[3].get(label, (float("nan"), float("nan"))) for p in snap.points]
                src.stream({"t": t, "base": [v[0] for v in values], "rms": [v[1] for v in values]}, rollover=HISTORY)
            self.point_seq = snap.points[-1][0]
        return True


class _Spare:
    """A page's models built ahead of the next browser, off its request: building them takes
    Bokeh a few hundred milliseconds, which would otherwise delay the first plot."""

    def __init__(self, state: State) -> None:
        from bokeh.core.templates import get_env

        self.state = state
        self.plots: _Plots | None = None
        self.taken = 0.0  # when a page last took the spare
        self.template = get_env().from_string("{% extends base %}\n" + PAGE)

    def fill(self) -> None:
        """Builds the spare models if there are none, or none for the channels seen now; not while
        the last page taken is still being loaded (its document is sent from the same loop)."""
        if time.monotonic() - self.taken < 3:
            return
        with self.state.lock:
            labels = sorted(self.state.channels)
        if self.plots is None or self.plots.labels != labels:
            self.plots = _Plots(self.state, labels)

    def take(self) -> _Plots:
        """Models up to date, the spare ones when their channels are still the state's."""
        plots, self.plots = self.plots, None
        self.taken = time.monotonic()
        if plots is None or not plots.draw():
            plots = _Plots(self.state, self.state.snapshot(0, 0).labels)
        return plots


# Bokeh's page for a server session loads every bundle of BokehJS: the page leaves out those of
# models it has none of (LaTeX, tables, WebGL), 2.3 of its 4 MB of JavaScript.
PAGE = """
{% block js_resources %}
{%- for line in bokeh_js.split("\n") if not ("mathjax" in line or "bokeh-tables" in line or "bokeh-gl" in line) %}
{{ line }}
{%- endfor %}
{% endblock %}
"""


class _Page:
    """One browser session's document, updated from the state once a second."""

    def __init__(self, doc: Document, spare: _Spare) -> None:
        from tornado.ioloop import IOLoop

        self.doc = doc
        self.spare = spare
        self.plots = spare.take()
        doc.title = "vornkit view"
        doc.template = spare.template
        doc.add_root(self.plots.root)
        doc.add_periodic_callback(self.update, 1000)
        IOLoop.current().add_callback(spare.fill)  # after this page is sent

    def update(self) -> None:
        """The periodic callback: draws what changed since the last call."""
        if not self.plots.draw():  # other channels: the page built again for them
            self.plots = _Plots(self.spare.state, self.spare.state.snapshot(0, 0).labels)
            self.doc.clear()
            self.doc.add_root(self.plots.root)


def _status_handler(state: State) -> type[Any]:
    from tornado.web import RequestHandler

    class StatusHandler(RequestHandler):
        def get(self) -> None:
            self.set_header("Content-Type", "application/json")
            self.set_header("Cache-Control", "no-store")
            self.write(json.dumps(state.status()))

    return StatusHandler


def serve(
    options: Options, host: str = "127.0.0.1", port: int = 5006, ready: Callable[[int], None] | None = None
) -> None:
    """Follows the run and serves the page on host:port until interrupted (`ready` is called
    with the port once listening)."""
    from bokeh.application import Application
    from bokeh.application.handlers.function import FunctionHandler
    from bokeh.server.server import Server
    from tornado.ioloop import PeriodicCallback

    # A browser closed while its page was being updated is no event to report.
    logging.getLogger("bokeh.server.views.ws").setLevel(logging.ERROR)
    monitor = Monitor(options)
    state = monitor.state
    origins = [f"{h}:{port}" for h in ("127.0.0.1", "localhost")] if host in LOOPBACK else ["*"]

    spare = _Spare(state)

    def page(doc: Document) -> None:
        _Page(doc, spare)

    app = Application(FunctionHandler(page))
    server = Server(
        {"/": app},
        address=host,
        port=port,
        allow_websocket_origin=origins,
        extra_patterns=[("/status", _status_handler(state))],
        check_unused_sessions_milliseconds=5000,
        unused_session_lifetime_milliseconds=5000,
    )
    server.start()
    ticks = PeriodicCallback(state.tick, 1000)
    spares = PeriodicCallback(spare.fill, 1000)
    monitor.start()
    ticks.start()
    spares.start()
    if ready is not None:
        ready(port)
    try:
        server.io_loop.start()
    finally:
        ticks.stop()
        spares.stop()
        monitor.close()
        server.stop()
