"""Summarises a campaign of many run files in parallel with Dask.

    python examples/many_files.py [FILE ...]

Each worker opens its own reader on one file (readers are not shared between processes),
so the same code runs on a laptop's local scheduler or, with a dask.distributed Client
created first, on a cluster. Without arguments it writes a small demo campaign of twelve
WD1 runs to a temporary directory.
"""

import dataclasses
import pathlib
import sys
import tempfile

import dask.bag as db
import numpy as np

import vornkit

HERE = pathlib.Path(__file__).resolve().parent


@dataclasses.dataclass
class RunSummary:
    file: str
    events: int
    baseline: float  # mean of the per-event median of the first 100 samples
    amplitude: float  # mean depth of the pulse below that baseline


def summarise(path: str) -> RunSummary:
    """Events, mean baseline and mean pulse amplitude of one WD1 run."""
    waves = vornkit.arrays(path, "WD1", columns=["data"])["data"].astype(np.float64)  # events x samples
    baselines = np.median(waves[:, :100], axis=1)
    amplitudes = baselines - waves.min(axis=1)
    return RunSummary(path, len(waves), float(baselines.mean()), float(amplitudes.mean()))


def demo_campaign(directory: pathlib.Path, runs: int = 12) -> list[str]:
    sys.path.insert(0, str(HERE))
    from make_sample_data import wd1  # the sample-data writer, seeded per run

    paths = []
    for i in range(runs):
        path = directory / f"run{i:03d}.wd1"
        path.write_bytes(wd1(np.random.default_rng(i), events=50))
        paths.append(str(path))
    return paths


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        paths = sys.argv[1:] or demo_campaign(pathlib.Path(tmp))
        bag = db.from_sequence(paths, npartitions=min(len(paths), 8))  # type: ignore[no-untyped-call]
        results: list[RunSummary] = bag.map(summarise).compute()
    print(f"{len(results)} files, {sum(r.events for r in results)} events")
    for r in results:
        print(
            f"  {pathlib.Path(r.file).name}: {r.events} events, "
            f"baseline {r.baseline:.1f}, mean amplitude {r.amplitude:.1f}"
        )


if __name__ == "__main__":
    main()
