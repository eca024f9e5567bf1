"""Benchmark of vorn against the peers a user would write instead.

    python bench/run.py [--scale S] [--reps N] [--json FILE] [--only NAME] [--no-kit]

Writes each workload (seeded pulses on a noisy baseline) to a temporary directory, checks
that every reader yields identical events, then times the readers interleaved, after a
warm-up with the file in the page cache, and prints medians as rates and ratios. Also
reports the peak RSS rise of one pass with the events dropped, and the read() system calls
vorn makes per event (from /proc/self/io), each against its target.

With --kit (on by default) it also measures vornkit, each time against what it must beat:
- per workload, `arrays()` against the columnar limit (bench/limit.c `columns`: large reads
  straight into one new array per header field and one data array, the least any columnar
  reader spends), against a structured np.fromfile and against iterating vorn; the header
  columns alone (`columns=`) and `to_dataframe()` against `arrays()`; peak RSS rises next to
  the results' sizes;
- seek: the last 100 events of a ~1 GB run of same-size records against the whole run;
- threads: two files read by `arrays()` in two threads at once against one after the other;
- many files: a mean waveform over 50 files with `iterate()` against a loop of np.fromfile;
- convert: `convert()` of a 500 MB run to .parquet and .h5 against pyarrow/h5py writing its
  arrays (in memory) with the same layout, convert's peak RSS rise, 300 random events read
  back from the .h5.
- dask: a mean waveform over 8 files with `vornkit.dask` on the threaded scheduler against
  `arrays()` file after file (skipped without dask).
- features: `features()` of a ~1.5 GB run against a memmap read in 64 MB chunks with
  vectorised NumPy reductions (bench/peers.py) and the columnar read limit; two files in two
  threads against one after the other; peak RSS rise against the result.
Each target is printed with its ratio and PASS or MISS (n/a where vornkit lacks the call or
pandas is missing) and written to --json; a miss does not fail the run. --only also picks
these sections by name ("seek", "threads", "many files", "convert", "dask").

The limit, the least any reader must spend, is measured in the same run: the file's bytes
moved once from the page cache (1 MiB reads into one reused buffer) plus an ideal C loop
that only makes and drops each event's objects (bench/limit.c, compiled here).
"""

import argparse
import ctypes
import importlib.util
import inspect
import json
import operator
import os
import platform
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import peers
import vorn

if not os.path.isdir(os.path.join(os.path.dirname(vorn.__file__), "vornkit")):
    # vorn from a build tree: the source tree's vornkit, whose _core is beside vorn (an install has its own)
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src"))
import vornkit  # noqa: E402
from vornkit import _convert  # noqa: E402  (the chunks convert gives HDF5 datasets)
from vornkit._layouts import FIELDS, SAMPLE_DTYPE, header_dtype  # noqa: E402

WORKLOADS = [
    # name, format, events at scale 1, samples per channel, channels
    ("WD1 0 samples", "WD1", 1_000_000, 0, 1),
    ("WD1 1024 samples", "WD1", 100_000, 1024, 1),
    ("WD1 2 MiB records", "WD1", 150, 1_048_576, 1),
    ("WD2 2ch x 1024", "WD2", 40_000, 1024, 2),
    ("WD2 1ch x 1024", "WD2", 60_000, 1024, 1),
]
# vornkit's sections: format, samples per channel, channels, bytes per file at scale 1 (, files)
SEEK = ("WD2", 1024, 2, 1e9)
THREADS = ("WD2", 1024, 2, 250e6)
MANY = ("WD1", 1024, 1, 20e6, 50)
CHUNK_BYTES = 4 << 20  # what vornkit reads through at once: the peak RSS allowed over a result
HAVE_PANDAS = importlib.util.find_spec("pandas") is not None
LIBC = ctypes.CDLL(None)


