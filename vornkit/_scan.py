"""`scan`: one pass over a file through vorn that says what it holds and what is wrong with it."""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Iterator
from itertools import islice
from operator import itemgetter

import numpy as np

from ._arrays import COLUMNS, _sample_counts
from ._format import check_kind
from ._read import PathLike, Source

_U32 = 0xFFFFFFFF
_EXAMPLES = 5  # positions kept per kind of problem
_CHUNK = 4096  # events whose headers are checked at a time


@dataclasses.dataclass
class ScanReport:
    """What `scan` found. `problems` lists what makes a file doubtful (empty: `ok`)."""

    path: str
    kind: str
    kind_recognised: bool  # True when the format was recognised rather than given
    size: int  # bytes, for regular files
    events: int = 0
    channels: int | None = None  # WD2: the channel count the reader uses ...
    channel_reason: str = ""  # ... and why
    record_bytes: tuple[int, int] | None = None  # smallest and largest record
    samples: tuple[int, int] | None = None  # per event (WD1) or per channel (WD2), smallest and largest
    counter_gaps: int = 0  # places where event counters skip ...
    counters_missing: int = 0  # ... and how many counters they skip in all
    counter_wraps: int = 0
    counters_out_of_order: int = 0  # repeated or going back
    timestamps_backwards: int = 0  # not counting wraps
    timestamp_wraps: int = 0
    corrupt: list[tuple[int, int]] = dataclasses.field(default_factory=list)  # (event, byte offset)
    trailing_bytes: int = 0  # after the last whole record: a partial record
    read_error: str | None = None
    examples: dict[str, list[int]] = dataclasses.field(default_factory=dict)  # event indices per finding
    problems: list[str] = dataclasses.field(default_factory=list)

    @property
    def ok(self) -> bool:
        return not self.problems

    def rows(self) -> list[tuple[str, str]]:
        """(field, value) pairs, as `vornkit info` prints them."""
        rows = [("file", self.path), ("format", self.kind + (" (recognised)" if self.kind_recognised else "")),
                ("size", f"{self.size} bytes"), ("events", str(self.events))]
        if self.kind == "WD2":
            rows.append(("channels", f"{self.channels}: {self.channel_reason}"))
        rows += [("record bytes", span(self.record_bytes)),
                 ("samples" + (" per channel" if self.kind == "WD2" else ""), span(self.samples)),
                 ("counter gaps", f"{self.counter_gaps} ({self.counters_missing} counters missing)"),
                 ("counter wraps", str(self.counter_wraps)),
                 ("counters out of order", str(self.counters_out_of_order)),
                 ("timestamps backwards", f"{self.timestamps_backwards} (wraps: {self.timestamp_wraps})"),
                 ("corrupt headers", ", ".join(f"event {e} at byte {o}" for e, o in self.corrupt[:_EXAMPLES])
                  + (" ..." if len(self.corrupt) > _EXAMPLES else "") or "0"),
                 ("trailing bytes", str(self.trailing_bytes))]
        if self.read_error:
            rows.append(("read error", self.read_error))
        rows.append(("problems", "; ".join(self.problems) or "none"))
        return rows

    def __str__(self) -> str:
        rows = self.rows()
        width = max(len(k) for k, _ in rows)
        return "\n".join(f"{k:<{width}}  {v}" for k, v in rows)


def _header_chunks(src: Source, events: int) -> Iterator[dict[str, np.ndarray]]:
    """Header columns of up to `events` events at a time; each event's samples are dropped as
    soon as it is read, so memory stays small and warm."""
    names = [name for name, _ in COLUMNS[src.kind]]
    getter = itemgetter(*names)
    channels = src.probe.channels if src.probe else 1

    def columns(rows: list[tuple[int, ...]]) -> dict[str, np.ndarray]:
        cols = {name: np.fromiter(map(itemgetter(i), rows), dtype, len(rows))
                for i, (name, dtype) in enumerate(COLUMNS[src.kind])}
        src.event += len(rows)  # move past them, sized from their headers
        src.offset += src.header * len(rows) + src.item * int(_sample_counts(cols, src.kind, channels).sum())
        return cols

    while True:
        rows: list[tuple[int, ...]] = []
        parts = []
        ended = False
        while len(rows) < events:
            n0 = len(rows)
            try:
                rows.extend(map(getter, islice(src.reader, events - n0)))
            except BaseException as e:  # noqa: B036 - the reader's fault is a BaseException
                parts.append(columns(rows[n0:]))
                src.fail(e)
                continue
            parts.append(columns(rows[n0:] if n0 else rows))
            if len(rows) < events:
                ended = True
                break
        if rows:
            yield {k: np.concatenate([p[k] for p in parts]) for k in names}
        if ended:
            return


def span(r: tuple[int, int] | None) -> str:
    return "-" if r is None else str(r[0]) if r[0] == r[1] else f"{r[0]} .. {r[1]}"


