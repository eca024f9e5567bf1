"""Writes the fuzz targets' seed corpus: small valid files, each after two bytes that
choose where the target cuts the file before it grows."""

import pathlib
import struct

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent / "corpus"


def wd1(sizes):
    return b"".join(struct.pack("<6i", s, 1, 2, 3, i, 1000 * i)
                    + np.arange(max(0, (s - 24) // 2), dtype="<u2").tobytes() for i, s in enumerate(sizes))


def wd2(n, samples, channels):
    out = b""
    for i in range(n):
        head = struct.pack("<IQIQ", 7 + i, 10**12 + i, samples, 200)
        if channels >= 2:
            head += struct.pack("<i", channels)
        out += head + (np.arange(channels * samples, dtype="<f4") * 0.5 + 1.5).tobytes()
    return out


def main():
    seeds = {
        "wd1": [wd1([24, 28, 1048]), wd1([23, 25, 27, 30, 24]), wd1([24 + 2 * 600, 22, 24])],
        "wd2": [wd2(3, 4, 2), wd2(3, 16, 1), wd2(4, 8, 3), wd2(2, 0, 2)],
    }
    for target, files in seeds.items():
        d = HERE / target
        d.mkdir(parents=True, exist_ok=True)
        for i, body in enumerate(files):
            cut = (len(body) * 2 // 3).to_bytes(2, "little")
            (d / f"seed{i}").write_bytes(cut + body)


if __name__ == "__main__":
    main()