def write_workload(path, fmt, events, samples, channels, seed=7):
    """Same-size records (WD2: a channel word from 2 channels on), their headers laid out by the
    field table. Standalone rather than the tests' writer: the benchmark runs without tests/."""
    rng = np.random.default_rng(seed)
    t = np.arange(samples)
    shape = np.where(t >= samples // 4, np.exp(-(t - samples // 4) / max(samples / 40, 1)), 0.0)
    templates = 64  # a few distinct waveforms, reused, keep writing fast
    head = np.zeros(events, header_dtype(fmt, channels >= 2))
    if fmt == "WD1":
        waves = [
            np.clip(8000 + rng.normal(0, 4, samples) - rng.uniform(200, 3000) * shape, 0, 16383).astype("<u2").tobytes()
            for _ in range(templates)
        ]
        head["event_size"] = 24 + 2 * samples
        head["board_id"] = 3
        head["board_channel"] = 5
        head["event_counter"] = np.arange(events)
        head["timestamp"] = np.cumsum(rng.integers(1000, 5000, events)) & 0x7FFFFFFF
    else:
        waves = [
            np.concatenate([rng.normal(0, 0.002, samples) - rng.uniform(0.05, 0.4) * shape for _ in range(channels)])
            .astype("<f4")
            .tobytes()
            for _ in range(templates)
        ]
        head["event_counter"] = np.arange(events)
        head["timestamp"] = 10**15 + 1000 * np.arange(events, dtype=np.uint64)
        head["samples"] = samples
        head["sampling_period"] = 200
        if channels >= 2:
            head["channels"] = channels
    with open(path, "wb") as f:
        for i in range(events):
            f.write(head[i].tobytes())
            f.write(waves[i % templates])


def record_bytes(fmt, samples, channels):
    """Bytes of one record as write_workload writes it (WD2: a channel word from 2 channels on)."""
    return header_dtype(fmt, channels >= 2).itemsize + SAMPLE_DTYPE[fmt].itemsize * samples * channels


def write_run(directory, name, fmt, samples, channels, nbytes, seed=7):
    """A file of about nbytes of same-size records; returns its path and its event count."""
    events = max(2, int(nbytes // record_bytes(fmt, samples, channels)))
    path = os.path.join(directory, f"{name}.{fmt.lower()}")
    write_workload(path, fmt, events, samples, channels, seed)
    return path, events


def medians(runs, reps):
    """Median seconds of each run, after a warm-up call of each; the repetitions interleaved.

    Each call starts from the same allocator state: freed memory is handed back first, so
    that no reader fills memory another one just freed (and faulted in) while the next pays
    for fresh pages."""
    for run in runs.values():
        run()
    times = {k: [] for k in runs}
    for _ in range(reps):
        for k, run in runs.items():
            if hasattr(LIBC, "malloc_trim"):
                LIBC.malloc_trim(0)
            t0 = time.perf_counter()
            run()
            times[k].append(time.perf_counter() - t0)
    return {k: statistics.median(v) for k, v in times.items()}


def accepts(func, keyword):
    """Whether func takes this keyword (vornkit's calls gain keywords as they are written)."""
    try:
        params = inspect.signature(func).parameters
    except (TypeError, ValueError):  # no signature to read: let the call tell
        return True
    return keyword in params or any(p.kind is p.VAR_KEYWORD for p in params.values())


def drain(events):
    for _ in events:
        pass


def same_events(a, b):
    for x, y in zip(a, b, strict=True):
        if list(x) != list(y):
            return False
        for k in x:
            if k == "data":
                if x[k].dtype != y[k].dtype or x[k].tobytes() != y[k].tobytes():
                    return False
            elif x[k] != y[k] or type(x[k]) is not type(y[k]):
                return False
    return True


def proc_io():
    """This process's read system calls and the bytes they brought so far (/proc/self/io), or None."""
    try:
        with open("/proc/self/io") as f:
            fields = dict(line.split(": ") for line in f.read().splitlines())
        return int(fields["syscr"]), int(fields["rchar"])
    except (OSError, KeyError, ValueError):
        return None


def system_reads(path, fmt, events, skip=2):
    """The read system calls vorn makes per event, and the bytes per call, over the file's
    `events` events but the first `skip` (the WD2 probe, NumPy's import) and without the end of
    data; None where /proc/self/io is missing or no event is left."""
    reader = vorn.EventReader(path, fmt)
    for _ in range(skip):
        next(reader)
    first, before = proc_io(), proc_io()  # the reads of one look at the counters, taken off below
    for _ in range(events - skip):
        next(reader)
    after = proc_io()
    if first is None or before is None or after is None or events <= skip:
        return None
    calls = after[0] - 2 * before[0] + first[0]
    nbytes = after[1] - 2 * before[1] + first[1]
    return {
        "events": events - skip,
        "calls": calls,
        "per_event": calls / (events - skip),
        "kib_per_call": nbytes / max(calls, 1) / 1024,
    }


def peak_rss_rise_kib(run):
    """Peak RSS rise over one call of run(), with the kernel's peak reset first."""

    def status(key):
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith(key))

    if hasattr(LIBC, "malloc_trim"):  # hand freed heap memory back, or a new result reuses it unseen
        LIBC.malloc_trim(0)
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        return None
    before = status("VmRSS")
    run()
    return status("VmHWM") - before


def build_limit(directory):
    """Compiles bench/limit.c for this interpreter and imports it."""
    out = os.path.join(directory, "vorn_limit" + sysconfig.get_config_var("EXT_SUFFIX"))
    subprocess.run(
        [
            os.environ.get("CC", "cc"),
            "-O2",
            "-shared",
            "-fPIC",
            "-I",
            sysconfig.get_paths()["include"],
            "-I",
            np.get_include(),
            os.path.join(os.path.dirname(__file__), "limit.c"),
            "-o",
            out,
        ],
        check=True,
    )
    spec = importlib.util.spec_from_file_location("vorn_limit", out)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def bench(name, fmt, events, samples, channels, reps, directory, limit, kit):
    path = os.path.join(directory, name.replace(" ", "_") + "." + fmt.lower())
    write_workload(path, fmt, events, samples, channels)
    size = os.path.getsize(path)
    if fmt == "WD1":
        readers = {
            "vorn": lambda: vorn.EventReader(path, "WD1"),
            "handwritten": lambda: peers.handwritten_wd1(path),
            "bulk": lambda: peers.bulk_wd1(path, samples),
        }
    else:
        readers = {
            "vorn": lambda: vorn.EventReader(path, "WD2"),
            "handwritten": lambda: peers.handwritten_wd2(path, channels),
            "bulk": lambda: peers.bulk_wd2(path, samples, channels),
        }
    for peer in ("handwritten", "bulk"):
        if not same_events(readers["vorn"](), readers[peer]()):
            raise SystemExit(f"{name}: {peer} does not yield the same events as vorn")
    readers["copy"] = lambda: (limit.stream_copy(path), ())[1]
    readers["objects"] = lambda: (limit.objects(fmt, events, samples * channels), ())[1]

    med = medians({k: lambda m=make: drain(m()) for k, make in readers.items()}, reps)
    rss = {
        k: peak_rss_rise_kib(lambda m=make: drain(m()))
        for k, make in readers.items()
        if k in ("vorn", "bulk", "handwritten")
    }
    med["limit"] = med["copy"] + med["objects"]
    return {
        "kit": bench_kit(path, fmt, samples, channels, reps, limit) if kit else None,
        "workload": name,
        "events": events,
        "bytes": size,
        "samples": samples * channels,
        "seconds": med,
        "events_per_s": {k: events / v for k, v in med.items()},
        "mb_per_s": {k: size / v / 1e6 for k, v in med.items()},
        "vorn_vs": {k: med[k] / med["vorn"] for k in med if k != "vorn"},
        "peak_rss_rise_kib": rss,
        "record_bytes": size // max(events, 1),
        "system_reads": system_reads(path, fmt, events),
    }


def columnar_limit(limit, path, fmt, samples, channels):
    """bench/limit.c's columns() on a file of this layout: the columns arrays() returns (data flat)."""
    head = header_dtype(fmt, channels >= 2)
    block = record_bytes(fmt, samples, channels) - head.itemsize
    fields = tuple((head.fields[name][1], head.fields[name][0]) for name in head.names)
    *columns, data = limit.columns(path, fmt, head.itemsize, block, fields)
    return dict(zip(head.names, columns, strict=True)) | {"data": data}


def check_same(path, what, got, table, names):
    """Stops the run when a reader's columns differ from the structured read's."""
    for k in names:
        if not np.array_equal(np.reshape(got[k], table[k].shape), table[k]):
            raise SystemExit(f"{path}: {what} differs from the structured read in {k}")


def nbytes(result):
    return sum(v.nbytes for v in result.values())


def bench_kit(path, fmt, samples, channels, reps, limit):
    """vornkit on one workload file: arrays() against the columnar limit, np.fromfile and vorn;
    the header columns alone and to_dataframe() against arrays(); seconds, result sizes and
    peak RSS rises."""
    header = [name for name, _, _ in FIELDS[fmt]]
    runs = {
        "arrays": lambda: vornkit.arrays(path, fmt),
        "limit": lambda: columnar_limit(limit, path, fmt, samples, channels),
        "fromfile": lambda: peers.bulk_arrays(path, fmt, samples, channels),
        "vorn": lambda: drain(vorn.EventReader(path, fmt)),
    }
    if accepts(vornkit.arrays, "columns"):
        runs["columns"] = lambda: vornkit.arrays(path, fmt, columns=header)
    if HAVE_PANDAS:
        runs["dataframe"] = lambda: vornkit.to_dataframe(path, fmt)
    table = runs["fromfile"]()
    sizes = {}
    for k in ("arrays", "limit", "columns", "dataframe"):
        if k in runs:
            got = runs[k]()
            names = [n for n in table.dtype.names if k in ("arrays", "limit") or n != "data"]
            if k == "dataframe":
                sizes[k] = int(got.memory_usage().sum())
                got = {n: got[n].to_numpy() for n in names}
            else:
                sizes[k] = nbytes(got)
            check_same(path, k, got, table, names)
    del table, got
    return {
        "seconds": medians(runs, reps),
        "result_bytes": sizes,
        "peak_rss_rise_kib": {k: peak_rss_rise_kib(runs[k]) for k in sizes if k != "limit"},
    }


def bench_seek(directory, scale, reps):
    """The last 100 events of a run of same-size records against the whole run."""
    fmt, samples, channels, size = SEEK
    path, events = write_run(directory, "seek", fmt, samples, channels, size * scale)
    start = max(0, events - 100)
    tail = vornkit.arrays(path, fmt, start=start)
    if not np.array_equal(tail["event_counter"], np.arange(start, events)):
        raise SystemExit(f"{path}: arrays(start={start}) does not return the last events")
    seconds = medians(
        {"whole": lambda: vornkit.arrays(path, fmt), "last 100": lambda: vornkit.arrays(path, fmt, start=start)}, reps
    )
    return {"events": events, "bytes": os.path.getsize(path), "seconds": seconds}


DAMAGED = ("WD2", 1024, 2, 1e9)  # a 1 GB run at scale 1, clean and with 10 damaged spans


def opens_of(path, code):
    """How often a fresh interpreter running `code` opens `path` (strace), or None without strace."""
    if shutil.which("strace") is None:
        return None
    with tempfile.NamedTemporaryFile("r", suffix=".strace") as log:
        cmd = ["strace", "-f", "-qq", "-e", "trace=open,openat", "-o", log.name, sys.executable, "-c", code]
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))  # this vornkit
        if subprocess.run(cmd, capture_output=True, env=env).returncode != 0:
            return None
        return sum(f'"{path}"' in line for line in log)


