"""Collects the header fields of every event of a run into a pandas DataFrame (with vornkit).

python examples/to_dataframe.py [FILE] [WD1|WD2]
"""

import pathlib
import sys

import vornkit

HERE = pathlib.Path(__file__).resolve().parent


def main() -> None:
    path = sys.argv[1] if len(sys.argv) > 1 else str(HERE / "data" / "run.wd2")
    reader_type = sys.argv[2] if len(sys.argv) > 2 else "WD2"
    frame = vornkit.to_dataframe(path, reader_type)  # one row per event: header fields and n_samples
    print(frame.to_string(max_rows=20))
    print()
    print(frame.describe().T[["mean", "min", "max"]].to_string())


if __name__ == "__main__":
    main()
