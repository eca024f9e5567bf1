"""Collects the header fields of every event of a run into a pandas DataFrame.

    python examples/to_dataframe.py [FILE] [WD1|WD2]
"""

import pathlib
import sys

import pandas as pd

import vorn

HERE = pathlib.Path(__file__).resolve().parent


def headers(path: str, reader_type: str) -> pd.DataFrame:
    """One row per event: every header field, plus the sample count and peak of "data"."""
    rows: list[dict[str, object]] = []
    for ev in vorn.EventReader(path, reader_type):
        row: dict[str, object] = {k: v for k, v in ev.items() if k != "data"}
        data = ev["data"]
        row["n_samples"] = data.size
        row["min_sample"] = float(data.min()) if data.size else float("nan")
        rows.append(row)
    return pd.DataFrame(rows)


def main() -> None:
    path = sys.argv[1] if len(sys.argv) > 1 else str(HERE / "data" / "run.wd2")
    reader_type = sys.argv[2] if len(sys.argv) > 2 else "WD2"
    frame = headers(path, reader_type)
    print(frame.to_string(max_rows=20))
    print()
    print(frame.describe().T[["mean", "min", "max"]].to_string())


if __name__ == "__main__":
    main()
