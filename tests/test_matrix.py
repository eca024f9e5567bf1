"""Size classes x arrival patterns through the module: read whole, cut and grown, from a FIFO,
and under injected EINTR storms, short reads and EIO; vornkit's columns as a second oracle."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vorn
import vornkit
from support import mix, needs_shim, read_with_faults, wd1_record, wd2_record

ER = vorn.EventReader
LAYOUTS = ["WD1", "WD2-1ch", "WD2-words"]
HEADER = {"WD1": 24, "WD2-1ch": 24, "WD2-words": 28}
UNIT = {"WD1": 2, "WD2-1ch": 4, "WD2-words": 8}  # block sizes step by this
SMALL = 40
# (size, step in units): around the direct-read and whole-allocation size, beyond the
# read-ahead buffer, beyond the block cache.
CLASSES = [(0, 1), (65536, -1), (65536, 0), (65536, 1), (200000, 0), (2 << 20, 0), (9 << 20, 0)]
CLASS_IDS = ["1", "64K-1", "64K", "64K+1", "200K", "2M", "9M"]


def block_of(layout, size_class):
    size, step = size_class
    return size + step * UNIT[layout]


def build(layout, blocks, seed):
    """The file with one record per sample block size, and the events it holds (data as bytes)."""
    out, events = [], []
    for k, block in enumerate(blocks):
        if layout == "WD1":
            data = mix("WD1", block // 2, seed, k)
            # Small records have an odd size, whose last counted byte starts the next record.
            size = 24 + block + (block == SMALL)
            out.append(wd1_record(size, data, seed, ~k, 7 * k + 1, k, seed ^ 0x5A5A))
            ev = dict(
                event_size=size,
                board_id=seed,
                pattern=~k,
                board_channel=7 * k + 1,
                event_counter=k,
                timestamp=seed ^ 0x5A5A,
            )
        else:
            channels = 2 if layout == "WD2-words" else 1
            data = mix("WD2", block // 4, seed, k)
            samples = block // 4 // channels
            out.append(
                wd2_record(k, samples, data, timestamp=seed << 32 | k, channel_word=channels if channels == 2 else None)
            )
            ev = dict(event_counter=k, timestamp=seed << 32 | k, samples=samples, sampling_period=8, channels=channels)
        ev["data"] = data.astype(data.dtype.newbyteorder("=")).tobytes()
        events.append(("event", ev))
    starts = np.cumsum([0] + [len(r) for r in out]).tolist()
    return b"".join(out), events, starts


def around(block):
    """Two small records (the WD2 probe reads them), two big ones (the second gets the first's
    freed storage), a small one."""
    return [SMALL, SMALL, block, block, SMALL]


def kind(layout):
    return layout[:3]


def first_difference(got, want):
    """None, or where two lists of outcomes first differ (pytest's own diff of MiB is slow)."""
    for i, (g, w) in enumerate(zip(got, want, strict=False)):
        if g != w:
            if g[0] == w[0] == "event":
                return f"event {w[1]['event_counter']}: {[k for k in w[1] if g[1].get(k) != w[1][k]]} differ"
            return f"item {i}: {g[:2]} instead of {w[:2]}"
    return None if len(got) == len(want) else f"{len(got)} items instead of {len(want)}"


def drain(reader, expected):
    """Reads to the end of data and compares; each event is dropped before the next read, so
    that its storage can be handed on."""
    got = []
    while (ev := next(reader, None)) is not None:
        got.append(("event", {k: (v.tobytes() if k == "data" else v) for k, v in ev.items()}))
        del ev
    assert (diff := first_difference(got, expected)) is None, diff


def as_events(cols, names):
    """vornkit's columns (samples as bytes, or n_samples) as a list of outcomes."""
    n = len(cols[names[0]])
    heads = [dict(zip(names, values, strict=True)) for values in zip(*(cols[k].tolist() for k in names), strict=True)]
    if "data" not in cols:
        return [("event", dict(h, n_samples=m)) for h, m in zip(heads, cols["n_samples"].tolist(), strict=True)]
    flat = cols["data"].reshape(-1)
    ends = cols.get("offsets", np.arange(n + 1) * (flat.size // max(n, 1)))
    return [("event", dict(h, data=flat[ends[i] : ends[i + 1]].tobytes())) for i, h in enumerate(heads)]


@pytest.mark.parametrize("size_class", CLASSES, ids=CLASS_IDS)
@pytest.mark.parametrize("layout", LAYOUTS)
def test_read_whole(write, layout, size_class):
    data, events, _ = build(layout, around(block_of(layout, size_class)), 1)
    path = write(data)
    drain(ER(path, kind(layout)), events)
    names = [k for k in events[0][1] if k != "data"]
    assert (diff := first_difference(as_events(vornkit.arrays(path, kind(layout)), names), events)) is None, diff
    item = 2 if layout == "WD1" else 4
    heads = [("event", {**{k: ev[k] for k in names}, "n_samples": len(ev["data"]) // item}) for _, ev in events]
    assert as_events(vornkit.arrays(path, kind(layout), columns=names), names) == heads


# The file grows through several cuts, read in between: inside the second big record's
# header, just past it, past a direct read, half way, one byte short, one byte into the
# next header (read ahead with the samples).
@pytest.mark.parametrize("size_class", CLASSES, ids=CLASS_IDS)
@pytest.mark.parametrize("layout", LAYOUTS)
def test_cut_and_grown(tmp_path, layout, size_class):
    block = block_of(layout, size_class)
    data, events, starts = build(layout, around(block), 2)
    head = HEADER[layout]
    cuts = sorted(
        {
            starts[3] + c
            for c in (head - 1, head + 1, head + 65537, head + block // 2, head + block - 1, head + block + 1)
            if c <= head + block + 1
        }
    )
    path = tmp_path / "growing"
    path.write_bytes(data[: cuts[0]])
    r = ER(str(path), kind(layout))
    complete = [sum(end <= cut for end in starts[1:]) for cut in cuts + [len(data)]]
    drain(r, events[: complete[0]])
    for i, (a, b) in enumerate(zip(cuts, cuts[1:] + [len(data)], strict=True)):
        with open(path, "ab") as f:
            f.write(data[a:b])
        drain(r, events[complete[i] : complete[i + 1]])


def all_classes(layout, seed, classes=CLASSES, copies=2):
    """One file with every size class, each as big records (two by default) and a small one."""
    blocks = [SMALL, SMALL]
    for c in classes:
        blocks += [block_of(layout, c)] * copies + [SMALL]
    return build(layout, blocks, seed)


# WD1 only: a WD2 reader must seek back after its probe, which a FIFO cannot.
def test_fifo_fed_in_odd_chunks(tmp_path):
    data, events, _ = all_classes("WD1", 3)
    source, fifo = tmp_path / "source", tmp_path / "fifo"
    source.write_bytes(data)
    os.mkfifo(fifo)
    # Another process: the reader holds the interpreter lock while it waits.
    writer = subprocess.Popen(
        [
            sys.executable,
            "-c",
            textwrap.dedent(f"""
        data = open({str(source)!r}, "rb").read()
        sizes = [1, 299999, 4093, 65537, 23, 131071, 8191, 262147, 3, 300007]
        with open({str(fifo)!r}, "wb", buffering=0) as f:
            off = k = 0
            while off < len(data):
                n = sizes[k % len(sizes)]
                f.write(data[off:off + n])
                off, k = off + n, k + 1
        """),
        ]
    )
    try:
        drain(ER(str(fifo), "WD1"), events)
    finally:
        writer.wait(timeout=120)


# "pipe-like": short reads from a file whose size fstat hides, as under /proc. 1-byte reads
# only for one record of the smallest class and one just past the direct-read size.
FAULTS = {
    "eintr": ({"eintr": 3}, CLASSES, 2),
    "pipe-like": ({"chunk": 4099, "eintr": 1, "size_unknown": 1}, CLASSES, 2),
    "bytewise": ({"chunk": 1}, [(0, 1), (65536, 1)], 1),
}


@needs_shim
@pytest.mark.parametrize("fault", FAULTS)
@pytest.mark.parametrize("layout", LAYOUTS)
def test_under_interrupts_and_short_reads(write, tmp_path, layout, fault):
    faults, classes, copies = FAULTS[fault]
    data, events, _ = all_classes(layout, 4, classes, copies)
    stats = tmp_path / "stats"
    got = read_with_faults(write(data), kind(layout), stats=stats, **faults)
    assert (diff := first_difference(got, events + [("end",)])) is None, diff
    eintrs, reads, largest = map(int, stats.read_text().split())
    assert eintrs == faults.get("eintr", 0) * reads  # the faults really happened
    assert largest == faults.get("chunk", largest) and reads >= len(data) // largest


# Where the first unreadable byte lies: inside a small record's samples (read through the
# buffer), inside the first 2 MiB record's header, or 65537 bytes into its samples, past a
# direct read. A read either returns the bytes before it, or fails as a whole.
@needs_shim
@pytest.mark.parametrize("whole", [0, 1], ids=["short", "whole"])
@pytest.mark.parametrize("into", ["small", "header", "samples"])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_eio_at_its_record(write, layout, into, whole):
    classes = [(65536, 1), (2 << 20, 0)]
    data, events, starts = all_classes(layout, 5, classes)
    failing = 1 if into == "small" else 5  # s0 s1 B B s, then the first 2 MiB record
    offset = (
        starts[failing]
        + {"small": HEADER[layout] + 10, "header": HEADER[layout] // 2, "samples": HEADER[layout] + 65537}[into]
    )
    probe = min(len(data), 8192) if kind(layout) == "WD2" else 0  # the probe's one read, before the rewind
    got = read_with_faults(write(data), kind(layout), attempts=2, eio_after=probe + offset, eio_whole=whole)
    error = ("error", "OSError", ("Input/output error (os error 5)",))
    # A WD1 reader ends for good; a WD2 reader completes the record once its bytes can be read.
    after = [] if kind(layout) == "WD1" else events[failing:]
    assert (diff := first_difference(got, events[:failing] + [error] + after + [("end",)])) is None, diff
