"""The `vornkit` command: `info` prints what scan finds, `convert` writes a run as arrays,
`features` computes the pulse features, `follow` watches a run being written."""

from __future__ import annotations

import argparse
import errno
import os
import sys
import time
import warnings
from collections.abc import Iterator, Mapping
from typing import Any, TextIO

from . import _convert
from ._format import FormatError, command_line
from ._layouts import Kind
from ._read import ReadError, expand_paths
from ._scan import scan

CHANNELS_HELP = "the WD2 channel count (default: found from the first two headers)"


def _files(paths: list[str], kind: Kind | None) -> Iterator[str]:
    """The paths given, a directory or pattern replaced by its files (as convert takes them)."""
    for path in paths:
        try:
            yield from expand_paths(path, kind)
        except OSError:
            yield path  # scan says why


def _info(args: argparse.Namespace) -> int:
    status = 0
    for i, path in enumerate(_files(args.files, args.kind)):
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


def _recognised(target: str, channels: int | None, poll: float, idle_timeout: float | None) -> Kind | None:
    """The kind of the file `target` names (a directory or pattern: its newest), once it holds three
    records that fit one; None at the idle timeout."""
    from ._follow import listing, regular_files
    from ._format import check_kind, recognise

    files = listing(target)
    start = time.monotonic()
    while idle_timeout is None or time.monotonic() - start < idle_timeout:
        path = target if files is None else next((p for _, p, _ in regular_files(files)[-1:]), None)
        try:
            if path is not None and os.path.isfile(path) and os.path.getsize(path):
                rec = recognise(path, channels)
                if rec.foreign is not None:
                    check_kind(path, None, channels)  # raises FormatError naming the format
                if rec.kind is not None and rec.fits[rec.kind].records >= 3:
                    return rec.kind
        except FileNotFoundError:  # gone meanwhile
            pass
        time.sleep(poll)
    return None


def _follow(args: argparse.Namespace) -> int:
    from ._follow import Follower, Tally

    def say(text: str) -> None:
        print(f"{time.strftime('%H:%M:%S')} {text}", flush=True)

    def warned(message: Warning | str, category: type[Warning], *_: object, **__: object) -> None:
        print(f"vornkit follow: {category.__name__}: {message}", file=sys.stderr, flush=True)

    poll = min(0.2, args.interval / 2)
    start = time.monotonic()
    tally = Tally(args.kind or "WD1")
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("always")
            warnings.showwarning = warned
            try:
                kind: Kind | None = args.kind or _recognised(args.target, args.channels, poll, args.idle_timeout)
                if kind is None:
                    print(f"vornkit follow: {args.target}: no records to recognise; give --kind", file=sys.stderr)
                    return 1
                tally.kind = kind
                follower = Follower(args.target, kind, args.channels, poll, args.idle_timeout, None, "raise")
                mark, seen, sent = start, 0, 0
                for chunk in follower.chunks():
                    if chunk.path != tally.path and chunk.path:
                        say(f"following {chunk.path}")
                    tally.add(chunk)
                    now = time.monotonic()
                    if now - mark >= args.interval:
                        say(tally.line(tally.events - seen, tally.nbytes - sent, now - mark))
                        mark, seen, sent = now, tally.events, tally.nbytes
            except KeyboardInterrupt:
                pass
            except BrokenPipeError:
                raise
            except (FormatError, OSError, ReadError, ValueError) as e:
                print(f"vornkit follow: {e}", file=sys.stderr)
                return 1
            finally:
                took = time.monotonic() - start
                head = f"total after {took:.1f} s, {tally.files} file(s), {tally.nbytes / 1e6:.2f} MB"
                print(f"{head}: {tally.line(tally.events, tally.nbytes, took)}", flush=True)
    except BrokenPipeError:
        # The reader went away (| head): nothing more to say, and nothing at exit either; the
        # status of a process ended by SIGPIPE, as for the other commands.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141
    return 0


def _seconds(text: str) -> float:
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be a number of seconds above 0, not {text}")
    return value


def _problem(e: Exception, path: str) -> str:
    """An error's text without the file name, which the line names already."""
    if isinstance(e, FormatError):
        return e.reason
    if isinstance(e, OSError) and e.filename == path and e.strerror:
        return e.strerror
    return str(e).removeprefix(f"{path}: ")


def _window(text: str) -> tuple[int, int | None]:
    start, sep, stop = text.partition(":")
    try:
        if not sep:
            raise ValueError
        return int(start or 0), int(stop) if stop else None
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be START:STOP in samples (STOP may be left out), not {text}") from None


def _feature_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--baseline", type=_window, metavar="A:B", help="the baseline window (default 0:64)")
    parser.add_argument("--gate", type=_window, metavar="A:B", help="the gate (default: baseline end to record end)")
    parser.add_argument("--polarity", choices=("negative", "positive"), default="negative", help="default negative")
    parser.add_argument("--saturation", type=float, metavar="CODE", help="flag channels with a sample at or above CODE")
    parser.add_argument("--threshold", type=float, metavar="LEVEL", help="t_threshold: first crossing of LEVEL")
    parser.add_argument("--cfd", type=float, metavar="FRACTION", help="t_cfd: first reach of FRACTION x amplitude")


