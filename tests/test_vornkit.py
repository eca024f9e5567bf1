"""vornkit: arrays and chunks equal to vorn's events, seeks, header-only reads, recovery, located errors,
the misread checks, follow, the CLI."""

import gzip
import os
import pathlib
import subprocess
import sys
import threading
import time
import warnings

import numpy as np
import pytest

import vorn
import vornkit
from support import child_env, needs_plain_memory, run_python, wd1_record, wd2_file, wd2_record
from vornkit import _arrays, _read

DATA = pathlib.Path(__file__).resolve().parent.parent / "examples" / "data"
SAMPLES = [(str(DATA / "run.wd1"), "WD1"), (str(DATA / "run.wd2"), "WD2")]

# Mixed WD1 record sizes: the first small (the size estimate must grow), odd sizes, no samples.
MIXED_WD1 = b"".join(wd1_record(s, event_counter=i) for i, s in enumerate([24, 30, 1048, 23, 25, 31, 26, 24, 64]))
MIXED_WD2 = b"".join(wd2_record(i, s, np.arange(2 * s), channel_word=2) for i, s in enumerate([3, 3, 1, 0, 5, 2]))


def vorn_events(path, kind):
    return list(vorn.EventReader(str(path), kind))


def assert_same(arrays, events):
    """`arrays` holds exactly `events`: every header column, and each event's samples."""
    for key in events[0] if events else ():
        if key == "data":
            continue
        assert arrays[key].tolist() == [ev[key] for ev in events], key
    flat = arrays["data"].reshape(-1)
    offsets = arrays.get("offsets")
    if offsets is None:
        offsets = np.arange(len(events) + 1) * (flat.size // max(1, len(events)))
    for i, ev in enumerate(events):
        assert flat[offsets[i] : offsets[i + 1]].tobytes() == ev["data"].tobytes()
    assert offsets[-1] == flat.size


@pytest.mark.parametrize("path,kind", SAMPLES)
def test_arrays_of_sample_runs_and_slices(path, kind):
    events = vorn_events(path, kind)
    whole = vornkit.arrays(path, kind)
    assert whole["data"].shape == ((16, 512) if kind == "WD1" else (10, 2, 256))
    assert_same(whole, events)
    assert_same(vornkit.arrays(pathlib.Path(path), kind, start=3, stop=7), events[3:7])
    assert_same(vornkit.arrays(path, kind, start=9, stop=100), events[9:])


@pytest.mark.parametrize("chunk", [1, 2, 3, 4096])  # below, at and above a chunk boundary in the data
@pytest.mark.parametrize("data,kind", [(MIXED_WD1, "WD1"), (MIXED_WD2, "WD2")])
def test_arrays_of_mixed_records_are_flat_with_offsets(write, monkeypatch, chunk, data, kind):
    monkeypatch.setattr(_read, "CHUNK_EVENTS", chunk)
    path = write(data)
    events = vorn_events(path, kind)
    out = vornkit.arrays(path, kind)
    assert out["data"].ndim == 1 and "offsets" in out
    assert_same(out, events)
    mine = list(vornkit.events(path, kind))  # same keys, order, Python ints and samples
    assert [list(ev) for ev in mine] == [list(ev) for ev in events]
    assert [{k: v for k, v in ev.items() if k != "data"} for ev in mine] == [
        {k: v for k, v in ev.items() if k != "data"} for ev in events
    ]
    assert all(type(v) is int for ev in mine for k, v in ev.items() if k != "data")
    assert [ev["data"].tobytes() for ev in mine] == [ev["data"].tobytes() for ev in events]
    chunks = list(vornkit.iterate([path, path], kind, step=chunk))
    assert [c["file"][0] for c in chunks].count(path) == len(chunks)
    assert np.concatenate([c["entry"] for c in chunks]).tolist() == list(range(len(events))) * 2
    for c in chunks:
        assert_same(c, events[c["entry"][0] : c["entry"][-1] + 1])


def same_size_wd1(counters):
    return b"".join(wd1_record(40, np.arange(8) + 10 * i, event_counter=c) for i, c in enumerate(counters))


SEEKABLE = {  # file bytes, kind, whether a seek is predicted from the first record (else: the index)
    "same-size WD1": (
        same_size_wd1([*range(2**31 - 5, 2**31), *range(-(2**31), 7 - 2**31)]),
        "WD1",
        True,
    ),  # int32 wrap
    "same-size WD2": (
        b"".join(wd2_record((i - 4) % 2**32, 4, np.arange(8) + i, channel_word=2) for i in range(12)),
        "WD2",
        True,
    ),  # uint32 wrap
    "counters jump": (same_size_wd1([0, 1, 2, 7, 8, 9, 10, 11, 12, 13, 14, 15]), "WD1", False),
    "mixed WD1": (MIXED_WD1, "WD1", False),
    "mixed WD2": (MIXED_WD2, "WD2", False),
}


@pytest.mark.parametrize("name", SEEKABLE)
def test_slices_seek_by_prediction_or_index(write, name):
    data, kind, predicted = SEEKABLE[name]
    # The next record cut after its counter: warned only when read to the end.
    after = vorn_events(write(data, "whole"), kind)[-1]["event_counter"] + 1
    if kind == "WD1":
        cut = wd1_record(24, event_counter=(after + 2**31) % 2**32 - 2**31)[:21]
    else:
        cut = wd2_record(after % 2**32, 1, np.arange(2.0), channel_word=2)[:21]
    path = write(data + cut, name.replace(" ", "_"))
    events = vorn_events(path, kind)
    n = len(events)
    _arrays._index.cache_clear()
    for start, stop in [
        (0, 0),
        (0, 2),
        (4, 7),
        (n - 1, None),
        (n - 1, n),
        (n, None),
        (n + 5, None),
        (n + 5, n + 9),
        (3, n + 100),
    ]:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            out = vornkit.arrays(path, kind, start=start, stop=stop)
        assert_same(out, events[start:stop])
        assert len(out["event_counter"]) == len(events[start:stop])
        assert [str(w.message) for w in caught if issubclass(w.category, vornkit.FormatWarning)] == (
            [
                f"{path}: 21 bytes after the last whole record at byte offset {len(data)} (a partial record, or a file "
                "still being written)"
            ]
            if stop is None
            else []
        )
    assert (_arrays._index.cache_info().currsize == 0) == predicted


def test_header_only_reads(write):
    pd = pytest.importorskip("pandas")
    for path, kind in [*SAMPLES, (write(MIXED_WD2), "WD2")]:
        full = vornkit.arrays(path, kind)
        fields = [k for k in full if k not in ("data", "offsets")]
        heads = vornkit.arrays(path, kind, columns=fields[::-1])
        assert list(heads) == [*fields[::-1], "n_samples"]
        for k in fields:
            assert heads[k].dtype == full[k].dtype and heads[k].tolist() == full[k].tolist(), k
        some = vornkit.arrays(path, kind, start=1, columns=["data", "event_counter"])
        assert list(some)[0] == "event_counter" and some["event_counter"].tolist() == full["event_counter"][1:].tolist()
        frame = vornkit.to_dataframe(path, kind)
        assert list(frame.columns) == [*fields, "n_samples"]
        assert frame["n_samples"].tolist() == [ev["data"].size for ev in vorn_events(path, kind)]
        assert frame[fields].equals(pd.DataFrame({k: full[k] for k in fields}))
    with pytest.raises(ValueError, match="board_id, pattern, board_channel, event_counter, timestamp and data"):
        vornkit.arrays(SAMPLES[0][0], "WD1", columns=["samples"])


def test_iterate_steps_by_bytes_and_to_dataframe(write):
    path, _ = SAMPLES[0]
    chunks = list(vornkit.iterate([path], "WD1", step="3.2 kB"))  # 1048-byte records
    assert [len(c["entry"]) for c in chunks] == [3] * 5 + [1]
    grown = write(wd1_record(24) + wd1_record(1048) * 6)  # a small first record must not size every chunk
    assert [len(c["entry"]) for c in vornkit.iterate(grown, "WD1", step="3.2 kB")] == [4, 3]
    heads = list(vornkit.iterate(path, "WD1", step=5, columns=["timestamp"]))
    assert [list(c) for c in heads] == [["timestamp", "file", "entry", "n_samples"]] * 4
    pd = pytest.importorskip("pandas")
    frame = vornkit.to_dataframe([path, path], "WD1")
    assert len(frame) == 32 and isinstance(frame["file"].dtype, pd.CategoricalDtype)
    assert frame["n_samples"].eq(512).all() and frame["event_counter"].tolist() == list(range(16)) * 2


def corrupt_wd1():
    """Two events, a header with an impossible size at byte 2096, one more event."""
    return wd1_record(1048) * 2 + wd1_record(22, samples=[]) + wd1_record(26, event_counter=9)


def test_events_corrupt_record_raises_skips_or_warns(write):
    path = write(corrupt_wd1())
    it = vornkit.events(pathlib.Path(path), "WD1")
    assert [next(it)["event_size"] for _ in range(2)] == [1048, 1048]
    with pytest.raises(vornkit.CorruptRecordError) as info:
        next(it)
    e = info.value
    assert (e.path, e.event, e.offset) == (path, 2, 2096)
    assert f"{path}, event 2, byte offset 2096" in e.__notes__[0]
    chunks = vornkit.iterate(path, "WD1", step=1)  # the chunks before the damage come first
    assert [next(chunks)["entry"][0] for _ in range(2)] == [0, 1]
    with pytest.raises(vornkit.CorruptRecordError):
        next(chunks)
    assert [ev["event_counter"] for ev in vornkit.events(path, "WD1", on_corrupt="skip")] == [4, 4, 9]
    with pytest.warns(
        vornkit.CorruptRecordWarning, match="24 damaged bytes skipped at byte offset 2096; reading resumes at event 2"
    ):
        assert len(vornkit.arrays(path, "WD1", on_corrupt="warn")["event_size"]) == 3
    with pytest.raises(vornkit.CorruptRecordError):
        vornkit.arrays(path, "WD1")


def test_recovery_reads_exactly_the_good_records(write):
    bad = {500, 800}
    wd2 = b"".join(
        wd2_record(i, 0x7FFFFFFF if i in bad else 64, np.arange(128) + 1000 * i, channel_word=2) for i in range(2000)
    )
    out = vornkit.arrays(write(wd2), "WD2", on_corrupt="skip")
    good = [i for i in range(2000) if i not in bad]
    assert out["event_counter"].tolist() == good and out["data"].shape == (1998, 2, 64)
    assert (out["data"].reshape(1998, -1) == (np.arange(128) + 1000 * np.array(good)[:, None])).all()
    wd1 = b"".join(wd1_record(0 if i == 1000 else 56, np.full(16, i % 65536), event_counter=i) for i in range(10_000))
    path = write(wd1, "damaged.wd1")
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # "skip" warns nothing
        out = vornkit.arrays(path, "WD1", on_corrupt="skip")
    good = [i for i in range(10_000) if i != 1000]
    assert out["event_counter"].tolist() == good and (out["data"] == np.array(good)[:, None]).all()
    report = vornkit.scan(path)
    assert (report.events, report.skipped, report.corrupt, report.skipped_bytes, report.trailing_bytes) == (
        9_999,
        [(1000, 56_000, 56)],
        [(1000, 56_000)],
        56,
        0,
    )
    gap = wd2_record(1000, 4, np.arange(8), channel_word=2) + wd2_file(9, first_counter=1002)
    path = write(gap, "gap.wd2")
    out = vornkit.arrays(path, "WD2", channels=2)
    assert out["event_counter"].tolist() == [1000, *range(1002, 1011)] and out["data"].shape == (10, 2, 4)
    assert out["data"][1:].reshape(9, -1).tolist() == [list(np.arange(8) + 100 * i) for i in range(9)]
    with pytest.raises(ValueError, match="channels must be None or 1"):
        vornkit.arrays(SAMPLES[0][0], "WD1", channels=2)


def _wd1_run(n=40, board_channel=lambda i: 3):
    return [wd1_record(510, np.arange(243) + i, board_channel=board_channel(i), event_counter=i) for i in range(n)]


def _damage(records, at, data):
    """The run with `data` written over it from byte `at`."""
    out = bytearray(b"".join(records))
    out[at : at + len(data)] = data
    return bytes(out)


WD2_RUN = [wd2_record(i, 64, np.arange(128) + i, sampling_period=8, channel_word=2) for i in range(40)]
DAMAGE = {  # damaged file, kind, the records that must come back
    "zeros over WD2 records": (_damage(WD2_RUN, 10 * 540, bytes(4096)), "WD2", [*range(10), *range(18, 40)]),
    "a false large WD1 size": (
        _damage(_wd1_run(), 5 * 510, (510 | 1 << 24).to_bytes(4, "little")),
        "WD1",
        [*range(5), *range(6, 40)],
    ),
    "the first two WD1 headers": (_damage(_wd1_run(), 0, bytes(534)), "WD1", list(range(2, 40))),
    "none: WD1 channels interleaved": (b"".join(_wd1_run(board_channel=lambda i: i % 2)), "WD1", list(range(40))),
}


@pytest.mark.filterwarnings("ignore::vornkit.FormatWarning")  # damaged first headers fit neither layout well
@pytest.mark.parametrize("name", DAMAGE)
def test_recovery_returns_nothing_out_of_step(write, name):
    data, kind, good = DAMAGE[name]
    path = write(data)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        out = vornkit.arrays(path, kind, on_corrupt="warn")
    assert out["event_counter"].tolist() == good
    assert all((row.reshape(-1) == np.arange(row.size) + i).all() for row, i in zip(out["data"], good, strict=True))
    spans = vornkit.scan(path, kind).skipped
    damage = [w for w in caught if issubclass(w.category, vornkit.CorruptRecordWarning)]
    assert len(damage) == len(spans) == (0 if name.startswith("none") else 1)
    headers = vornkit.arrays(path, kind, columns=["event_counter"], on_corrupt="skip")  # samples passed over
    assert headers["event_counter"].tolist() == good


def test_files_read_in_threads_match_one_after_the_other(write):
    paths = [write(MIXED_WD1 * 300, "a.wd1"), write(wd2_file(3000, samples=16, channels=3), "b.wd2")]
    kinds = ["WD1", "WD2"]
    alone = [vornkit.arrays(p, k) for p, k in zip(paths, kinds, strict=True)]
    results = [None, None]

    def read(i):
        results[i] = [vornkit.arrays(paths[i], kinds[i]) for _ in range(3)]

    threads = [threading.Thread(target=read, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for one, many in zip(alone, results, strict=True):
        for got in many:
            assert got.keys() == one.keys() and all(np.array_equal(got[k], one[k]) for k in one)


def test_a_blocked_read_lets_threads_run_ends_at_ctrl_c_and_loses_nothing(tmp_path):
    """A read waiting on a stalled writer holds no lock (the writer here is a thread of this
    process), a signal handler that raises ends it, and the next read returns every record."""
    import signal

    from vornkit._format import _core

    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    records = [wd1_record(1048, np.arange(512) + i, event_counter=i) for i in range(6)]
    stream = b"".join(records)
    interrupted = threading.Event()

    def write():
        with open(fifo, "wb", buffering=0) as f:
            f.write(stream[: 3 * 1048 + 100])  # three records and a piece of the fourth
            interrupted.wait(30)
            f.write(stream[3 * 1048 + 100 :])

    class Stop(Exception):
        pass

    def handler(signum, frame):
        raise Stop

    writer = threading.Thread(target=write)
    writer.start()
    old = signal.signal(signal.SIGALRM, handler)
    try:
        reader = _core.Reader(fifo, "WD1")
        signal.setitimer(signal.ITIMER_REAL, 0.5)
        started = time.monotonic()
        with pytest.raises(Stop):
            reader.read()
        assert time.monotonic() - started < 20
        assert reader.offset == 3 * 1048  # the writer thread ran while the read waited
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
        interrupted.set()
        writer.join()
    cols = reader.read()
    assert cols["event_counter"].tolist() == list(range(6))
    assert cols["data"].tobytes() == b"".join(r[24:] for r in records)


@needs_plain_memory  # an address-space limit and the sanitizers' shadow memory do not mix
def test_a_pending_record_survives_running_out_of_memory(tmp_path):
    """The rest of a record cut by the end of the file cannot be stored: MemoryError, and the
    next read returns it whole."""
    path = tmp_path / "cut.wd1"
    record = wd1_record(24 + (16 << 20), np.arange(8 << 20) % 65521, event_counter=7)
    path.write_bytes(record[: 8 << 20])
    out = run_python(
        """
        import resource, sys
        from vornkit._format import _core
        path, size = sys.argv[1], int(sys.argv[2])
        r = _core.Reader(path, "WD1")
        assert len(r.read()["n_samples"]) == 0 and r.pending == 8 << 20
        with open(sys.argv[3], "rb") as f, open(path, "ab") as g:
            g.write(f.read()[8 << 20:])
        vm = int(next(l for l in open("/proc/self/status") if l.startswith("VmSize")).split()[1]) * 1024
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm + (10 << 20), hard))
        try:
            r.read()
            print("no MemoryError")
        except MemoryError:
            pass
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        cols = r.read()
        print(cols["event_counter"].tolist(), cols["data"].tobytes() == open(sys.argv[3], "rb").read()[24:])
    """,
        path,
        len(record),
        _written(tmp_path / "whole", record),
    )
    assert out.returncode == 0 and out.stdout == "[7] True\n", out.stdout + out.stderr


def test_errors_name_the_file(tmp_path):
    missing = str(tmp_path / "nope.wd1")
    with pytest.raises(FileNotFoundError) as info:
        list(vornkit.events(missing, "WD1"))
    assert (info.value.errno, info.value.filename) == (2, missing)
    short = tmp_path / "short.wd2"
    short.write_bytes(wd2_file(1))
    with pytest.raises(OSError, match=str(short)):
        vornkit.arrays(short, "WD2")
    with pytest.raises(vornkit.FormatError, match="empty file or a pipe"):
        vornkit.scan(_written(tmp_path / "empty.wd1", b""))
    for where, error in ((missing, FileNotFoundError), (tmp_path, IsADirectoryError)):  # kind to be recognised
        with pytest.raises(error) as info:
            vornkit.scan(where)
        assert info.value.filename == str(where)


def shifted_counters():
    """A two-channel file whose second counter skips one: the reader takes it as one channel."""
    return wd2_record(0, 4, np.ones(8), channel_word=2) + wd2_file(5, first_counter=2)


MISREADS = {  # file bytes, kind given, what scan reports
    "wd2 first counters skip": (shifted_counters(), "WD2", "not consecutive"),
    "wd1 read as wd2": (
        b"".join(wd1_record(1048, np.full(512, 8000), event_counter=i) for i in range(4)),
        "WD2",
        "fit WD1",
    ),
    "trailing bytes": (wd2_file(3) + wd2_file(1, first_counter=3)[:30], "WD2", "30 bytes after the last whole record"),
}


@pytest.mark.filterwarnings("ignore::vornkit.FormatWarning")  # the ones pytest.warns does not match
@pytest.mark.parametrize("name", MISREADS)
def test_silent_misreads_are_reported_and_warned(write, name):
    data, kind, problem = MISREADS[name]
    path = write(data)
    report = vornkit.scan(path, kind)
    assert not report.ok and any(problem in p for p in report.problems), report.problems
    if name == "wd1 read as wd2":  # another layout's records are refused, not read as garbage
        with pytest.raises(vornkit.FormatError, match="are WD1 records: give kind='WD1'"):
            list(vornkit.events(path, kind, on_corrupt="skip"))
        return
    with pytest.warns(vornkit.FormatWarning, match=problem):
        list(vornkit.events(path, kind, on_corrupt="skip"))  # garbage, perhaps impossible sizes
    if name == "wd2 first counters skip":
        assert report.channels == 1 and vornkit.scan(path).kind == "WD2"
        assert any(p.endswith("give channels=2") for p in report.problems)
        assert vornkit.scan(path, channels=2).channels == 2


def test_compressed_file_is_refused(write):
    path = write(gzip.compress(wd2_file(4)))
    for call in (lambda: vornkit.scan(path), lambda: vornkit.scan(path, "WD2"), lambda: vornkit.arrays(path, "WD1")):
        with pytest.raises(vornkit.FormatError, match="gzip"):
            call()


def test_scan_counts_gaps_wraps_time_and_corrupt_headers(write):
    counters = [0xFFFFFFFE, 0xFFFFFFFF, 0, 3, 4, 4]
    stamps = [10, 20, 15, 30, 2**64 - 1, 5]  # one step back, one wrap
    data = b"".join(
        wd2_record(c, 2, [1, 2, 3, 4], timestamp=t, channel_word=2) for c, t in zip(counters, stamps, strict=True)
    )
    r = vornkit.scan(write(data))
    assert (r.kind, r.channels, r.events, r.record_bytes, r.samples) == ("WD2", 2, 6, (44, 44), (2, 2))
    assert (r.counter_wraps, r.counter_gaps, r.counters_missing, r.counters_out_of_order) == (1, 1, 2, 1)
    assert (r.timestamps_backwards, r.timestamp_wraps) == (1, 1)
    # Past the damage, reading goes on where three headers chain: the records after it, then the trailing bytes.
    tail = wd1_record(26, event_counter=10) + wd1_record(26, event_counter=11) + b"\x01\x02"
    c = vornkit.scan(write(corrupt_wd1() + tail, "c.wd1"))
    assert (c.kind, c.events, c.corrupt, c.skipped, c.trailing_bytes) == ("WD1", 5, [(2, 2096)], [(2, 2096, 24)], 2)
    assert "1 corrupt record header(s), 24 bytes skipped, first at byte 2096" in c.problems


def append_slowly(path, data, pieces):
    """Appends `data` to `path` in `pieces` parts (cutting records), pausing between them."""
    step = -(-len(data) // pieces)
    for i in range(0, len(data), step):
        with open(path, "ab") as f:
            f.write(data[i : i + step])
        time.sleep(0.02)


def collect(gen, n, stop):
    out = []
    for ev in gen:
        out.append(ev)
        if len(out) == n:
            stop.set()
    return out


@pytest.mark.parametrize("kind,data", [("WD1", MIXED_WD1), ("WD2", wd2_file(6, channels=3))])
def test_follow_growing_file_from_before_it_exists(tmp_path, kind, data):
    path = tmp_path / "run.bin"
    expected = vorn_events(_written(tmp_path / "ref", data), kind)
    stop = threading.Event()
    writer = threading.Thread(target=append_slowly, args=(path, data, 7))
    writer.start()
    got = collect(vornkit.follow(path, kind, poll=0.01, idle_timeout=60, stop=stop), len(expected), stop)
    writer.join()
    assert [ev["data"].tobytes() for ev in got] == [ev["data"].tobytes() for ev in expected]


def _written(path, data):
    path.write_bytes(data)
    return path


def test_follow_fifo_and_idle_timeout(tmp_path):
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    # Held open for reading here, the FIFO keeps what a writer wrote after it has gone; the follow
    # opens it without waiting for a writer, reads that, and ends: no writer counts as idle time.
    hold = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    copy = "import sys\nsrc = open(sys.argv[1], 'rb').read()\nopen(sys.argv[2], 'wb').write(src)\n"
    writer = subprocess.run([sys.executable, "-c", copy, _written(tmp_path / "src", MIXED_WD1), fifo], timeout=60)
    assert writer.returncode == 0
    got = list(vornkit.follow(fifo, "WD1", poll=0.01, idle_timeout=0.2))
    os.close(hold)
    assert [ev["event_counter"] for ev in got] == list(range(9))


def test_follow_raises_when_the_file_is_truncated_or_replaced(tmp_path):
    path = tmp_path / "run.wd1"
    path.write_bytes(MIXED_WD1)
    for change in (
        lambda: path.write_bytes(MIXED_WD1[:100]),
        lambda: os.replace(_written(tmp_path / "n", MIXED_WD1), path),
    ):
        gen = vornkit.follow(path, "WD1", poll=0.01, idle_timeout=60)
        assert len([next(gen) for _ in range(9)]) == 9
        change()
        with pytest.raises(vornkit.FileChangedError, match="truncated|replaced") as info:
            next(gen)
        assert info.value.event == 9
        path.write_bytes(MIXED_WD1)


def run_cli(*args):
    return subprocess.run(
        [sys.executable, "-m", "vornkit", *map(str, args)], capture_output=True, text=True, env=child_env(), timeout=120
    )


def test_cli_info_and_convert(tmp_path):
    ok = run_cli("info", *(p for p, _ in SAMPLES))
    assert ok.returncode == 0, ok.stderr
    assert "channels               2: the first two headers agree" in ok.stdout
    assert "events                 16" in ok.stdout
    bad = tmp_path / "bad.wd2"
    bad.write_bytes(shifted_counters())
    out = run_cli("info", "--short", bad, SAMPLES[0][0])
    assert out.returncode == 1 and "--channels 2" in out.stdout and out.stdout.endswith("run.wd1: ok\n")
    assert "channels               2: given" in run_cli("info", "--channels", "2", bad).stdout
    for suffix, lib in ((".npz", "numpy"), (".parquet", "pyarrow"), (".h5", "h5py")):
        pytest.importorskip(lib)
        dest = tmp_path / ("mixed" + suffix)
        src = _written(tmp_path / "mixed.wd2", MIXED_WD2)
        assert run_cli("convert", src, dest, "--step", "2").returncode == 0
        assert_same(_load(dest), vorn_events(src, "WD2"))


def _load(path):
    if path.suffix == ".npz":
        return dict(np.load(path))
    if path.suffix == ".parquet":
        import pyarrow.parquet as pq

        table = pq.read_table(path)
        out = {k: table[k].to_numpy() for k in table.column_names if k != "data"}
        sample = table["data"].type
        while hasattr(sample, "value_type"):
            sample = sample.value_type
        # Each event's samples, channel after channel.
        events = [np.ravel(np.asarray(ev, sample.to_pandas_dtype())) for ev in table["data"].to_pylist()]
        offsets = np.concatenate([[0], np.cumsum([len(ev) for ev in events])])
        return dict(out, data=np.concatenate(events), offsets=offsets)
    import h5py

    with h5py.File(path) as f:
        return {k: f[k][()] for k in f}


def test_awkward_layout():
    ak = pytest.importorskip("awkward")
    arr = vornkit.arrays(SAMPLES[1][0], "WD2", library="ak")
    assert (
        str(arr.type) == "10 * {event_counter: uint32, timestamp: uint64, samples: uint32, "
        "sampling_period: uint64, channels: int32, data: 2 * var * float32}"
    )
    assert ak.to_numpy(arr["data"][3]).tobytes() == vorn_events(*SAMPLES[1])[3]["data"].tobytes()


def test_to_dataframe_of_many_files_codes_the_file_column(write, tmp_path):
    """`file` is a Categorical over the files as given (one category for a file given twice),
    built from small codes: no array of path strings, whose size grows with the path's length."""
    import tracemalloc

    pytest.importorskip("pandas")
    deep = tmp_path / ("d" * 200)
    deep.mkdir()
    b = str(deep / "b.wd1")
    with open(b, "wb") as f:
        f.write(b"".join(wd1_record(24, event_counter=i) for i in range(30000)))
    a = SAMPLES[0][0]
    tracemalloc.start()
    try:
        frame = vornkit.to_dataframe([b, a, b], "WD1")
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert list(frame["file"].cat.categories) == [b, a]
    assert frame["file"].cat.codes.tolist() == [0] * 30000 + [1] * 16 + [0] * 30000
    assert frame["entry"].tolist() == [*range(30000), *range(16), *range(30000)]
    assert frame["event_counter"].tolist()[-3:] == [29997, 29998, 29999]
    assert peak < 4 * frame.memory_usage(deep=True).sum(), peak  # a path string per row would be 800 bytes
