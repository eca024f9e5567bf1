"""Reads the bundled sample runs and prints a short summary of their events."""

import pathlib

import numpy as np

import vorn

DATA = pathlib.Path(__file__).resolve().parent / "data"


def summarise_wd1(path: pathlib.Path) -> None:
    print(f"{path.name} (WD1)")
    print("  event  board  channel   timestamp  samples  baseline  amplitude")
    for ev in vorn.EventReader(str(path), "WD1"):
        wave = ev["data"].astype(np.float64)
        baseline = np.median(wave[:100])
        print(
            f"  {ev['event_counter']:5d}  {ev['board_id']:5d}  {ev['board_channel']:7d}  "
            f"{ev['timestamp']:10d}  {wave.size:7d}  {baseline:8.1f}  {baseline - wave.min():9.1f}"
        )


def summarise_wd2(path: pathlib.Path) -> None:
    print(f"{path.name} (WD2)")
    print("  event  channels  samples  period [ps]  peak ch0 [mV]  peak ch1 [mV]")
    for ev in vorn.EventReader(str(path), "WD2"):
        waves = ev["data"].reshape(-1, ev["samples"])  # one row per channel
        peaks = -waves.min(axis=1) * 1000
        print(
            f"  {ev['event_counter']:5d}  {ev['channels']:8d}  {ev['samples']:7d}  "
            f"{ev['sampling_period']:11d}  {peaks[0]:13.1f}  {peaks[1]:13.1f}"
        )


if __name__ == "__main__":
    summarise_wd1(DATA / "run.wd1")
    print()
    summarise_wd2(DATA / "run.wd2")
