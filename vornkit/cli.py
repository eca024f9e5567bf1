"""The `vornkit` command: `info` prints what scan finds, `convert` writes a run as arrays."""

from __future__ import annotations

import argparse

from . import _convert
from ._format import FormatError
from ._read import ReadError
from ._scan import scan

CHANNELS_HELP = "the WD2 channel count (default: found from the first two headers)"


def _info(args: argparse.Namespace) -> int:
    status = 0
    for i, path in enumerate(args.files):
        try:
            report = scan(path, args.kind, channels=args.channels)
        except (FormatError, OSError, ReadError, ValueError) as e:
            rows = [("file", path), ("problems", str(e))]
            status = 1
        else:
            rows = report.rows()
            status |= not report.ok
        if args.short:
            print(f"{path}: " + ("ok" if rows[-1][1] == "none" else rows[-1][1]))
            continue
        width = max(len(k) for k, _ in rows)
        print(("\n" if i else "") + "\n".join(f"{k:<{width}}  {v}" for k, v in rows))
    return status


def _step(text: str) -> int | str:
    return int(text) if text.isdigit() else text


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(prog="vornkit", description="Look into and convert WD1/WD2 event files.")
    sub = ap.add_subparsers(dest="command", required=True)
    info = sub.add_parser("info", help="what each file holds and what is wrong with it (exit status 1 on problems)")
    info.add_argument("files", nargs="+", metavar="FILE")
    info.add_argument("--kind", choices=("WD1", "WD2"), help="the format (default: recognised from the headers)")
    info.add_argument("--channels", type=int, help=CHANNELS_HELP)
    info.add_argument("-s", "--short", action="store_true", help="one line per file")
    info.set_defaults(run=_info)
    conv = sub.add_parser(
        "convert",
        help="write runs as one dataset to .parquet (pyarrow), .h5 (h5py) or .npz, by OUT's suffix",
        description="Writes the events of FILE... (files, directories or glob patterns) as one dataset to OUT "
        "(.parquet/.pq, .h5/.hdf5 or .npz), through a temporary file renamed over OUT when complete. "
        "Layouts: docs/convert.md.",
    )
    conv.add_argument("file", nargs="+", metavar="FILE")
    conv.add_argument("out", metavar="OUT")
    conv.add_argument("--kind", choices=("WD1", "WD2"), help="the format (default: recognised from the headers)")
    conv.add_argument("--channels", type=int, help=CHANNELS_HELP)
    conv.add_argument("-f", "--force", action="store_true", help="replace OUT if it exists (else exit status 2)")
    conv.add_argument(
        "--on-corrupt",
        choices=("raise", "skip", "warn"),
        default="raise",
        help="a damaged record stops the conversion (raise, the default) or is skipped, silently or with a warning",
    )
    conv.add_argument(
        "--compression",
        help="HDF5: gzip or lzf; Parquet: snappy, gzip, brotli, lz4 or zstd; .npz: deflate (default: none)",
    )
    conv.add_argument("--step", type=_step, help='events, or bytes ("16 MB"), read at once (default: about 16 MB)')
    conv.add_argument(
        "--progress",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="a tqdm bar (default: on a terminal, when tqdm is installed)",
    )
    conv.set_defaults(run=_convert.run)
    args = ap.parse_args(argv)
    status: int = args.run(args)
    return status
