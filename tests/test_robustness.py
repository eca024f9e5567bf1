"""Threads, leaks and memory exhaustion."""

import gc
import sys
import threading

import numpy as np

import vorn
from support import SANITIZED, needs_plain_memory, open_fds, rss_kib, run_python, wd1_record, wd2_file

ER = vorn.EventReader


def test_threads_sharing_one_reader_get_every_record_once(write):
    n = 20_000
    path = write(b"".join(wd1_record(24 + 2 * (i % 7), event_counter=i) for i in range(n)))
    r = ER(path, "WD1")
    seen, errors = [[] for _ in range(4)], []

    def consume(out):
        while True:
            try:
                ev = next(r)
            except StopIteration:
                return
            except RuntimeError as e:  # an overlapping call: documented, and nothing was read
                errors.append(str(e))
                continue
            out.append(ev["event_counter"])

    threads = [threading.Thread(target=consume, args=(s,)) for s in seen]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    got = sorted(c for s in seen for c in s)
    assert got == list(range(n))
    assert set(errors) <= {"Already borrowed"}


def test_readers_in_threads_match_one_thread(tmp_path):
    paths = []
    for i in range(6):
        p = tmp_path / f"run{i}.wd2"
        p.write_bytes(wd2_file(200 + 10 * i, samples=64 + i, channels=1 + i % 3, first_counter=i * 1000))
        paths.append(str(p))

    def summary(path):
        return [(ev["event_counter"], ev["channels"], ev["data"].tobytes()) for ev in ER(path, "WD2")]

    expected = [summary(p) for p in paths]
    results = [None] * len(paths)

    def work(i):
        for _ in range(3):
            results[i] = summary(paths[i])

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(paths))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == expected


def leak_counts(types):
    """What a leak raises: open descriptors, the types' reference counts, the resident size (after a collection)."""
    gc.collect()
    return open_fds(), [sys.getrefcount(t) for t in types], rss_kib()


def assert_nothing_leaked(before, types, slack_kib):
    fds, refs, rss = leak_counts(types)
    assert (fds, refs) == before[:2]
    if not SANITIZED:  # LeakSanitizer checks memory there
        assert rss - before[2] < slack_kib


