"""The `vornkit` command: `info` prints what scan finds, `convert` writes a run as arrays,
`features` computes the pulse features, `follow` watches a run being written, `view` shows it
live in the browser."""

from __future__ import annotations

import argparse
import errno
import glob
import os
import sys
import time
import warnings
from collections.abc import Callable, Iterator, Mapping
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


def _recognised(
    target: str, channels: int | None, poll: float, idle_timeout: float | None, say: Callable[[str], None]
) -> Kind | None:
    """The kind of the file `target` names (a directory or pattern: its newest run, files that are
    not runs passed over), once it holds three records that fit one; None at the idle timeout
    (FileNotFoundError if `target` never appeared)."""
    from ._follow import listing, regular_files
    from ._format import check_kind, recognise

    start = time.monotonic()
    missing = not os.path.lexists(target) and not glob.has_magic(target)
    if missing:
        say(f"waiting for {target}")
    while True:
        if missing and os.path.lexists(target):
            missing = False
        files = None if missing else listing(target)
        paths = [] if missing else [target] if files is None else [p for _, p, _ in regular_files(files)[::-1]]
        for path in paths:
            try:
                if not os.path.isfile(path) or not os.path.getsize(path):
                    continue
                rec = recognise(path, channels)
                if rec.foreign is not None:
                    if files is not None:
                        continue  # not a run (a log, an archive): the follow passes it over
                    check_kind(path, None, channels)  # raises FormatError naming the format
                if rec.kind is not None and rec.fits[rec.kind].records >= 3:
                    return rec.kind
                if files is not None and rec.kind is None and any(w.broken for w in rec.fits.values()):
                    continue  # records of neither layout: no run
            except FileNotFoundError:  # gone meanwhile
                pass
            break  # the newest run, not recognisable yet
        if idle_timeout is not None and time.monotonic() - start >= idle_timeout:
            if missing:
                raise FileNotFoundError(
                    errno.ENOENT, f"did not appear within the idle timeout ({idle_timeout:g} s)", target
                )
            return None
        time.sleep(poll)


class _Rates:
    """The rate lines of `follow`: events as written (from their timestamps with a clock, else as
    they arrived), counted from the end of the catch-up."""

    def __init__(self, clock: float | None) -> None:
        self.clock = clock
        self.mark = time.monotonic()
        self.events = self.nbytes = 0
        self.stamp: int | None = None  # the last timestamp at the mark

    def reset(self, events: int, nbytes: int, stamp: int | None) -> None:
        self.mark, self.events, self.nbytes, self.stamp = time.monotonic(), events, nbytes, stamp

    def rates(self, events: int, nbytes: int, stamp: int | None, seconds: float) -> str:
        n, b = events - self.events, nbytes - self.nbytes
        if seconds <= 0:
            return "-"
        rate = n / seconds
        how = "arrival"
        if self.clock and stamp is not None and self.stamp is not None and stamp > self.stamp and n:
            rate, how = n / ((stamp - self.stamp) / self.clock), "timestamps"
        return f"{rate:.1f} ev/s ({how}), {b / seconds / 1e6:.2f} MB/s"


def _follow(args: argparse.Namespace) -> int:
    from ._follow import Follower, describe_last

    def say(text: str) -> None:
        print(f"{time.strftime('%H:%M:%S')} {text}", flush=True)

    def warned(message: Warning | str, category: type[Warning], *_: object, **__: object) -> None:
        print(f"vornkit follow: {category.__name__}: {message}", file=sys.stderr, flush=True)

    poll = min(0.2, args.interval / 2)
    start = time.monotonic()
    follower: Follower | None = None
    rates = _Rates(args.clock)
    latest = ""

    def totals(events: int, nbytes: int, missing: int, gaps: int, rate: str) -> str:
        more = f" ({missing} missing)" if missing else ""
        return f"{events} events, {rate}, gaps {gaps}{more}" + (f"; {latest}" if latest else "")

    try:
        with warnings.catch_warnings():
            warnings.simplefilter("always")
            warnings.showwarning = warned
            try:
                kind: Kind | None = args.kind or _recognised(args.target, args.channels, poll, args.idle_timeout, say)
                if kind is None:
                    print(f"vornkit follow: {args.target}: no records to recognise; give --kind", file=sys.stderr)
                    return 1
                follower = Follower(args.target, kind, args.channels, poll, args.idle_timeout, None, args.on_corrupt)
                follower.waiting_for = lambda p: say(f"waiting for {p}")
                stats, caught, path = follower.stats, False, ""
                for chunk in follower.chunks():
                    if chunk.path != path and chunk.path:
                        path = chunk.path
                        say(f"following {chunk.path}")
                    if chunk.cols is not None and len(chunk.cols["n_samples"]):
                        latest = describe_last(chunk.cols, kind, args.clock)
                    if not caught and stats.caught_up:
                        caught = True
                        if stats.catchup_events:
                            say(
                                f"caught up with {stats.catchup_events} events ({stats.catchup_bytes / 1e6:.2f} MB) "
                                f"already written, read in {stats.catchup_seconds:.2f} s"
                            )
                        rates.reset(stats.events, stats.nbytes, stats.last_timestamp)
                    now = time.monotonic()
                    if caught and now - rates.mark >= args.interval:
                        rate = rates.rates(stats.events, stats.nbytes, stats.last_timestamp, now - rates.mark)
                        say(totals(stats.events, stats.nbytes, stats.missing, stats.gaps, rate))
                        rates.reset(stats.events, stats.nbytes, stats.last_timestamp)
            except KeyboardInterrupt:
                pass
            except BrokenPipeError:
                raise
            except (FormatError, OSError, ReadError, ValueError) as e:
                said = f"{e.filename}: {e.strerror}" if isinstance(e, FileNotFoundError) and e.filename else e
                print(f"vornkit follow: {said}", file=sys.stderr)
                return 1
            finally:
                took = time.monotonic() - start
                s = follower.stats if follower is not None else None
                events, nbytes = (s.events, s.nbytes) if s else (0, 0)
                live = took - (s.catchup_seconds if s else 0.0)
                head = f"total after {took:.1f} s, {s.files if s else 0} file(s), {nbytes / 1e6:.2f} MB"
                if s and s.catchup_events:
                    head += f" ({s.catchup_events} events caught up at the start)"
                n, b = (events - s.catchup_events, nbytes - s.catchup_bytes) if s else (0, 0)
                rate = f"{n / live:.1f} ev/s, {b / live / 1e6:.2f} MB/s after the catch-up" if live > 0 else "-"
                print(f"{head}: {totals(events, nbytes, s.missing if s else 0, s.gaps if s else 0, rate)}", flush=True)
    except BrokenPipeError:
        # The reader went away (| head): nothing more to say, and nothing at exit either; the
        # status of a process ended by SIGPIPE, as for the other commands.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141
    return 0


