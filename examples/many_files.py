"""A campaign of WD1 runs of mixed record lengths, analysed from its pulse features.

    python examples/many_files.py [FILE | DIRECTORY | PATTERN ...]

vornkit.features reads every run once, computing per event a baseline and its noise, the
pulse amplitude, where it peaks and its charge, while each record is in cache; no sample
array is kept, so a campaign of many gigabytes needs memory for the feature table only
(about 70 bytes an event). From the table: the mean amplitude per board and channel, a
charge spectrum, and the baseline's stability over time. Without arguments it reads the
bundled examples/data/run.wd1 and twelve generated runs from four boards with 256, 512 or
1024 samples an event, written to a temporary directory. The same table comes lazily, per
partition on a cluster, from vornkit.dask_features.
"""

import pathlib
import sys
import tempfile

import numpy as np

import vornkit

HERE = pathlib.Path(__file__).resolve().parent
BASELINE = (0, 100)  # the samples before the pulse


def demo_campaign(directory: pathlib.Path, runs: int = 12) -> list[str]:
    """The bundled run and `runs` generated ones (boards 1 to 4, 40 to 150 events of 256 to 1024 samples)."""
    sys.path.insert(0, str(HERE))
    from make_sample_data import wd1  # the sample-data writer, seeded per run

    paths = [str(HERE / "data" / "run.wd1")]
    for i in range(runs):
        path = directory / f"run{i:03d}.wd1"
        rng = np.random.default_rng(i)
        samples = (256, 512, 1024)[i % 3]
        path.write_bytes(wd1(rng, events=int(rng.integers(40, 150)), samples=samples, board=1 + i % 4))
        paths.append(str(path))
    return paths


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        paths = sys.argv[1:] or demo_campaign(pathlib.Path(tmp))
        f = vornkit.features(paths, "WD1", baseline=BASELINE, saturation=16383)  # one pass, no samples kept
    sizes = np.unique(f["n_samples"])
    print(f"files: {len(set(f['file']))}, {len(f['entry'])} events of {', '.join(map(str, sizes))} samples")

    saturated = f.get("saturated", np.zeros(len(f["entry"]), bool))  # there: saturation= was given
    for board in np.unique(f["board_id"]):
        for channel in np.unique(f["board_channel"][f["board_id"] == board]):
            sel = (f["board_id"] == board) & (f["board_channel"] == channel)
            print(
                f"board {board} channel {channel}: {int(sel.sum())} events, mean amplitude "
                f"{f['amplitude'][sel].mean():.0f} counts, peak at sample {np.median(f['peak'][sel]):.0f}, "
                f"saturated {100 * saturated[sel].mean():.1f} %"
            )

    hist, edges = np.histogram(f["integral"], bins=12)
    print("charge spectrum (integral over the gate, ADC counts x samples):")
    top = max(int(hist.max()), 1)
    for lo, hi, k in zip(edges[:-1], edges[1:], hist, strict=True):
        print(f"  {lo:9.0f} - {hi:9.0f} {int(k):6d} {'#' * round(40 * int(k) / top)}")

    order = np.argsort(f["timestamp"], kind="stable")
    print("baseline over time (events in time order, in eight slices: mean baseline and noise):")
    for part in np.array_split(order, 8):
        if part.size:
            print(
                f"  timestamps {f['timestamp'][part[0]]:>10} - {f['timestamp'][part[-1]]:>10}: "
                f"baseline {f['baseline'][part].mean():8.2f}, noise {f['rms'][part].mean():5.2f}"
            )


if __name__ == "__main__":
    main()
