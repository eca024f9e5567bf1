"""The `vornkit` command: `info` prints what scan finds, `convert` writes a run as arrays."""

from __future__ import annotations

import argparse
import os
import sys
import warnings
from typing import TextIO

from . import _convert
from ._format import FormatError, command_line
from ._read import ReadError
from ._scan import scan

CHANNELS_HELP = "the WD2 channel count (default: found from the first two headers)"


def _info(args: argparse.Namespace) -> int:
    status = 0
    for i, path in enumerate(args.files):
        try:
            report = scan(path, args.kind, channels=args.channels)
        except (FormatError, OSError, ReadError, ValueError) as e:
            rows = [("file", path), ("problems", _problem(e, path))]
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


def _problem(e: Exception, path: str) -> str:
    """An error's text without the file name, which the line names already."""
    if isinstance(e, FormatError):
        return e.reason
    if isinstance(e, OSError) and e.filename == path and e.strerror:
        return e.strerror
    return str(e).removeprefix(f"{path}: ")


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
    conv = sub.add_parser("convert", help="write a run to .parquet (pyarrow), .h5 (h5py) or .npz, by OUT's suffix")
    conv.add_argument("file", metavar="FILE")
    conv.add_argument("out", metavar="OUT")
    conv.add_argument("--kind", choices=("WD1", "WD2"), help="the format (default: recognised from the headers)")
    conv.add_argument("--channels", type=int, help=CHANNELS_HELP)
    conv.add_argument("--step", type=_step, default="64 MB", help='events, or bytes ("64 MB"), per chunk written')
    conv.add_argument(
        "--progress",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="a tqdm bar (default: on a terminal, when tqdm is installed)",
    )
    conv.set_defaults(run=_convert.run)
    token = command_line()  # advice names --kind, --channels, not keywords
    try:
        with warnings.catch_warnings():
            warnings.showwarning = _show_warning
            args = ap.parse_args(argv)
            status: int = args.run(args)
            sys.stdout.flush()  # a closed pipe shows here, not at exit
    except BrokenPipeError:
        # The reader went away (`vornkit info ... | head`): end quietly, with the status of a
        # process ended by SIGPIPE (128 + 13), as the shell shows it for other commands.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141
    finally:
        token.var.reset(token)
    return status


def _show_warning(
    message: Warning | str,
    category: type[Warning],
    filename: str,
    lineno: int,
    file: TextIO | None = None,
    line: str | None = None,
) -> None:
    # A place in vornkit's or the launcher's code means nothing to someone who typed a command.
    print(f"vornkit: warning: {message}", file=sys.stderr if file is None else file)