def _view(args: argparse.Namespace) -> int:
    from . import _view  # imports Bokeh only where it serves

    try:
        import bokeh  # noqa: F401
    except ImportError:
        print(f"vornkit view: needs Bokeh, which the extra 'view' brings: {_view.EXTRA}", file=sys.stderr)
        return 1

    if args.host not in _view.LOOPBACK:
        print(
            f"vornkit view: warning: listening on {args.host}, not the loopback: anyone who reaches this machine's "
            f"port {args.port} sees the page; ssh -L {args.port}:127.0.0.1:{args.port} forwards it instead",
            file=sys.stderr,
        )
    options = _view.Options(
        args.target,
        kind=args.kind,
        channels=args.channels,
        baseline=args.baseline,
        gate=args.gate,
        polarity=args.polarity,
        clock=args.clock,
        stall=args.stall,
    )
    where = f"[{args.host}]" if ":" in args.host else args.host

    def ready(port: int) -> None:
        print(f"vornkit view: {args.target} on http://{where}:{port}/ (status: /status); Ctrl-C ends it", flush=True)

    try:
        _view.serve(options, args.host, args.port, ready)
    except KeyboardInterrupt:
        pass
    except OSError as e:  # the port taken, an address not of this machine
        print(f"vornkit view: {args.host}:{args.port}: {e.strerror or e}", file=sys.stderr)
        return 1
    return 0


def _range(text: str) -> tuple[int, int]:
    a, sep, b = text.partition(":")
    try:
        lo, hi = int(a or 0), int(b)
    except ValueError:
        lo = hi = -1
    if not sep or not 0 <= lo < hi:
        raise argparse.ArgumentTypeError(f"must be samples A:B with 0 <= A < B, not {text}")
    return lo, hi


def _port(text: str) -> int:
    value = int(text) if text.isdigit() else -1
    if not 0 < value < 65536:
        raise argparse.ArgumentTypeError(f"must be a TCP port, 1 to 65535, not {text}")
    return value


def _seconds(text: str) -> float:
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be a number of seconds above 0, not {text}")
    return value


def _hertz(text: str) -> float:
    value = float(text)
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be a tick rate in Hz above 0, not {text}")
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
    fol.add_argument(
        "--idle-timeout",
        type=_seconds,
        metavar="S",
        help="end after S seconds without an event (an error if the path has not appeared by then)",
    )
    fol.add_argument(
        "--clock",
        type=_hertz,
        metavar="HZ",
        help="timestamp ticks per second: timestamps shown as seconds, the event rate taken from them",
    )
    fol.add_argument(
        "--on-corrupt",
        choices=("raise", "skip", "warn"),
        default="raise",
        help="damage (a crash, then a new run in the same file): stop (default), or read on past it (skip, warn)",
    )
    fol.set_defaults(run=_follow)
    about = (
        "a live page of a run being written, in the browser: waveforms, amplitude and charge histograms, baseline, "
        "noise and trigger rate over time, a status bar with an alarm; JSON at /status (needs the extra 'view')"
    )
    view = sub.add_parser("view", help=about, description=about)
    view.add_argument(
        "target",
        metavar="FILE|DIR|GLOB",
        help="a run file, a directory of runs or a quoted pattern ('runs/*.wd2'): its newest file, then each new one",
    )
    view.add_argument("--kind", choices=("WD1", "WD2"), help="the format (default: recognised from the first records)")
    view.add_argument("--channels", type=int, help=CHANNELS_HELP)
    view.add_argument("--port", type=_port, default=5006, help="the port to listen on (default 5006)")
    view.add_argument(
        "--host", default="127.0.0.1", help="the address to listen on (default 127.0.0.1: forward it over SSH)"
    )
    view.add_argument("--baseline", type=_range, metavar="A:B", help="samples of the baseline (default: the first 1/8)")
    view.add_argument(
        "--gate", type=_range, metavar="A:B", help="samples of the pulse (default: all after the baseline)"
    )
    view.add_argument(
        "--polarity", choices=("negative", "positive"), default="negative", help="the pulses' sign (default negative)"
    )
    view.add_argument("--clock", type=_hertz, metavar="HZ", help="timestamp ticks per second: rates as written")
    view.add_argument(
        "--stall", type=_seconds, default=10.0, metavar="S", help="alarm after S seconds without an event (default 10)"
    )
    view.set_defaults(run=_view)
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
