"""Benchmark of vorn against the peers a user would write instead.

    python bench/run.py [--scale S] [--reps N] [--json FILE] [--only NAME]

Writes each workload (seeded pulses on a noisy baseline) to a temporary directory, checks
that every reader yields identical events, then times the readers interleaved, after a
warm-up with the file in the page cache, and prints medians as rates and ratios. Also
reports the peak RSS rise of one pass with the events dropped.

With --kit (on by default) it also times vornkit on each file: `arrays()` against a bulk
read into a structured array (np.fromfile) and against iterating vorn, with its peak RSS
rise next to the size of its result, and `scan()` against one read of the file through vorn.

The limit, the least any reader must spend, is measured in the same run: the file's bytes
moved once from the page cache (1 MiB reads into one reused buffer) plus an ideal C loop
that only makes and drops each event's objects (bench/limit.c, compiled here).
"""

import argparse
import importlib.util
import json
import os
import platform
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time

import numpy as np

import peers
import vorn

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import vornkit  # noqa: E402  (the source tree's, beside the module under test)

WORKLOADS = [
    # name, format, events at scale 1, samples per channel, channels
    ("WD1 0 samples", "WD1", 1_000_000, 0, 1),
    ("WD1 1024 samples", "WD1", 100_000, 1024, 1),
    ("WD1 2 MiB records", "WD1", 150, 1_048_576, 1),
    ("WD2 2ch x 1024", "WD2", 40_000, 1024, 2),
    ("WD2 1ch x 1024", "WD2", 60_000, 1024, 1),
]


def write_workload(path, fmt, events, samples, channels, seed=7):
    rng = np.random.default_rng(seed)
    t = np.arange(samples)
    shape = np.where(t >= samples // 4, np.exp(-(t - samples // 4) / max(samples / 40, 1)), 0.0)
    templates = 64  # a few distinct waveforms, reused, keep writing fast
    with open(path, "wb") as f:
        if fmt == "WD1":
            waves = [np.clip(8000 + rng.normal(0, 4, samples) - rng.uniform(200, 3000) * shape, 0, 16383)
                     .astype("<u2").tobytes() for _ in range(templates)]
            head = np.zeros((events, 6), "<i4")
            head[:, 0] = 24 + 2 * samples
            head[:, 1] = 3
            head[:, 3] = 5
            head[:, 4] = np.arange(events)
            head[:, 5] = np.cumsum(rng.integers(1000, 5000, events)) & 0x7FFFFFFF
            for i in range(events):
                f.write(head[i].tobytes())
                f.write(waves[i % templates])
        else:
            waves = [np.concatenate([rng.normal(0, 0.002, samples) - rng.uniform(0.05, 0.4) * shape
                                     for _ in range(channels)]).astype("<f4").tobytes()
                     for _ in range(templates)]
            fields = "<IQIQi" if channels >= 2 else "<IQIQ"
            import struct
            for i in range(events):
                values = (i, 10**15 + 1000 * i, samples, 200) + ((channels,) if channels >= 2 else ())
                f.write(struct.pack(fields, *values))
                f.write(waves[i % templates])


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


def peak_rss_rise_kib(run):
    """Peak RSS rise over one call of run(), with the kernel's peak reset first."""
    def status(key):
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith(key))
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
    subprocess.run([os.environ.get("CC", "cc"), "-O2", "-shared", "-fPIC", "-I", sysconfig.get_paths()["include"],
                    "-I", np.get_include(), os.path.join(os.path.dirname(__file__), "limit.c"), "-o", out],
                   check=True)
    spec = importlib.util.spec_from_file_location("vorn_limit", out)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def bench(name, fmt, events, samples, channels, reps, directory, limit):
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

    for make in readers.values():  # warm-up: page cache, allocator, NumPy
        drain(make())
    times = {k: [] for k in readers}
    for _ in range(reps):
        for k, make in readers.items():
            t0 = time.perf_counter()
            drain(make())
            times[k].append(time.perf_counter() - t0)
    rss = {k: peak_rss_rise_kib(lambda m=make: drain(m())) for k, make in readers.items()
           if k in ("vorn", "bulk", "handwritten")}
    med = {k: statistics.median(v) for k, v in times.items()}
    med["limit"] = med["copy"] + med["objects"]
    kit = bench_kit(path, fmt, samples, channels, reps) if KIT else None
    return {
        "kit": kit,
        "workload": name, "events": events, "bytes": size,
        "seconds": med,
        "events_per_s": {k: events / v for k, v in med.items()},
        "mb_per_s": {k: size / v / 1e6 for k, v in med.items()},
        "vorn_vs": {k: med[k] / med["vorn"] for k in med if k != "vorn"},
        "peak_rss_rise_kib": rss,
        "record_bytes": size // max(events, 1),
    }