def bench_damaged(directory, scale, reps):
    """arrays(on_corrupt="skip") over a run with 10 damaged spans (17 bytes lost each) against
    the clean run, and how often one arrays() call opens the file."""
    fmt, samples, channels, size = DAMAGED
    clean, events = write_run(directory, "clean", fmt, samples, channels, size * scale)
    damaged = os.path.join(directory, "damaged.wd2")
    total = os.path.getsize(clean)
    cuts = [total * (k + 1) // 11 for k in range(10)]
    with open(clean, "rb") as src, open(damaged, "wb") as dst:
        at = 0
        for cut in cuts:
            dst.write(src.read(cut - at))
            src.seek(17, os.SEEK_CUR)
            at = cut + 17
        shutil.copyfileobj(src, dst)
    got = vornkit.arrays(damaged, fmt, on_corrupt="skip", columns=["event_counter"])
    spans = vornkit.scan(damaged, fmt).skipped
    if len(spans) != 10 or not events - 20 <= len(got["event_counter"]) < events:
        raise SystemExit(f"{damaged}: {len(spans)} damaged spans, {len(got['event_counter'])} of {events} events")
    seconds = medians(
        {
            "clean": lambda: vornkit.arrays(clean, fmt),
            "clean, skip": lambda: vornkit.arrays(clean, fmt, on_corrupt="skip"),
            "damaged, skip": lambda: vornkit.arrays(damaged, fmt, on_corrupt="skip"),
        },
        reps,
    )
    code = f"import vornkit; vornkit.arrays({clean!r}, {fmt!r})"
    return {
        "events": events,
        "bytes": total,
        "lost": events - len(got["event_counter"]),
        "seconds": seconds,
        "opens": opens_of(clean, code),
    }


def in_threads(calls):
    """Makes each call in its own thread, all at once; returns when all are done."""
    with ThreadPoolExecutor(len(calls)) as pool:
        for done in [pool.submit(call) for call in calls]:
            done.result()


def bench_threads(directory, scale, reps):
    """Two files read by arrays() in two threads at once against one after the other; the
    same with np.fromfile for reference."""
    fmt, samples, channels, size = THREADS
    paths = [write_run(directory, f"thread{i}", fmt, samples, channels, size * scale, seed=i)[0] for i in (1, 2)]
    readers = {
        "vornkit": lambda p: vornkit.arrays(p, fmt),
        "fromfile": lambda p: peers.bulk_arrays(p, fmt, samples, channels),
    }
    runs = {}
    for name, read in readers.items():
        runs[name + " one after the other"] = lambda read=read: [read(p) for p in paths]
        runs[name + " in two threads"] = lambda read=read: in_threads([lambda p=p: read(p) for p in paths])
    seconds = medians(runs, reps)
    return {
        "bytes": sum(map(os.path.getsize, paths)),
        "seconds": seconds,
        "speedup": {k: seconds[k + " one after the other"] / seconds[k + " in two threads"] for k in readers},
    }


FEATURES = [("WD1", 1024, 1, 1.5e9), ("WD2", 1024, 2, 1.5e9)]  # runs of 1-2 GB at scale 1


def bench_features(directory, scale, reps, limit):
    """features() of a large run against the memmap peer (64 MB chunks, vectorised NumPy) and
    against the columnar read limit of the same file; two files in two threads against one
    after the other; peak RSS rise against the result's size."""
    return {fmt: _bench_features(directory, scale, reps, limit, fmt, *rest) for fmt, *rest in FEATURES}


def _bench_features(directory, scale, reps, limit, fmt, samples, channels, size):
    path, events = write_run(directory, f"features-{fmt}", fmt, samples, channels, size * scale)
    got = vornkit.features(path, fmt)
    peer = peers.memmap_features(path, fmt, samples, channels)
    for k in peer:  # same features, or the comparison means nothing
        np.testing.assert_allclose(got[k].reshape(-1), peer[k].reshape(-1), rtol=1e-9, atol=1e-6, err_msg=k)
    del peer
    other = write_run(directory, f"features-{fmt}-2", fmt, samples, channels, size * scale, seed=3)[0]
    runs = {
        "features": lambda: vornkit.features(path, fmt),
        "memmap peer": lambda: peers.memmap_features(path, fmt, samples, channels),
        "columnar limit": lambda: columnar_limit(limit, path, fmt, samples, channels),
        "two files one after the other": lambda: [vornkit.features(p, fmt) for p in (path, other)],
        "two files in two threads": lambda: in_threads([lambda p=p: vornkit.features(p, fmt) for p in (path, other)]),
    }
    seconds = medians(runs, reps)
    out = {
        "bytes": os.path.getsize(path),
        "events": events,
        "seconds": seconds,
        "vs_peer": seconds["memmap peer"] / seconds["features"],
        "vs_limit": seconds["features"] / seconds["columnar limit"],
        "threads": seconds["two files one after the other"] / seconds["two files in two threads"],
        "rss_rise_mib": (peak_rss_rise_kib(lambda: vornkit.features(path, fmt)) or 0) / 1024,
        "result_mib": nbytes(got) / 2**20,
    }
    os.unlink(other)
    os.unlink(path)
    return out


def features_targets(section):
    lines = []
    for fmt, r in (section or {}).items():
        rss = r["rss_rise_mib"] - r["result_mib"]
        for what, ratio, op, bound in (
            (f"features {fmt}: memmap peer (64 MB chunks, NumPy) / features() (time)", r["vs_peer"], ">=", 2.0),
            (f"features {fmt}: features() / columnar read limit (time)", r["vs_limit"], "<=", 1.3),
            (
                f"features {fmt}: two files in two threads (throughput over one after the other)",
                r["threads"],
                ">=",
                1.6,
            ),
            (f"features {fmt}: peak RSS rise over the result (MiB)", rss, "<=", 64.0),
        ):
            ok = ratio >= bound if op == ">=" else ratio <= bound
            lines.append({"target": what, "ratio": ratio, "op": op, "bound": bound, "pass": ok})
    return lines


def print_features(section):
    for fmt, r in (section or {}).items():
        s = r["seconds"]
        print(
            f"features {fmt}: {r['bytes'] / 1e6:.0f} MB, {r['events']} events: features() {s['features']:.4f} s, "
            f"memmap peer {s['memmap peer']:.4f} s, columnar limit {s['columnar limit']:.4f} s; two files "
            f"{s['two files one after the other']:.4f} s one after the other, {s['two files in two threads']:.4f} s "
            f"in two threads; peak RSS rise {r['rss_rise_mib']:.0f} MiB (result {r['result_mib']:.0f} MiB)"
        )


def mean_waveform(blocks):
    """The mean of the events' samples, from blocks of events x samples."""
    total, n = 0.0, 0
    for data in blocks:
        total = total + data.sum(axis=0, dtype=np.float64)
        n += len(data)
    return total / n


def bench_many(directory, scale, reps):
    """A mean waveform over many files: iterate() against a loop of np.fromfile."""
    fmt, samples, channels, size, files = MANY
    paths = [write_run(directory, f"many{i:02}", fmt, samples, channels, size * scale, seed=i)[0] for i in range(files)]
    runs = {
        "iterate": lambda: mean_waveform(c["data"] for c in vornkit.iterate(paths, fmt, step="100 MB")),
        "fromfile": lambda: mean_waveform(peers.bulk_arrays(p, fmt, samples, channels)["data"] for p in paths),
    }
    if not np.allclose(runs["iterate"](), runs["fromfile"]()):
        raise SystemExit("iterate() and np.fromfile give different mean waveforms")
    return {"files": files, "bytes": sum(map(os.path.getsize, paths)), "seconds": medians(runs, reps)}


# vornkit.dask: a campaign read in partitions on the threaded scheduler, against arrays() file after file.
DASK = ("WD2", 1024, 2, 64e6, 8)  # format, samples per channel, channels, bytes per file at scale 1, files


def bench_dask(directory, scale, reps):
    """A mean waveform over 8 files: vornkit.dask (survey and compute, threaded scheduler)
    against arrays() file after file, and a pool of two threads doing the same by hand (the
    parallelism the machine gives at the time); None without dask."""
    if importlib.util.find_spec("dask") is None or not hasattr(vornkit, "dask"):
        return None
    fmt, samples, channels, size, files = DASK
    paths = [write_run(directory, f"dask{i}", fmt, samples, channels, size * scale, seed=i)[0] for i in range(files)]

    def on_dask():
        data = vornkit.dask(paths, fmt, columns=["data"])["data"]
        return (data.sum(axis=0, dtype=np.float64) / data.shape[0]).compute(scheduler="threads")

    def sums(p):
        data = vornkit.arrays(p, fmt, columns=["data"])["data"]
        return data.sum(axis=0, dtype=np.float64), len(data)

    def in_pool():  # the same work in two threads by hand: what the machine allows now, for reference
        with ThreadPoolExecutor(2) as pool:
            parts = list(pool.map(sums, paths))
        return sum(p[0] for p in parts) / sum(p[1] for p in parts)

    runs = {
        "dask": on_dask,
        "arrays": lambda: mean_waveform(vornkit.arrays(p, fmt, columns=["data"])["data"] for p in paths),
        "pool": in_pool,
    }
    if not (np.allclose(runs["dask"](), runs["arrays"]()) and np.allclose(runs["pool"](), runs["arrays"]())):
        raise SystemExit("vornkit.dask, arrays() and the thread pool give different mean waveforms")
    seconds = medians(runs, reps)
    return {
        "files": files,
        "bytes": sum(map(os.path.getsize, paths)),
        "seconds": seconds,
        "speedup": seconds["arrays"] / seconds["dask"],
    }


def dask_targets(section):
    if not section:
        return []
    ratio, bound = section["speedup"], 1.6
    what = f"dask: vornkit.dask over {section['files']} files, threaded scheduler / arrays() file after file"
    return [{"target": what + " (throughput)", "ratio": ratio, "op": ">=", "bound": bound, "pass": ratio >= bound}]


def print_dask(section):
    if section:
        s = section["seconds"]
        print(
            f"dask: mean waveform over {section['files']} files, {section['bytes'] / 1e6:.0f} MB: vornkit.dask "
            f"(threads) {s['dask']:.4f} s, arrays() file after file {s['arrays']:.4f} s (x{section['speedup']:.2f}); "
            f"for reference, arrays() in a pool of two threads {s['pool']:.4f} s (x{s['arrays'] / s['pool']:.2f})"
        )


# A campaign of mixed record lengths analysed from pulse features: dask_features on a LocalCluster
# of two worker processes against a loop over arrays() and NumPy.
CAMPAIGN = ("WD1", (256, 512, 1024), 48, 31e6)  # format, sample counts, files, bytes per file at scale 1
CAMPAIGN_BINS = np.linspace(-2000, 60000, 201)  # the charge spectrum


def numpy_features(run, baseline=(0, 64)):
    """baseline, amplitude and integral of each event of an arrays() result (negative pulses),
    by vectorised reductions over the events of each record length."""
    data, offsets = run["data"], run.get("offsets")
    n = len(run["event_counter"])
    groups = [(slice(None), data)]
    if offsets is not None:
        counts = np.diff(offsets)
        groups = [
            (i, data[offsets[i][:, None] + np.arange(s)])
            for s in np.unique(counts)
            for i in [np.flatnonzero(counts == s)]
        ]
    out = {k: np.empty(n) for k in ("baseline", "amplitude", "integral")}
    b0, b1 = baseline
    for idx, rows in groups:
        base = rows[:, b0:b1].mean(axis=1, dtype=np.float64)
        gate = rows[:, b1:]
        out["baseline"][idx] = base
        out["amplitude"][idx] = base - gate.min(axis=1)
        out["integral"][idx] = base * gate.shape[1] - gate.sum(axis=1, dtype=np.float64)
    return out


def campaign_loop(paths, fmt):
    """The analysis file after file: mean amplitude per board channel, charge spectrum, baseline per file."""
    spectrum, sums, per_file = np.zeros(len(CAMPAIGN_BINS) - 1, np.int64), {}, []
    for p in paths:
        run = vornkit.arrays(p, fmt)
        f = numpy_features(run)
        spectrum += np.histogram(f["integral"], CAMPAIGN_BINS)[0]
        key = run["board_id"].astype(np.int64) * 1000 + run["board_channel"]
        for k in np.unique(key):
            a = sums.setdefault(int(k), [0.0, 0])
            a[0] += f["amplitude"][key == k].sum()
            a[1] += int((key == k).sum())
        per_file.append(f["baseline"].mean())
    return spectrum, {k: a[0] / a[1] for k, a in sorted(sums.items())}


def _spectrum(s):
    import pandas as pd

    return pd.Series(np.histogram(s.to_numpy(), CAMPAIGN_BINS)[0])


def campaign_dask(paths, fmt):
    """The same from vornkit.dask_features, computed together on the cluster of the caller's Client."""
    import dask

    frame = vornkit.dask_features(paths, fmt)
    means = frame.groupby(["board_id", "board_channel"])["amplitude"].mean(split_out=1)
    per_file = frame.groupby("file", observed=True)["baseline"].mean(split_out=1)
    spectrum = frame["integral"].reduction(_spectrum, lambda p: p.groupby(level=0).sum(), meta=("integral", "i8"))
    means, per_file, spectrum = dask.compute(means, per_file, spectrum)
    return spectrum.to_numpy(), {int(b) * 1000 + int(c): float(v) for (b, c), v in means.sort_index().items()}


def write_campaign(directory, scale):
    """CAMPAIGN's files: each two runs of different record lengths end to end, boards 0 to 3."""
    fmt, counts, files, size = CAMPAIGN
    paths = []
    for i in range(files):
        path = os.path.join(directory, f"campaign{i:02}.{fmt.lower()}")
        with open(path, "wb") as out:
            for k in range(2):
                part, _ = write_run(directory, "part", fmt, counts[(i + k) % 3], 1, size * scale / 2, seed=3 * i + k)
                with open(part, "rb") as f:
                    out.write(f.read())
                os.unlink(part)
        paths.append(path)
    return paths


def bench_campaign(directory, scale, reps):
    """dask_features on a LocalCluster (two worker processes, one thread each) against the loop
    over arrays(); the workers' peak RSS. None without dask.distributed."""
    if importlib.util.find_spec("distributed") is None or not hasattr(vornkit, "dask_features"):
        return None
    import logging

    from dask.distributed import Client, LocalCluster

    fmt = CAMPAIGN[0]
    paths = write_campaign(directory, scale)
    with (
        LocalCluster(
            n_workers=2, threads_per_worker=1, host="127.0.0.1", dashboard_address=None, silence_logs=logging.ERROR
        ) as cluster,
        Client(cluster) as client,
    ):
        client.run(lambda: [importlib.import_module(m) for m in ("vornkit", "pandas", "dask.dataframe")] and None)
        runs = {"dask": lambda: campaign_dask(paths, fmt), "loop": lambda: campaign_loop(paths, fmt)}
        (s1, m1), (s2, m2) = runs["dask"](), runs["loop"]()
        if (
            np.abs(s1 - s2).sum() > len(paths)
            or list(m1) != list(m2)
            or not np.allclose(list(m1.values()), list(m2.values()))
        ):
            raise SystemExit("dask_features and the loop over arrays() give different analyses")
        seconds = medians(runs, reps)
        peaks = client.run(lambda: __import__("resource").getrusage(__import__("resource").RUSAGE_SELF).ru_maxrss << 10)
    return {
        "files": len(paths),
        "bytes": sum(map(os.path.getsize, paths)),
        "seconds": seconds,
        "speedup": seconds["loop"] / seconds["dask"],
        "worker_peak_rss": max(peaks.values()),
    }


def campaign_targets(section):
    if not section:
        return []
    what = f"campaign: dask_features, {section['files']} files, LocalCluster(2)"
    peak = section["worker_peak_rss"] / 1e6
    return [
        {"target": what + " / arrays() loop", "ratio": section["speedup"], "op": ">", "bound": 1.0,
         "pass": section["speedup"] > 1.0},
        {"target": what + ": MB per worker", "ratio": peak, "op": "<", "bound": 300, "pass": peak < 300},
    ]  # fmt: skip


def print_campaign(section):
    if section:
        s, peak = section["seconds"], section["worker_peak_rss"] / 1e6
        print(
            f"campaign: {section['files']} files of mixed record lengths, {section['bytes'] / 1e6:.0f} MB, the "
            f"analysis from features: dask_features on LocalCluster(2) {s['dask']:.3f} s, loop over arrays() + "
            f"NumPy {s['loop']:.3f} s (x{section['speedup']:.2f}); peak RSS per worker {peak:.0f} MB"
        )


OPS = {"<": operator.lt, "<=": operator.le, ">": operator.gt, ">=": operator.ge}


def targets(results, seek, threads, many, damaged):
    """Each target: what is measured, its ratio (None: not measurable here), the bound and
    whether the ratio meets it."""
    lines = []

    def add(what, ratio, op, bound):
        lines.append(
            {
                "target": what,
                "ratio": ratio,
                "op": op,
                "bound": bound,
                "pass": None if ratio is None else OPS[op](ratio, bound),
            }
        )

    for r in results:
        # vorn's reads: a record with a sample block of 64 KiB or more costs one system call
        # (its samples straight into their storage, the next header with them); smaller ones
        # share one, many to a call.
        reads = r["system_reads"]
        big = r["record_bytes"] >= (64 << 10) + 24
        add(
            f"{r['workload']}: vorn read() calls per event",
            None if reads is None else reads["per_event"],
            "<=",
            1.0 if big else 1 / 16,
        )
        k = r["kit"]
        if k is None:
            continue
        s, w = k["seconds"], r["workload"]
        add(f"{w}: arrays / columnar limit", s["arrays"] / s["limit"], "<=", 1.3)
        if r["samples"]:
            add(f"{w}: arrays / np.fromfile", s["arrays"] / s["fromfile"], "<=", 1.0)
        # Header-only reads are targets for records of 1 MiB and more, where they skip nearly
        # everything; for small records the table shows their peaks.
        for key, call in (("columns", "arrays(columns=header)"), ("dataframe", "to_dataframe")):
            if r["record_bytes"] < 1 << 20:
                continue
            add(f"{w}: {call} / arrays", s[key] / s["arrays"] if key in s else None, "<", 0.10)
            rss = k["peak_rss_rise_kib"].get(key)
            allowed = k["result_bytes"].get(key, 0) + max(CHUNK_BYTES, r["record_bytes"])
            add(f"{w}: {call} peak RSS / (result + chunk)", None if rss is None else rss * 1024 / allowed, "<=", 1.0)
    if seek:
        add("seek: arrays(start=N-100) / arrays", seek["seconds"]["last 100"] / seek["seconds"]["whole"], "<", 0.01)
    if threads:
        add(
            "threads: arrays, two files, two threads / one after the other (throughput)",
            threads["speedup"]["vornkit"],
            ">=",
            1.6,
        )
    if many:
        add(
            "many files: iterate / np.fromfile loop (mean waveform)",
            many["seconds"]["iterate"] / many["seconds"]["fromfile"],
            "<=",
            1.3,
        )
    if damaged:
        s = damaged["seconds"]
        add(
            "damaged: arrays(skip), 10 damaged spans / arrays of the clean run",
            s["damaged, skip"] / s["clean"],
            "<=",
            1.2,
        )
        add("damaged: files opened per arrays() call", damaged["opens"], "<=", 1)
    return lines


def mib(n, unit=1 << 20):
    return "-" if n is None else f"{n / unit:.1f}"


def print_kit_table(results):
    """vornkit per workload: arrays() seconds and its time over the columnar limit's, the
    structured np.fromfile's and iterating vorn's; its result and peak RSS rise (MiB); the
    same for the header columns alone and to_dataframe(), their times over arrays()'."""
    print(
        f"\n{'workload':20} {'arrays s':>9} {'/limit':>7} {'/fromfile':>9} {'/vorn':>6} {'MiB':>6} {'peak':>6} "
        f"{'header/arrays':>13} {'MiB':>6} {'peak':>6} {'frame/arrays':>12} {'MiB':>6} {'peak':>6}"
    )
    for r in results:
        k = r["kit"]
        if k is None:
            continue
        s, size, rss = k["seconds"], k["result_bytes"], k["peak_rss_rise_kib"]
        line = (
            f"{r['workload']:20} {s['arrays']:9.4f} {s['arrays'] / s['limit']:7.2f} "
            f"{s['arrays'] / s['fromfile']:9.2f} {s['arrays'] / s['vorn']:6.2f} {mib(size['arrays']):>6} "
            f"{mib(rss['arrays'], 1024):>6}"
        )
        for key, width in (("columns", 13), ("dataframe", 12)):
            ratio = format(s[key] / s["arrays"], ".3f") if key in s else "n/a"
            line += f" {ratio:>{width}} {mib(size.get(key)):>6} {mib(rss.get(key), 1024):>6}"
        print(line)
    print(
        "(MiB: the result's size; peak: the peak RSS rise of the call, MiB; header: arrays(columns=<header "
        "fields>); frame: to_dataframe())"
    )


def print_reads(results):
    for r in results:
        reads = r["system_reads"]
        if reads is not None:
            print(
                f"{r['workload']:20} vorn: {reads['calls']} read() calls for {reads['events']} events "
                f"({reads['per_event']:.4f} per event, {reads['kib_per_call']:.0f} KiB per call)"
            )


def print_sections(seek, threads, many, damaged):
    if seek:
        s = seek["seconds"]
        print(
            f"\nseek: {seek['events']} events, {seek['bytes'] / 1e6:.0f} MB: arrays() {s['whole']:.4f} s, "
            f"arrays(start=N-100) {s['last 100']:.5f} s"
        )
    if threads:
        s = threads["seconds"]
        print(
            f"threads: two files, {threads['bytes'] / 1e6:.0f} MB together: "
            + "; ".join(
                f"{k} {s[k + ' one after the other']:.4f} s one after the other, {s[k + ' in two threads']:.4f} s "
                f"in two threads (x{v:.2f})"
                for k, v in threads["speedup"].items()
            )
        )
    if many:
        s = many["seconds"]
        print(
            f"many files: mean waveform over {many['files']} files, {many['bytes'] / 1e6:.0f} MB: "
            f"iterate() {s['iterate']:.4f} s, np.fromfile loop {s['fromfile']:.4f} s"
        )
    if damaged:
        s = damaged["seconds"]
        print(
            f"damaged: {damaged['bytes'] / 1e6:.0f} MB, 10 spans of 17 bytes lost ({damaged['lost']} events lost): "
            f"arrays() clean {s['clean']:.4f} s, skip {s['clean, skip']:.4f} s; damaged, skip "
            f"{s['damaged, skip']:.4f} s; opens per arrays() {damaged['opens']}"
        )


def print_targets(lines):
    print(f"\n{'target':78} {'ratio':>7} {'bound':>8}")
    for t in lines:
        ratio = "n/a" if t["ratio"] is None else f"{t['ratio']:.3f}"
        verdict = "n/a" if t["pass"] is None else "PASS" if t["pass"] else "MISS"
        print(f"{t['target']:78} {ratio:>7} {t['op'] + ' ' + format(t['bound'], 'g'):>8}  {verdict}")


def print_table(results):
    """Per reader: rate, microseconds per event, and how many times vorn is faster; for the
    limit, vorn's time over the limit's (1.0 would be at the limit)."""
    print(
        f"{'workload':20} {'reader':12} {'events/s':>11} {'us/event':>9} {'MB/s':>7} "
        f"{'vorn x':>7} {'peak RSS rise':>14}"
    )
    for r in results:
        for k in ("vorn", "bulk", "handwritten", "copy", "objects", "limit"):
            rss = r["peak_rss_rise_kib"].get(k)
            ratio = "" if k == "vorn" else format(r["vorn_vs"][k], ".2f")
            if k == "limit":
                ratio = f"vorn/limit {1 / r['vorn_vs'][k]:.2f}"
            print(
                f"{r['workload'] if k == 'vorn' else '':20} {k:12} {r['events_per_s'][k]:11.4g} "
                f"{1e6 / r['events_per_s'][k]:9.3f} {r['mb_per_s'][k]:7.0f} {ratio:>7} "
                f"{'' if rss is None else str(rss) + ' KiB':>14}"
            )


# --- convert: vornkit.convert to Parquet and HDF5 against writing the same arrays directly ---
CONVERT = ("WD2", 1024, 2, 5e8)  # format, samples per channel, channels, bytes at scale 1 (a 500 MB run)
CONVERT_CHUNK = 64 << 20  # what convert reads and writes at once: the peak RSS allowed, about


def bench_convert(directory, scale, reps):
    """convert() to .parquet and .h5 against pyarrow/h5py writing the run's arrays (already in
    memory) with the same layout; convert's peak RSS rise; 300 random events read from the .h5.
    None without pyarrow or h5py (the 32-bit target has no pyarrow)."""
    if importlib.util.find_spec("pyarrow") is None or importlib.util.find_spec("h5py") is None:
        return None
    import h5py
    import pyarrow as pa
    import pyarrow.parquet as pq

    fmt, samples, channels, size = CONVERT
    path, events = write_run(directory, "convert", fmt, samples, channels, size * scale)
    out = {
        ext: os.path.join(directory, "convert" + ext) for ext in (".parquet", ".h5", "-direct.parquet", "-direct.h5")
    }
    held = {"whole": vornkit.arrays(path, fmt)}  # dropped before the peak RSS is measured

    def direct_parquet():
        whole = held["whole"]
        data = whole["data"]
        lists = pa.FixedSizeListArray.from_arrays(pa.array(data.reshape(-1)), samples)
        cols = {k: pa.array(v) for k, v in whole.items() if k != "data"}
        cols["data"] = pa.FixedSizeListArray.from_arrays(lists, channels)
        rows = max(1, CONVERT_CHUNK // (data[0].nbytes or 1))
        header = [k for k in cols if k != "data"]  # as convert: no dictionary tried on the samples
        pq.write_table(
            pa.table(cols), out["-direct.parquet"], compression="none", row_group_size=rows, use_dictionary=header
        )

    def direct_h5():
        whole = held["whole"]
        with h5py.File(out["-direct.h5"], "w") as f:  # the chunks convert gives each dataset
            for k, v in whole.items():
                f.create_dataset(k, data=v, chunks=_convert._chunk_shape(v.shape[1:], v.itemsize, len(v)))

    def direct_h5_synced():  # what convert also does: the file synced to disk before it is renamed
        direct_h5()
        fd = os.open(out["-direct.h5"], os.O_RDONLY)
        os.fsync(fd)
        os.close(fd)

    runs = {
        "convert .parquet": lambda: vornkit.convert(path, out[".parquet"], force=True),
        "pyarrow write_table": direct_parquet,
        "convert .h5": lambda: vornkit.convert(path, out[".h5"], force=True),
        "h5py create_dataset": direct_h5,
        "h5py create_dataset + fsync": direct_h5_synced,
    }
    seconds = medians(runs, reps)
    table = pq.read_table(out[".parquet"])
    whole = held.pop("whole")
    back = table["data"].combine_chunks().flatten().flatten().to_numpy().reshape(whole["data"].shape)
    if not np.array_equal(back.view(np.uint32), whole["data"].view(np.uint32)):
        raise SystemExit("convert .parquet does not read back as the run")
    del whole, table, back
    rng = np.random.default_rng(1)
    picks = np.sort(rng.choice(events, min(300, events), replace=False))

    def random_h5():
        with h5py.File(out[".h5"]) as f:
            ds = f["data"]
            return [ds[i] for i in picks]

    with h5py.File(out[".h5"]) as f:
        chunks = f["data"].chunks
    return {
        "events": events,
        "bytes": os.path.getsize(path),
        "chunks": chunks,
        "seconds": seconds,
        "random 300 seconds": medians({"random": random_h5}, reps)["random"],
        "peak_rss_rise_kib": {
            k: peak_rss_rise_kib(lambda k=k: vornkit.convert(path, out[k], force=True)) for k in (".parquet", ".h5")
        },
    }


def convert_targets(r):
    if not r:
        return []
    s, rss = r["seconds"], r["peak_rss_rise_kib"]
    lines = [
        ("convert: .parquet / pyarrow write_table", s["convert .parquet"] / s["pyarrow write_table"], "<=", 1.5),
        ("convert: .h5 / h5py create_dataset (same chunks)", s["convert .h5"] / s["h5py create_dataset"], "<=", 1.3),
        (
            "convert: .h5 / (h5py create_dataset + fsync)",
            s["convert .h5"] / s["h5py create_dataset + fsync"],
            "<=",
            1.3,
        ),
        ("convert: 300 random events from the .h5 (s)", r["random 300 seconds"], "<", 0.1),
    ]
    for k in (".parquet", ".h5"):
        peak = None if rss[k] is None else rss[k] * 1024 / CONVERT_CHUNK
        lines.append((f"convert: {k} peak RSS / 64 MiB chunk", peak, "<=", 2.0))
    return [
        {"target": t, "ratio": v, "op": op, "bound": b, "pass": None if v is None else OPS[op](v, b)}
        for t, v, op, b in lines
    ]


def print_convert(r):
    if not r:
        return
    s = r["seconds"]
    print(
        f"convert: {r['events']} events, {r['bytes'] / 1e6:.0f} MB, HDF5 chunks {r['chunks']}: "
        + ", ".join(f"{k} {v:.3f} s" for k, v in s.items())
        + f"; 300 random events from the .h5 {r['random 300 seconds']:.4f} s; peak RSS rise "
        + ", ".join(f"{k} {mib(v, 1024)} MiB" for k, v in r["peak_rss_rise_kib"].items())
    )


# --- end of convert ---


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--scale", type=float, default=1.0, help="fraction of the full workload sizes")
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--json", help="write the results here")
    sections = '"seek", "threads", "many files", "damaged", "convert", "dask", "features", "campaign"'
    ap.add_argument("--only", help=f"run only workloads or sections ({sections}) so named")
    ap.add_argument("--kit", action=argparse.BooleanOptionalAction, default=True, help="also measure vornkit")
    args = ap.parse_args()
    wanted = lambda name: not args.only or args.only in name  # noqa: E731
    results, sections = [], {}
    with tempfile.TemporaryDirectory(prefix="vorn-bench-") as directory:
        limit = build_limit(directory)
        for name, fmt, events, samples, channels in WORKLOADS:
            if wanted(name):
                n = max(2, int(events * args.scale))
                results.append(bench(name, fmt, n, samples, channels, args.reps, directory, limit, args.kit))
        for name, run in (
            ("seek", bench_seek),
            ("threads", bench_threads),
            ("many files", bench_many),
            ("damaged", bench_damaged),
        ):
            sections[name] = run(directory, args.scale, args.reps) if args.kit and wanted(name) else None
        converted = bench_convert(directory, args.scale, args.reps) if args.kit and wanted("convert") else None
        on_dask = bench_dask(directory, args.scale, args.reps) if args.kit and wanted("dask") else None
        feats = bench_features(directory, args.scale, args.reps, limit) if args.kit and wanted("features") else None
        campaign = bench_campaign(directory, args.scale, args.reps) if args.kit and wanted("campaign") else None
    lines = targets(results, *sections.values())
    if args.kit:
        lines += (
            convert_targets(converted) + dask_targets(on_dask) + features_targets(feats) + campaign_targets(campaign)
        )
    print(
        f"python {platform.python_version()} {platform.machine()} ({8 * np.dtype(np.intp).itemsize}-bit), "
        f"numpy {np.__version__}, median of {args.reps}"
    )
    if results:
        print_table(results)
        print_reads(results)
        if args.kit:
            print_kit_table(results)
    if args.kit:
        print_sections(*sections.values())
        print_convert(converted)
        print_dask(on_dask)
        print_features(feats)
        print_campaign(campaign)
    print_targets(lines)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(
                {
                    "python": sys.version,
                    "machine": platform.machine(),
                    "numpy": np.__version__,
                    "results": results,
                    **sections,
                    "convert": converted,
                    "dask": on_dask,
                    "features": feats,
                    "campaign": campaign,
                    "targets": lines,
                },
                f,
                indent=1,
            )


if __name__ == "__main__":
    main()