def _note(report: ScanReport, key: str, where: np.ndarray, first: int) -> None:
    if where.size:
        kept = report.examples.setdefault(key, [])
        kept += [first + int(i) for i in where[: _EXAMPLES - len(kept)]]


def scan(path: PathLike, kind: str | None = None) -> ScanReport:
    """Reads a file once through vorn and reports what it holds and what is wrong with it.

    kind: "WD1" or "WD2", or None to recognise it from the first headers (FormatError for
    compressed files, other formats, or records that fit neither layout). The report has
    the event count, record sizes and sample counts, the WD2 channel count and why the
    reader chose it, event-counter gaps, wraps and disorder, timestamps going backwards,
    corrupt headers with their byte offsets, trailing bytes of a partial record, a read
    error, and `problems`, a list of sentences (empty when the file looks sound). Memory
    stays at one chunk of events whatever the file's size.
    """
    p = os.fspath(path)
    given = kind
    kind, rec, notes = check_kind(p, kind)
    report = ScanReport(p, kind, given is None, os.path.getsize(p) if rec is not None else 0)
    report.problems += notes
    try:
        src = Source(p, kind, on_corrupt="skip", check=False)
    except OSError as e:
        if not notes:
            raise
        report.read_error = str(e)  # e.g. the WD2 channel count cannot be found in a WD1 file
        _problems(report)
        return report
    if src.probe is not None:
        report.channels, report.channel_reason = src.probe.channels, src.probe.reason
    channels = report.channels or 1
    ts_top = 1 << 31 if kind == "WD1" else 1 << 64  # timestamps wrap past this
    prev_c = prev_t = None
    rmin = smin = 1 << 62
    rmax = smax = -1
    try:
        for cols in _header_chunks(src, _CHUNK):
            first = src.event - len(cols["event_counter"])
            counts = _sample_counts(cols, kind, channels)
            per = cols["samples"] if kind == "WD2" else counts
            rec_bytes = src.header + src.item * counts
            rmin, rmax = min(rmin, int(rec_bytes.min())), max(rmax, int(rec_bytes.max()))
            smin, smax = min(smin, int(per.min())), max(smax, int(per.max()))
            c = cols["event_counter"].astype(np.int64)
            t = cols["timestamp"]
            cprev = np.concatenate(([c[0] - 1 if prev_c is None else prev_c], c[:-1]))
            step = (c - cprev) & _U32
            wraps = (step == 1) & (c < cprev)
            gaps = (step > 1) & (step < 1 << 31)
            disorder = (step == 0) | (step >= 1 << 31)
            report.counter_wraps += int(wraps.sum())
            report.counter_gaps += int(gaps.sum())
            report.counters_missing += int((step[gaps] - 1).sum())
            report.counters_out_of_order += int(disorder.sum())
            _note(report, "counter gaps", np.flatnonzero(gaps), first)
            _note(report, "counters out of order", np.flatnonzero(disorder), first)
            tprev = np.concatenate(([t[0] if prev_t is None else prev_t], t[:-1])).astype(t.dtype)
            back = t < tprev
            t_wrap = back & (tprev >= ts_top // 4 * 3) & (t < ts_top // 4)
            report.timestamp_wraps += int(t_wrap.sum())
            report.timestamps_backwards += int((back & ~t_wrap).sum())
            _note(report, "timestamps backwards", np.flatnonzero(back & ~t_wrap), first)
            prev_c, prev_t = int(c[-1]), t[-1]
    except OSError as e:
        report.read_error = str(e)
    report.events = src.event
    if src.event:
        report.record_bytes, report.samples = (rmin, rmax), (smin, smax)
    report.corrupt = list(src.corrupt)
    report.trailing_bytes = src.trailing()
    _problems(report)
    return report


def _problems(r: ScanReport) -> None:
    def at(key: str) -> str:
        return f" (first at event {r.examples[key][0]})" if r.examples.get(key) else ""

    if r.read_error:
        r.problems.append(f"read error after event {r.events}: {r.read_error}")
    if r.events == 0:
        r.problems.append("no events")
    if r.corrupt:
        r.problems.append(f"{len(r.corrupt)} corrupt record header(s), first at byte {r.corrupt[0][1]}")
    if r.trailing_bytes:
        r.problems.append(f"{r.trailing_bytes} bytes after the last whole record (a partial record)")
    if r.counter_gaps:
        r.problems.append(f"event counters skip {r.counters_missing} value(s) at {r.counter_gaps} place(s)"
                          + at("counter gaps"))
    if r.counters_out_of_order:
        r.problems.append(f"event counters repeat or go back at {r.counters_out_of_order} place(s)"
                          + at("counters out of order"))
    if r.timestamps_backwards:
        r.problems.append(f"timestamps go back at {r.timestamps_backwards} place(s)" + at("timestamps backwards"))