KIT = True


def bench_kit(path, fmt, samples, channels, reps):
    """vornkit.arrays and vornkit.scan on one file: seconds, and arrays' peak RSS rise."""
    result = vornkit.arrays(path, fmt)
    table = peers.bulk_arrays(path, fmt, samples, channels)
    for k in table.dtype.names:  # the same arrays as the bulk read
        if not np.array_equal(result[k], table[k]):
            raise SystemExit(f"{path}: vornkit.arrays differs from the bulk read in {k}")
    result_kib = sum(v.nbytes for v in result.values()) // 1024
    del result, table
    runs = {
        "arrays": lambda: vornkit.arrays(path, fmt),
        "bulk": lambda: peers.bulk_arrays(path, fmt, samples, channels),
        "vorn": lambda: drain(vorn.EventReader(path, fmt)),
        "scan": lambda: vornkit.scan(path, fmt),
    }
    times = {k: [] for k in runs}
    for _ in range(reps):
        for k, run in runs.items():
            t0 = time.perf_counter()
            run()
            times[k].append(time.perf_counter() - t0)
    med = {k: statistics.median(v) for k, v in times.items()}
    rss = {k: peak_rss_rise_kib(lambda r=runs[k]: r()) for k in ("arrays", "bulk")}
    return {"seconds": med, "result_kib": result_kib, "peak_rss_rise_kib": rss}


def print_kit_table(results):
    """vornkit per workload: arrays() time and its ratio to iterating vorn and to the bulk read;
    peak RSS rise over the result's size; scan() over one read through vorn."""
    print(f"\n{'workload':20} {'arrays s':>9} {'/vorn':>6} {'/bulk':>6} {'result':>10} {'arrays peak':>12} "
          f"{'bulk peak':>10} {'scan s':>8} {'scan/vorn':>9}")
    for r in results:
        k = r["kit"]
        if k is None:
            continue
        s, rss = k["seconds"], k["peak_rss_rise_kib"]
        mib = lambda kib: "-" if kib is None else f"{kib / 1024:.1f} MiB"  # noqa: E731
        print(f"{r['workload']:20} {s['arrays']:9.4f} {s['arrays'] / s['vorn']:6.2f} {s['arrays'] / s['bulk']:6.2f} "
              f"{mib(k['result_kib']):>10} {mib(rss['arrays']):>12} {mib(rss['bulk']):>10} {s['scan']:8.4f} "
              f"{s['scan'] / s['vorn']:9.2f}")


def print_table(results):
    """Per reader: rate, microseconds per event, and how many times vorn is faster; for the
    limit, vorn's time over the limit's (1.0 would be at the limit)."""
    print(f"{'workload':20} {'reader':12} {'events/s':>11} {'us/event':>9} {'MB/s':>7} "
          f"{'vorn x':>7} {'peak RSS rise':>14}")
    for r in results:
        for k in ("vorn", "bulk", "handwritten", "copy", "objects", "limit"):
            rss = r["peak_rss_rise_kib"].get(k)
            ratio = "" if k == "vorn" else format(r["vorn_vs"][k], ".2f")
            if k == "limit":
                ratio = f"vorn/limit {1 / r['vorn_vs'][k]:.2f}"
            print(f"{r['workload'] if k == 'vorn' else '':20} {k:12} {r['events_per_s'][k]:11.4g} "
                  f"{1e6 / r['events_per_s'][k]:9.3f} {r['mb_per_s'][k]:7.0f} {ratio:>7} "
                  f"{'' if rss is None else str(rss) + ' KiB':>14}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--scale", type=float, default=1.0, help="fraction of the full workload sizes")
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--json", help="write the results here")
    ap.add_argument("--only", help="run only workloads whose name contains this")
    ap.add_argument("--kit", action=argparse.BooleanOptionalAction, default=True, help="also time vornkit")
    args = ap.parse_args()
    global KIT
    KIT = args.kit
    results = []
    with tempfile.TemporaryDirectory(prefix="vorn-bench-") as directory:
        limit = build_limit(directory)
        for name, fmt, events, samples, channels in WORKLOADS:
            if args.only and args.only not in name:
                continue
            n = max(2, int(events * args.scale))
            results.append(bench(name, fmt, n, samples, channels, args.reps, directory, limit))
    print(f"python {platform.python_version()} {platform.machine()} ({8 * np.dtype(np.intp).itemsize}-bit), "
          f"numpy {np.__version__}, median of {args.reps}")
    print_table(results)
    if KIT:
        print_kit_table(results)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"python": sys.version, "machine": platform.machine(), "numpy": np.__version__,
                       "results": results}, f, indent=1)


if __name__ == "__main__":
    main()