def test_failed_constructions_leak_nothing(write, tmp_path):
    empty, short = write(b"", "e"), write(b"x" * 20, "s")
    cases = [
        ((), {}),
        (("a", "b", "c"), {}),
        (("a",), {"bad": 1}),
        ((empty, None), {}),
        ((b"x", "WD1"), {}),
        (("a\0b", "WD1"), {}),
        ((str(tmp_path / "missing"), "WD1"), {}),
        ((empty, "WD3"), {}),
        ((empty, "WD2"), {}),
        ((short, "WD2"), {}),
        ((str(tmp_path), "WD2"), {}),
        (("x\udc80", "WD1"), {}),
    ]

    def run(times):
        for _ in range(times):
            for args, kwargs in cases:
                try:
                    ER(*args, **kwargs)
                except (TypeError, ValueError, OSError):
                    pass
                else:
                    raise AssertionError(args)

    run(200)  # warm up caches and allocator pools
    types = [ER]
    before = leak_counts(types)
    run(10_000 // len(cases) + 1)
    assert_nothing_leaked(before, types, 1024)


def test_readers_and_events_leak_nothing(write):
    both = write(wd2_file(3), "both")  # reads as either layout
    fds = open_fds()
    readers = [ER(both, "WD1"), ER(both, "WD2")]
    assert open_fds() == fds + 2
    del readers  # the last reference closes the file
    assert open_fds() == fds

    # A million header-only events (a byte lost on each shows), then bigger ones read often.
    many = write(wd1_record(24) * 1_000_000 + wd1_record(24 + 2 * 64) * 1000, "many")
    sized = write(wd1_record(24 + 2 * 100) * 20_000, "sized")
    types = [ER, type(next(ER(sized, "WD1"))["data"].base)]
    for path, events, passes, slack_kib in [(many, 1_001_000, 2, 2048), (sized, 20_000, 5, 1024)]:
        for _ev in ER(path, "WD1"):  # warm up allocator pools
            pass
        del _ev
        before = leak_counts(types)
        n = 0
        for _ in range(passes):
            for _ev in ER(path, "WD1"):
                n += 1
        del _ev
        assert n == passes * events
        assert_nothing_leaked(before, types, slack_kib)


_HELD_READERS = """
import sys, vorn
from support import rss_kib
path = sys.argv[1]
list(vorn.EventReader(path, "WD1"))  # loads NumPy's array API
before = rss_kib("VmSize")
held = [vorn.EventReader(path, "WD1") for _ in range(2000)]
for r in held[::2]:
    assert len(list(r)) == 1
print(rss_kib("VmSize") - before)
"""


@needs_plain_memory
def test_read_buffer_grows_with_what_is_read(write):
    # 2000 readers of a small file kept alive together, half of them read to its end: each
    # buffer is as large as its reads. The address space counts buffers whose pages were
    # never touched, which the resident size does not.
    out = run_python(_HELD_READERS, write(wd1_record(250), "small"))
    assert out.returncode == 0, out.stderr
    assert int(out.stdout) < 64 * 1024  # 2000 whole buffers: 512 MiB
    # A file of small records (the read-ahead grows to its largest) with a large one among
    # them (read past the buffer, with the next header into it) still reads exactly.
    counts = [i % 200 for i in range(6000)]
    counts[3000] = 100_000
    path = write(b"".join(wd1_record(24 + 2 * n, np.arange(n) * 3 + i, event_counter=i) for i, n in enumerate(counts)))
    for i, (ev, n) in enumerate(zip(ER(path, "WD1"), counts, strict=True)):
        assert ev["event_counter"] == i and np.array_equal(ev["data"], (np.arange(n) * 3 + i).astype("<u2"))


@needs_plain_memory
def test_huge_claim_costs_only_what_the_file_holds(write):
    # ~2 GiB claimed, 1 KiB present: under a tight address-space limit the read just ends.
    path = write(wd1_record(24, []) + wd1_record(2**31 - 1, np.arange(500)) + b"")
    out = run_python(f"""
        import resource, vorn, numpy
        r = vorn.EventReader({path!r}, "WD1")
        print(next(r)["event_size"])
        with open("/proc/self/status") as f:
            vm = next(int(l.split()[1]) for l in f if l.startswith("VmSize")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (vm + 64 * 2**20, resource.RLIM_INFINITY))
        print(list(r))
    """)
    assert out.stdout.split("\n")[:2] == ["24", "[]"], out.stderr


@needs_plain_memory
def test_allocation_failure_is_memory_error_and_the_reader_survives(tmp_path):
    samples = 150_000_000  # 300 MB of samples, in a sparse file that holds them all
    path = tmp_path / "big.wd1"
    with open(path, "wb") as f:
        f.write(wd1_record(24, [], event_counter=1))
        f.write(wd1_record(24 + 2 * samples, []))
        f.truncate(48 + 2 * samples)
        f.seek(0, 2)
        f.write(wd1_record(26, [7], event_counter=3))
    out = run_python(f"""
        import resource, vorn, numpy
        r = vorn.EventReader({str(path)!r}, "WD1")
        print(next(r)["event_counter"])
        with open("/proc/self/status") as f:
            vm = next(int(l.split()[1]) for l in f if l.startswith("VmSize")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (vm + 100 * 2**20, resource.RLIM_INFINITY))
        for attempt in range(2):
            try:
                next(r)
            except MemoryError:
                print("MemoryError")
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        ev = next(r)
        print(len(ev["data"]), int(ev["data"].sum()))
        print(next(r)["event_counter"])
    """)
    assert out.stdout.split("\n")[:5] == ["1", "MemoryError", "MemoryError", f"{samples} 0", "3"], (
        out.stdout + out.stderr
    )