def _features(args: argparse.Namespace) -> int:
    """The `features` command: a line per channel; with -o, the table written as by convert --features."""
    from ._features import features

    options = _convert.feature_options(args)
    try:
        if args.out is not None:
            fmt = _convert.FORMATS.get(os.path.splitext(args.out)[1].lower())
            if fmt is None:
                raise ValueError(f"{args.out}: the output must end in one of {', '.join(_convert.FORMATS)}")
            if os.path.lexists(args.out) and not args.force:
                raise FileExistsError(errno.EEXIST, "exists", args.out)
            files = _convert._inputs(args.file, args.kind)
            opts = (fmt, args.kind, args.force, args.on_corrupt, args.channels, None, args.step, False, options)
            result, table = _convert.convert_features(files, args.out, *opts, time.perf_counter())
        else:
            step = {"step": args.step} if args.step is not None else {}
            files = _convert._inputs(args.file, args.kind)
            kind = args.kind or _convert._plan(files, None, args.channels, "raise", True).kind
            table = dict(features(files, kind, channels=args.channels, on_corrupt=args.on_corrupt, **step, **options))
    except FileExistsError as e:
        print(f"vornkit features: {e} (give --force to replace it)", file=sys.stderr)
        return 2
    except (FormatError, OSError, ReadError, ValueError, ImportError) as e:
        print(f"vornkit features: {e}", file=sys.stderr)
        return 1
    for line in summary_lines(table):
        print(line)
    if args.out is not None:
        print(result.summary())
    return 0


def summary_lines(table: Mapping[str, Any]) -> list[str]:
    """One line per channel: events, baseline mean and noise, amplitude median, saturated fraction."""
    import numpy as np

    amp = table["amplitude"].reshape(len(table["entry"]), -1)
    lines = []
    for c in range(amp.shape[1]):
        base = table["baseline"].reshape(amp.shape)[:, c]
        rms = table["rms"].reshape(amp.shape)[:, c]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # a channel without values: nan
            line = (
                f"channel {c}: {amp.shape[0]} events, baseline {np.nanmean(base):.6g} noise {np.nanmean(rms):.4g}, "
                f"amplitude median {np.nanmedian(amp[:, c]):.6g}"
            )
        if "saturated" in table:
            line += f", saturated {100 * float(np.mean(table['saturated'].reshape(amp.shape)[:, c])):.2f} %"
        lines.append(line)
    return lines


def _step(text: str) -> int | str:
    return int(text) if text.isdigit() else text


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(prog="vornkit", description="Look into and convert WD1/WD2 event files.")
    sub = ap.add_subparsers(dest="command", required=True)
    info = sub.add_parser("info", help="what each file holds and what is wrong with it (exit status 1 on problems)")
    info.add_argument("files", nargs="+", metavar="FILE", help="a run, or a directory: its files")
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
    conv.add_argument(
        "--features", action="store_true", help="write the pulse features (vornkit features' options) instead"
    )
    _feature_arguments(conv)
    conv.set_defaults(run=_convert.run)
    about = "pulse features per event and channel: a line per channel; -o OUT writes the table (as convert --features)"
    feat = sub.add_parser("features", help=about, description=about)
    feat.add_argument("file", nargs="+", metavar="RUN", help="runs, directories or glob patterns")
    feat.add_argument("-o", "--out", metavar="OUT", help="write the table to OUT (.parquet, .h5 or .npz)")
    feat.add_argument("--kind", choices=("WD1", "WD2"), help="the format (default: recognised from the headers)")
    feat.add_argument("--channels", type=int, help=CHANNELS_HELP)
    feat.add_argument("-f", "--force", action="store_true", help="replace OUT if it exists (else exit status 2)")
    feat.add_argument("--on-corrupt", choices=("raise", "skip", "warn"), default="raise")
    feat.add_argument("--step", type=_step, help='events, or bytes ("4 MB"), read at once')
    _feature_arguments(feat)
    feat.set_defaults(run=_features)
    about = (
        "watch a run being written: a line per interval with the events so far, rates, counter gaps and the last "
        "event; a directory or pattern goes on with each new file; Ctrl-C ends it with a summary"
    )
    fol = sub.add_parser("follow", help=about, description=about)
    fol.add_argument(
        "target",
        metavar="FILE|DIR|GLOB",
        help="a run file, a directory of runs or a quoted pattern ('runs/*.wd2'): its newest file, then each new one",
    )
    fol.add_argument("--kind", choices=("WD1", "WD2"), help="the format (default: recognised from the first records)")
    fol.add_argument("--channels", type=int, help=CHANNELS_HELP)
    fol.add_argument("--interval", type=_seconds, default=1.0, help="seconds between lines (default 1)")
    fol.add_argument("--idle-timeout", type=_seconds, metavar="S", help="end after S seconds without an event")
    fol.set_defaults(run=_follow)
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
