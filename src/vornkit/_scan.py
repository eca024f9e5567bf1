"""`scan`: one header-only pass over a file that says what it holds and what is wrong with it."""

from __future__ import annotations

import dataclasses
import os

import numpy as np

from ._format import _core, check_channels, check_kind, explain, field_names, option
from ._layouts import SAMPLE_DTYPE, Kind
from ._read import PathLike, Source

_U32 = 0xFFFFFFFF
_EXAMPLES = 5  # positions kept per kind of problem
_CHUNK = 65536  # events whose headers are read and checked at a time


@dataclasses.dataclass
class ScanReport:
    """What `scan` found. `problems` lists what makes a file doubtful (empty: `ok`)."""

    path: str
    kind: Kind
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
    corrupt: list[tuple[int, int]] = dataclasses.field(default_factory=list)  # (event, byte offset) of each ...
    skipped: list[tuple[int, int, int]] = dataclasses.field(default_factory=list)  # ... (event, offset, bytes)
    skipped_bytes: int = 0  # damaged bytes passed over in all
    trailing_bytes: int = 0  # after the last whole record: a partial record
    read_error: str | None = None
    examples: dict[str, list[int]] = dataclasses.field(default_factory=dict)  # event indices per finding
    problems: list[str] = dataclasses.field(default_factory=list)

    @property
    def ok(self) -> bool:
        return not self.problems

    def rows(self) -> list[tuple[str, str]]:
        """(field, value) pairs, as `vornkit info` prints them."""
        rows = [
            ("file", self.path),
            ("format", self.kind + (" (recognised)" if self.kind_recognised else "")),
            ("size", f"{self.size} bytes"),
            ("events", str(self.events)),
        ]
        if self.kind == "WD2":
            rows.append(("channels", f"{self.channels}: {self.channel_reason}"))
        rows += [
            ("record bytes", span(self.record_bytes)),
            ("samples" + (" per channel" if self.kind == "WD2" else ""), span(self.samples)),
            ("counter gaps", f"{self.counter_gaps} ({self.counters_missing} counters missing)"),
            ("counter wraps", str(self.counter_wraps)),
            ("counters out of order", str(self.counters_out_of_order)),
            ("timestamps backwards", f"{self.timestamps_backwards} (wraps: {self.timestamp_wraps})"),
            (
                "corrupt headers",
                ", ".join(f"event {e} at byte {o} ({n} bytes skipped)" for e, o, n in self.skipped[:_EXAMPLES])
                + (" ..." if len(self.skipped) > _EXAMPLES else "")
                or "0",
            ),
            ("trailing bytes", str(self.trailing_bytes)),
        ]
        if self.read_error:
            rows.append(("read error", self.read_error))
        rows.append(("problems", "; ".join(self.problems) or "none"))
        return rows

    def __str__(self) -> str:
        rows = self.rows()
        width = max(len(k) for k, _ in rows)
        return "\n".join(f"{k:<{width}}  {v}" for k, v in rows)


def span(r: tuple[int, int] | None) -> str:
    return "-" if r is None else str(r[0]) if r[0] == r[1] else f"{r[0]} .. {r[1]}"


def _note(report: ScanReport, key: str, where: np.ndarray, first: int) -> None:
    if where.size:
        kept = report.examples.setdefault(key, [])
        kept += [first + int(i) for i in where[: _EXAMPLES - len(kept)]]


def scan(path: PathLike, kind: Kind | None = None, *, channels: int | None = None) -> ScanReport:
    """Reads a file's headers once and reports what it holds and what is wrong with it.

    kind: "WD1" or "WD2", or None to recognise it from the first headers (FormatError for
    compressed files, other formats, or records that fit neither layout). channels: the WD2
    channel count (None: found from the first two headers, as the readers do). The report
    has the event count, record sizes and sample counts, the WD2 channel count and why the
    reader uses it (and the count to give when the records fit another), event-counter gaps,
    wraps and disorder, timestamps going backwards, damaged spans skipped with their byte
    offsets and sizes, trailing bytes of a partial record, a read error, and `problems`, a
    list of sentences (empty when the file looks sound). Memory stays at one chunk of headers
    whatever the file's size; the samples are skipped.
    """
    p = os.fspath(path)
    given = kind
    kind, rec, notes = check_kind(p, kind, channels)
    channels = check_channels(kind, channels)
    report = ScanReport(p, kind, given is None, os.path.getsize(p) if rec is not None else 0)
    report.problems += notes
    names = field_names(kind)
    try:
        src = Source(
            p, kind, fields=names, data=False, channels=channels, on_corrupt="skip", check=False, trailing=False
        )
    except OSError as e:
        if not notes:
            raise
        report.read_error = str(e)  # e.g. the WD2 channel count cannot be found in a WD1 file
        _problems(report)
        return report
    reader: _core.Reader = src.reader
    if kind == "WD2":
        report.channels = reader.channels
        report.channel_reason = (
            f"given ({option('channels=', '--channels ')}{channels})"
            if channels is not None
            else rec.probe.reason
            if rec is not None and rec.probe is not None
            else explain(reader, None).reason
        )
    item = SAMPLE_DTYPE[kind].itemsize
    ts_top = 1 << 31 if kind == "WD1" else 1 << 64  # timestamps wrap past this
    prev_c = prev_t = None
    rmin = smin = 1 << 62
    rmax = smax = -1
    try:
        for cols in src.chunks(_CHUNK):
            first = reader.event - len(cols["n_samples"])
            counts = cols["n_samples"]
            per = cols["samples"] if kind == "WD2" else counts
            rec_bytes = src.header_bytes + item * counts
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
    report.events = reader.event
    if reader.event:
        report.record_bytes, report.samples = (rmin, rmax), (smin, smax)
    report.skipped = list(reader.skipped)
    report.corrupt = [(e, o) for e, o, _ in report.skipped]
    report.skipped_bytes = sum(n for _, _, n in report.skipped)
    report.trailing_bytes = 0 if report.read_error else reader.pending
    src.close()
    _problems(report)
    return report


def _problems(r: ScanReport) -> None:
    def at(key: str) -> str:
        return f" (first at event {r.examples[key][0]})" if r.examples.get(key) else ""

    if r.read_error:
        r.problems.append(f"read error after event {r.events}: {r.read_error}")
    if r.events == 0:
        r.problems.append("no events")
    if r.skipped:
        r.problems.append(
            f"{len(r.skipped)} corrupt record header(s), {r.skipped_bytes} bytes skipped, first at "
            f"byte {r.skipped[0][1]}"
        )
    if r.trailing_bytes:
        r.problems.append(f"{r.trailing_bytes} bytes after the last whole record (a partial record)")
    if r.counter_gaps:
        r.problems.append(
            f"event counters skip {r.counters_missing} value(s) at {r.counter_gaps} place(s)" + at("counter gaps")
        )
    if r.counters_out_of_order:
        r.problems.append(
            f"event counters repeat or go back at {r.counters_out_of_order} place(s)" + at("counters out of order")
        )
    if r.timestamps_backwards:
        r.problems.append(f"timestamps go back at {r.timestamps_backwards} place(s)" + at("timestamps backwards"))
