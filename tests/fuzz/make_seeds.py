"""Writes the fuzz targets' seed corpus. Raw targets: small valid files, each after two
bytes that choose where the target cuts the file before it grows. Record targets: short
descriptions of records and of how the file arrives (format in fuzz_common.hpp).

Records come from the tests' writer, so run it as the tests run (the built module on PYTHONPATH)."""

import pathlib
import struct
import sys

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent / "corpus"
sys.path.insert(0, str(HERE.parent.parent))
from support import wd1_record, wd2_record  # noqa: E402


def wd1(sizes):
    return b"".join(wd1_record(s, event_counter=i, timestamp=1000 * i) for i, s in enumerate(sizes))


def wd2(n, samples, channels):
    return b"".join(
        wd2_record(
            7 + i,
            samples,
            np.arange(channels * samples) * 0.5 + 1.5,
            timestamp=10**12 + i,
            sampling_period=200,
            channel_word=channels if channels >= 2 else None,
        )
        for i in range(n)
    )


PIPE, TRIM = 1, 8


def records(flags, recs, arrival=(), channels=1, trim=0):
    """A record target's input: recs of (size index, delta, kind, seed); arrival as cuts
    (record, place, delta) or chunks (scale, size)."""
    out = struct.pack("<BBH", flags | (channels - 1) << 1, len(recs) - 1, trim)
    out += b"".join(struct.pack("<BhBI", *r) for r in recs)
    return out + b"".join(struct.pack("<BBh" if len(a) == 3 else "<BH", *a) for a in arrival)


def main():
    seeds = {
        "wd1": [wd1([24, 28, 1048]), wd1([23, 25, 27, 30, 24]), wd1([24 + 2 * 600, 22, 24])],
        "wd2": [wd2(3, 4, 2), wd2(3, 16, 1), wd2(4, 8, 3), wd2(2, 0, 2)],
    }
    small = [(0, 40, 0, 11), (0, 7, 1, 12), (0, 0, 2, 13), (0, 0, 3, 14), (0, 300, 0, 15)]
    described = {
        "wd1_records": [
            records(0, small, [(0, 2, 0), (1, 4, 1), (4, 9, 0)]),
            records(PIPE, small, [(0, 0)] * 40 + [(1, 200)]),
            records(TRIM, [(3, -2, 0, 1), (3, 2, 1, 2), (0, 10, 0, 3)], [(0, 7, 0), (1, 8, 0)], trim=5),
        ],
        "wd2_records": [
            records(0, small, [(0, 3, 0), (2, 9, 1)], channels=2),
            records(PIPE, small[:3], [(0, 0)] * 30 + [(0, 999)], channels=1),
            records(TRIM, [(2, 0, 0, 5), (2, 0, 0, 6), (3, 12, 2, 7)], [(1, 6, 0), (2, 10, 0)], channels=3, trim=9),
        ],
    }
    for target, inputs in described.items():
        d = HERE / target
        d.mkdir(parents=True, exist_ok=True)
        for i, body in enumerate(inputs):
            (d / f"seed{i}").write_bytes(body)
    for target, files in seeds.items():
        d = HERE / target
        d.mkdir(parents=True, exist_ok=True)
        for i, body in enumerate(files):
            cut = (len(body) * 2 // 3).to_bytes(2, "little")
            (d / f"seed{i}").write_bytes(cut + body)


if __name__ == "__main__":
    main()
