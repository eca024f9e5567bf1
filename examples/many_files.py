"""A campaign of WD1 runs analysed with Dask: each board's mean waveform and a histogram of the baselines.

    python examples/many_files.py [FILE | DIRECTORY | PATTERN ...]

vornkit.dask surveys the runs' headers and gives lazy arrays over all of them; the board
ids come from a header-only pass, then one pass over the samples makes every result. The
threaded scheduler reads partitions in parallel; with a dask.distributed Client created
first, the same code runs on a cluster (the workers open the files themselves). Without
arguments it reads the bundled examples/data/run.wd1 and twelve generated runs from four
boards, written to a temporary directory.
"""

import pathlib
import sys
import tempfile

import numpy as np
from dask.base import compute

import vornkit

HERE = pathlib.Path(__file__).resolve().parent
BASELINE_SAMPLES = 100  # the samples before the pulse


def demo_campaign(directory: pathlib.Path, runs: int = 12) -> list[str]:
    """The bundled run and `runs` generated ones (boards 1 to 4, 40 to 150 events each)."""
    sys.path.insert(0, str(HERE))
    from make_sample_data import wd1  # the sample-data writer, seeded per run

    paths = [str(HERE / "data" / "run.wd1")]
    for i in range(runs):
        path = directory / f"run{i:03d}.wd1"
        rng = np.random.default_rng(i)
        path.write_bytes(wd1(rng, events=int(rng.integers(40, 150)), board=1 + i % 4))
        paths.append(str(path))
    return paths


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        paths = sys.argv[1:] or demo_campaign(pathlib.Path(tmp))
        run = vornkit.dask(paths, "WD1", step="4 MB", columns=["board_id", "data"])
        board, waves = run["board_id"], run["data"]  # lazy: events, and events x samples
        files, boards = compute(run["file"], board)  # type: ignore[no-untyped-call]  # no samples read
        boards = np.unique(boards)
        print(f"files: {len(np.unique(files))}, {waves.shape[0]} events of {waves.shape[1]} samples")

        baseline = waves[:, :BASELINE_SAMPLES].mean(axis=1)  # one value per event
        means = [waves[board == b].mean(axis=0) for b in boards]
        counts = [(board == b).sum() for b in boards]
        baselines, means, counts = compute(baseline, means, counts)  # type: ignore[no-untyped-call]  # one sample pass

    for b, mean, n in zip(boards, means, counts, strict=True):
        base = float(mean[:BASELINE_SAMPLES].mean())
        print(
            f"board {b}: {n} events, mean baseline {base:.1f}, mean pulse {base - float(mean.min()):.0f} counts "
            f"deep at sample {int(mean.argmin())}"
        )
    hist, edges = np.histogram(baselines, bins=12)
    print(f"baselines (mean of the first {BASELINE_SAMPLES} samples of each event, ADC counts):")
    top = max(int(hist.max()), 1)
    for lo, hi, k in zip(edges[:-1], edges[1:], hist, strict=True):
        print(f"  {lo:7.1f} - {hi:7.1f} {int(k):6d} {'#' * round(40 * int(k) / top)}")


if __name__ == "__main__":
    main()
