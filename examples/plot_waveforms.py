"""Plots one WD1 event, and an overlay of every event with their mean, to a PNG.

python examples/plot_waveforms.py [FILE.wd1] [OUT.png]
"""

import pathlib
import sys

import matplotlib

matplotlib.use("Agg")  # write files; no screen needed
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import vornkit  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent


def main() -> None:
    path = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else HERE / "data" / "run.wd1"
    out = pathlib.Path(sys.argv[2]) if len(sys.argv) > 2 else HERE / "waveforms.png"

    run = vornkit.arrays(path, "WD1")  # data: events x samples
    waves = run["data"].astype(np.float64)

    fig, (one, many) = plt.subplots(1, 2, figsize=(11, 4), sharey=True)
    one.plot(waves[0], lw=0.8)
    one.set_title(f"event {run['event_counter'][0]} (board {run['board_id'][0]}, channel {run['board_channel'][0]})")
    one.set_xlabel("sample")
    one.set_ylabel("ADC counts")
    for wave in waves:
        many.plot(wave, lw=0.5, alpha=0.35, color="tab:blue")
    many.plot(waves.mean(axis=0), lw=1.5, color="black", label=f"mean of {len(waves)} events")
    many.set_title(f"{path.name}: all events")
    many.set_xlabel("sample")
    many.legend(loc="lower right")
    fig.tight_layout()
    fig.savefig(out, dpi=110)
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
