"""Damaged runs, as users meet them: every record vornkit returns is one that was written, every
intact one comes back with on_corrupt="skip", the default mode stops at the first damage, and
every way into a run (slices, chunks, events, scan) agrees. The core's own oracle over millions
of damaged files is tests/cpp/damage.hpp; this is the same contract at the Python surface."""

import os
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import vornkit
from support import record

BOARDS = 2


def run(kind, n, per=96, first=0, period=8, interleave=False, sizes=None):
    """A run of unique records, and each record's bytes: samples made from its counter."""
    records = []
    for i in range(n):
        k = per if sizes is None else sizes[i % len(sizes)]
        counter = first + (i // BOARDS if interleave else i)
        if kind == "WD1":
            data = 4000 + (np.arange(k) * 7 + counter * 131) % 900
            board = 1 + i % BOARDS if interleave else 1
            records.append(record("WD1", data, board_id=board, event_counter=counter, timestamp=1000 * i))
        else:
            data = (np.arange(2 * k) % 97 - counter % 13) / 100.0 - 0.2
            records.append(record("WD2", data, event_counter=counter, timestamp=i, sampling_period=period, channels=2))
    return records


def read_back(path, kind, **kwargs):
    """The records `arrays` returns, as bytes (the header rebuilt from its columns, the samples)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        out = vornkit.arrays(path, kind, columns=None, **kwargs)
    n = len(out["event_counter"])
    flat = out["data"].reshape(-1)
    if "offsets" in out:
        bounds = out["offsets"]
    else:
        bounds = np.arange(n + 1) * (int(np.prod(out["data"].shape[1:])) if n else 0)
    got = []
    fields = [f for f in out if f not in ("data", "offsets", "n_samples")]
    for i in range(n):
        values = {f: int(out[f][i]) for f in fields}
        if kind == "WD2":
            values.pop("samples", None)
        got.append(record(kind, flat[bounds[i] : bounds[i + 1]], **values))
    return got


def identities(records, kind):
    """What tells records apart however damage fell: the counter, the length and a WD2 run's
    period and channel word (a byte of a timestamp, a board number or a sample can be damaged
    in place, which no reader can tell)."""
    if kind == "WD1":
        return {(r[16:20], len(r)) for r in records}
    return {(r[0:4] + r[16:28], len(r)) for r in records}


CRASH = "a crash, then a new run in the same file"


def damaged(kind, how):
    """(file bytes, the records written, the records whose bytes the damage left intact)."""
    records = run(kind, 80)
    size = len(records[0])
    clean = b"".join(records)
    if how == CRASH:
        second = run(kind, 30, first=0)
        data = clean[: 25 * size + size // 2] + b"".join(second)
        return data, records + second, records[:25] + second
    if how.startswith("zeros"):
        at = {"zeros at the start": 0, "zeros in the middle": len(clean) // 3, "zeros at the tail": len(clean) - 4096}[
            how
        ]
        data = clean[:at] + bytes(4096) + clean[at + 4096 :]
        intact = [r for i, r in enumerate(records) if (i + 1) * size <= at or i * size >= at + 4096]
        return data, records, intact
    if how == "a flipped bit in a size word":
        data = bytearray(clean)
        data[10 * size + (12 if kind == "WD2" else 0) + 1] ^= 0x04
        return bytes(data), records, records[:10] + records[11:]
    dropped = int(how.split()[0])  # "N bytes dropped"
    at = 17 * size + 100
    return clean[:at] + clean[at + dropped :], records, records[:17] + records[18:]


@pytest.mark.parametrize("kind", ["WD1", "WD2"])
@pytest.mark.parametrize(
    "how",
    [
        CRASH,
        "zeros at the start",
        "zeros in the middle",
        "zeros at the tail",
        "a flipped bit in a size word",
        "1 bytes dropped",
        "2 bytes dropped",
        "17 bytes dropped",
    ],
)
def test_damage_loses_only_the_damaged_records(write, kind, how):
    data, written, intact = damaged(kind, how)
    path = write(data)
    got = read_back(path, kind, on_corrupt="skip", channels=2 if kind == "WD2" else None)
    assert identities(got, kind) <= identities(written, kind)  # never a record that is not in the file
    assert [r for r in got if r in set(intact)] == intact  # every intact one, in order
    report = vornkit.scan(path, kind, channels=2 if kind == "WD2" else None)
    assert report.events == len(got) and (report.skipped or report.trailing_bytes)
    # The default mode: the records before the first damage, then CorruptRecordError (a file
    # whose first records are damaged is refused before reading: FormatError, naming skip).
    before = report.skipped[0][0] if report.skipped else len(got)
    with pytest.raises(vornkit.CorruptRecordError if before else (vornkit.CorruptRecordError, vornkit.FormatError)):
        for i, _ in enumerate(vornkit.events(path, kind, channels=2 if kind == "WD2" else None)):
            assert i < before
    assert read_back(path, kind, on_corrupt="skip", channels=2 if kind == "WD2" else None, stop=before) == got[:before]


@pytest.mark.parametrize("kind", ["WD1", "WD2"])
def test_sound_changes_read_whole_in_every_mode(write, kind):
    # Boards interleaved with equal counters, a counter jump and reset, a period change, a size per record.
    parts = [
        run(kind, 12, interleave=kind == "WD1"),
        run(kind, 9, first=1 << 20, period=9),
        run(kind, 7, first=0, sizes=[5, 40, 17, 96]),
    ]
    written = [r for p in parts for r in p]
    path = write(b"".join(written))
    for mode in ("raise", "skip"):
        assert read_back(path, kind, on_corrupt=mode, channels=2 if kind == "WD2" else None) == written
    assert not vornkit.scan(path, kind, channels=2 if kind == "WD2" else None).skipped


@settings(
    max_examples=int(os.environ.get("VORN_DAMAGE_EXAMPLES", "40")),
    derandomize=True,
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture],
)
@given(
    kind=st.sampled_from(["WD1", "WD2"]),
    sizes=st.lists(st.integers(1, 120), min_size=1, max_size=3),
    cuts=st.lists(st.tuples(st.integers(0, 10**6), st.integers(1, 40), st.booleans()), max_size=2),
    slices=st.lists(st.tuples(st.integers(0, 40), st.integers(0, 40)), min_size=1, max_size=3),
    step=st.integers(1, 7),
)
# Records of one sample, a byte lost or inserted at the start: headers read a byte or three off.
@example(kind="WD1", sizes=[1], cuts=[(0, 1, False)], slices=[(0, 0)], step=1)
@example(kind="WD1", sizes=[1], cuts=[(1, 1, True)], slices=[(0, 0)], step=1)
def test_every_way_in_agrees_and_returns_only_written_records(write, kind, sizes, cuts, slices, step):
    written = run(kind, 30, sizes=sizes)
    data = b"".join(written)
    for at, n, insert in cuts:  # bytes lost or inserted: shifts, not changes in place
        at %= len(data)
        data = data[:at] + (bytes(range(n)) if insert else b"") + data[at + (0 if insert else n) :]
    path = write(data)
    channels = 2 if kind == "WD2" else None
    whole = read_back(path, kind, on_corrupt="skip", channels=channels)
    assert identities(whole, kind) <= identities(written, kind)
    if not cuts:
        assert whole == written
    for a, b in slices:
        a, b = min(a, b), max(a, b)
        assert read_back(path, kind, on_corrupt="skip", channels=channels, start=a, stop=b) == whole[a:b]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        chunks = list(vornkit.iterate(path, kind, step=step, on_corrupt="skip", channels=channels))
        events = list(vornkit.events(path, kind, on_corrupt="skip", channels=channels))
        report = vornkit.scan(path, kind, channels=channels)
    assert sum(len(c["entry"]) for c in chunks) == len(events) == len(whole) == report.events
    assert [int(e["event_counter"]) for e in events] == [int(c) for ch in chunks for c in ch["event_counter"]]


def test_a_stream_of_zeros_is_damage_not_endless_records():
    # /dev/zero read as WD2 once gave empty records of counter 0 without end (memory without bound).
    with pytest.raises(vornkit.CorruptRecordError, match="event 0 at byte offset 0"):
        vornkit.arrays("/dev/zero", "WD2", channels=1)


@pytest.mark.parametrize("kind", ["WD1", "WD2"])
def test_a_record_whose_tail_is_lost_is_not_spliced_and_one_before_a_cut_run_waits(write, kind):
    # Bytes lost from inside record 5 on into record 6: record 5's claimed length then takes
    # in record 6's samples. It is damage, not a record; those after it come back.
    written = run(kind, 12)
    size = len(written[0])
    clean = b"".join(written)
    path = write(clean[: 5 * size + 100] + clean[6 * size + 150 :])
    got = read_back(path, kind, on_corrupt="skip", channels=2 if kind == "WD2" else None)
    assert got == written[:5] + written[7:]
    # A new run's first header cut after its counter: the record before it waits, out of the
    # result, until the file shows what follows it, then both come back.
    second = run(kind, 2, first=0, period=9)
    path = write(clean + second[0][:21], "growing")
    assert read_back(path, kind, channels=2 if kind == "WD2" else None) == written[:-1]
    with open(path, "ab") as f:
        f.write(second[0][21:] + second[1])
    assert read_back(path, kind, channels=2 if kind == "WD2" else None) == written + second
