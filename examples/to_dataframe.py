"""Collects the header fields of every event of a run into a pandas DataFrame (with vornkit).

python examples/to_dataframe.py [FILE] [WD1|WD2]
"""

import pathlib
import sys

import vornkit

HERE = pathlib.Path(__file__).resolve().parent
KINDS: dict[str, vornkit.Kind] = {"WD1": "WD1", "WD2": "WD2"}  # a command-line word as the kind type checkers know


def main() -> None:
    path = sys.argv[1] if len(sys.argv) > 1 else str(HERE / "data" / "run.wd2")
    word = sys.argv[2] if len(sys.argv) > 2 else "WD2"
    if word not in KINDS:
        sys.exit(f"usage: python examples/to_dataframe.py [FILE] [WD1|WD2]; the kind is WD1 or WD2, not {word!r}")
    frame = vornkit.to_dataframe(path, KINDS[word])  # one row per event: header fields and n_samples
    print(frame.to_string(max_rows=20))
    print()
    print(frame.describe().T[["mean", "min", "max"]].to_string())


if __name__ == "__main__":
    main()
