"""One file read through the compiled core in chunks of columns, with errors that name the
file, event and offset, and a choice of what damage does; `events` and `follow`."""

from __future__ import annotations

import glob
import os
import re
import sys
import threading
import warnings
from collections.abc import Callable, Iterable, Iterator, Sequence
from types import FrameType
from typing import TYPE_CHECKING, Any, Concatenate, Literal, ParamSpec, Protocol, cast, overload

import numpy as np

from ._format import (
    check_channels,
    check_kind,
    check_kind_name,
    field_names,
    is_regular,
    open_core,
    option,
)
from ._layouts import Kind, WD1FollowEvent, WD2FollowEvent

if TYPE_CHECKING:
    from vorn import WD1Event, WD2Event

OnCorrupt = Literal["raise", "skip", "warn"]
PathLike = str | os.PathLike[str]
Event = dict[str, Any]
Columns = dict[str, np.ndarray]

# The temporary a conversion writes before it is renamed to its output: ".OUT~vorn-PID-TAG.part",
# hidden, and never taken as a run by the listings here or by follow's.
TEMPORARY = re.compile(r"\.(?P<out>.+)~vorn-(?P<pid>[0-9]+)-(?P<tag>[0-9a-z]+)\.part")


def is_temporary(name: str) -> bool:
    """Whether a file name (its last component) is that of a conversion's temporary."""
    return TEMPORARY.fullmatch(os.path.basename(name)) is not None


CHUNK_EVENTS = 4096  # events per chunk at most ...
CHUNK_BYTES = 4 << 20  # ... and about this many bytes of records


class ReadError(Exception):
    """A failure while reading events; `path`, `event` (events before it) and `offset` say where."""

    path: str
    event: int
    offset: int


class CorruptRecordError(ReadError):
    """A record header with an impossible size, or out of step with the run. Reading can carry
    on past it with on_corrupt="skip" or "warn"."""


class FormatWarning(UserWarning):
    """The file will not read as intended: wrong kind, a doubtful WD2 channel count, trailing bytes."""


class CorruptRecordWarning(UserWarning):
    """Damaged bytes were skipped (on_corrupt="warn")."""


class FileChangedError(ReadError):
    """The file being followed was truncated, rewritten in place or replaced."""


class FileChangedWarning(UserWarning):
    """A run file followed in a directory or by a pattern was truncated or rewritten in place:
    its events are read again from its start, as a new run."""


class NewerRunWarning(UserWarning):
    """While one file is followed, a newer run appeared beside it: the acquisition may have gone
    on with that one (following the directory, or a pattern, goes on with each new run)."""


def _locate(e: BaseException, path: str, event: int, offset: int) -> None:
    e.path, e.event, e.offset = path, event, offset  # type: ignore[attr-defined]
    e.add_note(f"while reading {path}, event {event}, byte offset {offset}")


def _progress(enabled: bool, total: int | None, desc: str) -> Any:
    if not enabled:
        return None
    try:
        from tqdm.auto import tqdm  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        raise ImportError("progress=True needs tqdm: pip install tqdm (or vorn[kit])") from None
    return tqdm(total=total, unit="B", unit_scale=True, desc=desc)  # the finished bar stays, as tqdm's default


def check_on_corrupt(on_corrupt: str) -> None:
    if on_corrupt not in ("raise", "skip", "warn"):
        raise ValueError(f"on_corrupt must be 'raise', 'skip' or 'warn', not {on_corrupt!r}")


def core_columns(kind: str, columns: Sequence[str] | None) -> tuple[list[str], bool]:
    """The header fields asked for (in the order asked) and whether the samples are."""
    valid = field_names(kind)
    if columns is None:
        return valid, True
    if isinstance(columns, str):
        raise TypeError("columns must be a list of names, not a str")
    unknown = [c for c in columns if c not in valid and c != "data"]
    if unknown:
        raise ValueError(
            f"unknown {kind} column(s) {', '.join(map(repr, unknown))}; the columns are {', '.join(valid)} and data"
        )
    return list(dict.fromkeys(c for c in columns if c != "data")), "data" in columns


def one_file(paths: PathLike | Iterable[PathLike]) -> bool:
    """Whether `paths` names one file: a path that is neither a directory nor a pattern."""
    if not isinstance(paths, (str, os.PathLike)):
        return False
    p = os.fspath(paths)
    return not os.path.isdir(p) and (os.path.lexists(p) or not glob.has_magic(p))


def expand_paths(paths: PathLike | Iterable[PathLike], kind: Kind | None = None) -> list[str]:
    """The files named by a path, a directory or a glob pattern, or by a list of them.

    A path that exists is taken as it is. A directory gives its regular files, by name, but
    for hidden ones and, with `kind`, those named as the other layout's runs (a WD1 campaign
    may sit beside its .wd2 files). A pattern (*, ?, [) that names no file gives the regular
    files it matches, by name; neither gives a conversion's temporary (is_temporary). A
    directory or pattern with none raises FileNotFoundError."""
    items = [paths] if isinstance(paths, (str, os.PathLike)) else list(paths)
    other = {"WD1": ".wd2", "WD2": ".wd1"}.get(kind or "", "\0")
    files: list[str] = []
    for item in items:
        p = os.fspath(item)
        if os.path.isdir(p):
            names = (n for n in sorted(os.listdir(p)) if not n.startswith(".") and not n.lower().endswith(other))
            found = [f for f in (os.path.join(p, n) for n in names) if os.path.isfile(f)]
            what = "no run file in the directory"
        elif not os.path.lexists(p) and glob.has_magic(p):
            found = sorted(f for f in glob.glob(p) if os.path.isfile(f) and not is_temporary(f))
            what = "no file matches the pattern"
        else:
            files.append(p)
            continue
        if not found:
            raise FileNotFoundError(2, what, p)
        files.extend(found)
    if not files:
        raise ValueError("no files given")
    return files


_PACKAGE = os.path.dirname(os.path.abspath(__file__))


# A thread that reads for another one sets `sink` to a list: its warnings are kept there for
# the other thread to give (with `warn`), attributed to its caller.
deferred = threading.local()


def _in_package(frame: FrameType) -> bool:
    name = frame.f_code.co_filename
    # "<string>", "<stdin>", "<frozen runpy>" are no files: never vornkit's, whatever the working directory.
    return not name.startswith("<") and os.path.dirname(os.path.abspath(name)) == _PACKAGE


def warn(message: str, category: type[Warning]) -> None:
    """warnings.warn attributed to the first caller outside vornkit (the user's line), however
    deep in vornkit, or in a generator, the warning arises; the outermost frame if every frame
    is vornkit's (a level past the stack would name "sys:1")."""
    sink = getattr(deferred, "sink", None)
    if sink is not None:
        sink.append((message, category))
        return
    level, frame = 1, cast(FrameType | None, sys._getframe(0))
    while frame is not None and _in_package(frame) and frame.f_back is not None:
        frame = frame.f_back
        level += 1
    warnings.warn(message, category, stacklevel=level)


def warn_format(path: str, kind: Kind, channels: int | None, on_corrupt: OnCorrupt = "raise") -> list[str]:
    """Warns (FormatWarning) what the first records say against reading `path` as `kind`; the notes.
    FormatError for a file that is not a run of that kind (see check_kind's `read`)."""
    notes = check_kind(path, kind, channels, read=on_corrupt)[2]
    for note in notes:
        warn(f"{path}: {note}", FormatWarning)
    return notes


class Source:
    """One core reader on one file: reads chunks of columns, reports the damage it skipped and
    raises, located, for the damage it stopped at. check: refuse or warn (warn_format) first;
    empty_run: an empty WD2 file without `channels` reads as no events (follow waits instead)."""

    def __init__(
        self,
        path: PathLike,
        kind: Kind,
        *,
        fields: Sequence[str],
        data: bool = True,
        channels: int | None = None,
        on_corrupt: OnCorrupt = "raise",
        check: bool = True,
        trailing: bool = True,
        offset: int = 0,
        event: int = 0,
        after: int | None = None,
        empty_run: bool = False,
    ) -> None:
        check_on_corrupt(on_corrupt)
        check_kind_name(kind)
        channels = check_channels(kind, channels)
        self.path = os.fspath(path)
        self.kind = kind
        self.on_corrupt = on_corrupt
        self.trailing = trailing  # warn of the bytes of a partial record at the end
        notes = warn_format(self.path, kind, channels, on_corrupt) if check else []
        source = self.path
        if empty_run and kind == "WD2" and channels is None and is_regular(source) and not os.path.getsize(source):
            # An empty WD2 run has no records to find the channel count from: it reads as no events,
            # as an empty WD1 run does. Read from the null device, so that records appended
            # meanwhile are not read with a guessed count (follow waits for them instead).
            source, channels = os.devnull, 1
        try:
            self.reader = open_core(
                source,
                kind,
                channels=channels,
                offset=offset,
                event=event,
                after=after,
                columns=[*fields, "data"] if data else list(fields),
                recover=on_corrupt != "raise",
            )
        except OSError as e:
            for note in notes:
                e.add_note(note)
            raise
        self.channels = self.reader.channels
        self.header_bytes = self.reader.header_bytes
        self._reported = 0  # entries of reader.skipped turned into warnings
        self._raise: BaseException | None = None  # the damage the last read stopped at

    def read(
        self, max_events: int = -1, max_bytes: int = -1, progress: Callable[[int], object] | None = None
    ) -> Columns:
        """One read of the core: its columns. Damage that stops it is raised at the next call, so
        that the records before it come first. progress: called now and then during the read
        with the byte offset reached."""
        if self._raise is not None:
            raise self._raise
        r = self.reader
        try:
            cols = r.read(max_events, max_bytes, progress=progress)
        except (OSError, MemoryError, ValueError) as e:  # errno and filename set by the core
            _locate(e, self.path, r.event, r.offset)
            raise
        skipped = r.skipped
        if len(skipped) > self._reported:
            if self.on_corrupt == "warn":
                for event, offset, nbytes in skipped[self._reported :]:
                    warn(
                        f"{self.path}: {nbytes} damaged bytes skipped at byte offset {offset}; reading "
                        f"resumes at event {event}",
                        CorruptRecordWarning,
                    )
            self._reported = len(skipped)
        if r.status == "corrupt":
            err = CorruptRecordError(
                f"{self.path}: event {r.event} at byte offset {r.offset}: corrupt record header ("
                + option("on_corrupt='skip' or 'warn'", "--on-corrupt skip or warn")
                + " reads on past the damage)"
            )
            _locate(err, self.path, r.event, r.offset)
            self._raise = err
        return cols

    def chunks(
        self,
        max_events: int = -1,
        max_bytes: int = -1,
        limit: int | None = None,
        progress: Callable[[int], object] | None = None,
    ) -> Iterator[Columns]:
        """Chunks of the columns of up to `max_events` records and about `max_bytes` record bytes
        (-1: no limit), until the data ends or `limit` records were read; empty chunks are left
        out. progress: as for `read`."""
        done = 0
        while limit is None or done < limit:
            n = max_events if limit is None else limit - done if max_events < 0 else min(max_events, limit - done)
            cols = self.read(n, max_bytes, progress)
            k = len(cols["n_samples"])
            done += k
            if k:
                yield cols
            if self.reader.status == "end":
                if limit is None and self.trailing:
                    self.warn_trailing()
                return

    def warn_trailing(self, regular: bool | None = None) -> None:
        """Warns (FormatWarning) of the bytes after the last whole record; `regular`: whether the
        file is a regular one (None: looked up by its path)."""
        r = self.reader
        if r.pending and (is_regular(self.path) if regular is None else regular):
            what = (
                "damaged bytes in which no record boundary was found"
                if r.resyncing
                else "a partial record, or a file still being written"
            )
            warn(
                f"{self.path}: {r.pending} bytes after the last whole record at byte offset {r.offset} ({what})",
                FormatWarning,
            )

    def close(self) -> None:
        self.reader.close()


def event_dicts(cols: Columns, kind: str) -> Iterator[WD1Event | WD2Event]:
    """The events of a chunk as vorn's dicts: header fields as ints, `data` a view of the chunk's samples."""
    names = field_names(kind)
    data = cols["data"]
    bounds = np.zeros(len(cols["n_samples"]) + 1, np.int64)
    np.cumsum(cols["n_samples"], out=bounds[1:])
    ends = bounds.tolist()
    for i, values in enumerate(zip(*(cols[n].tolist() for n in names), strict=True)):
        ev: Event = dict(zip(names, values, strict=True))
        ev["data"] = data[ends[i] : ends[i + 1]]
        yield cast("WD1Event | WD2Event", ev)


P = ParamSpec("P")


class _EventsOfKind(Protocol[P]):
    """A reader of events as type checkers see it: the event type follows the kind given."""

    @overload
    def __call__(
        self, path: PathLike, kind: Literal["WD1"], *args: P.args, **kwargs: P.kwargs
    ) -> Iterator[WD1Event]: ...
    @overload
    def __call__(
        self, path: PathLike, kind: Literal["WD2"], *args: P.args, **kwargs: P.kwargs
    ) -> Iterator[WD2Event]: ...
    @overload
    def __call__(
        self, path: PathLike, kind: Kind, *args: P.args, **kwargs: P.kwargs
    ) -> Iterator[WD1Event | WD2Event]: ...


def typed_by_kind(
    reader: Callable[Concatenate[PathLike, Kind, P], Iterator[WD1Event | WD2Event]],
) -> _EventsOfKind[P]:
    """`reader` itself, typed so that its events are vorn's WD1Event or WD2Event as its kind says."""
    return cast("_EventsOfKind[P]", reader)


@typed_by_kind
def events(
    path: PathLike, kind: Kind, *, channels: int | None = None, on_corrupt: OnCorrupt = "raise", progress: bool = False
) -> Iterator[WD1Event | WD2Event]:
    """The event dicts of a WD1 or WD2 file, as vorn.EventReader yields them.

    path: str or os.PathLike. kind: "WD1" or "WD2". channels: the WD2 channel count (None:
    found from the first two headers, as vorn does); for WD1 None or 1.
    on_corrupt: what damage (a header with an impossible size, or out of step with the run)
    does: "raise" CorruptRecordError after the events before it, "skip" the damaged bytes to
    the next good record, or "warn" (a CorruptRecordWarning naming the bytes skipped) and skip.
    progress: a tqdm progress bar over the file's bytes.

    The events are read in chunks (about 4 MB); an event's `data` is a view of its chunk's
    samples, so keeping one event keeps its chunk in memory.

    Every exception raised names the file, the event index (events before it) and the byte
    offset, in a note and as the attributes `path`, `event` and `offset`. A read error is the
    OSError subclass for its error number, with `errno` and `filename` set. Before reading,
    a few headers are checked: FormatError (with `path`) for a compressed or foreign file
    (by its magic number, or text), for records of the other layout, and, with
    on_corrupt="raise", for first records that contradict `kind` (a sample count or size no
    record can have, a WD2 sampling period that changes); an empty file, or one whose first
    record is not whole yet, is read. A WD2 file whose channel count looks wrong warns
    (FormatWarning), as do bytes left after the last whole record. An empty WD2 file without
    `channels` gives no events, as an empty WD1 file does.
    """
    src = Source(path, kind, fields=field_names(kind), channels=channels, on_corrupt=on_corrupt, empty_run=True)
    bar = _progress(progress, os.path.getsize(src.path) if is_regular(src.path) else None, os.path.basename(src.path))
    try:
        done = 0
        for cols in src.chunks(CHUNK_EVENTS, CHUNK_BYTES):
            if bar is not None:
                bar.update(src.reader.offset - done)
                done = src.reader.offset
            yield from event_dicts(cols, kind)
    finally:
        src.close()
        if bar is not None:
            bar.close()


class _FollowOfKind(Protocol):
    """`follow` as type checkers see it: its events are WD1FollowEvent or WD2FollowEvent as its kind says."""

    @overload
    def __call__(
        self,
        path: PathLike,
        kind: Literal["WD1"],
        *,
        channels: int | None = None,
        poll: float = 0.2,
        idle_timeout: float | None = None,
        stop: threading.Event | Callable[[], bool] | None = None,
        on_corrupt: OnCorrupt = "raise",
    ) -> Iterator[WD1FollowEvent]: ...
    @overload
    def __call__(
        self,
        path: PathLike,
        kind: Literal["WD2"],
        *,
        channels: int | None = None,
        poll: float = 0.2,
        idle_timeout: float | None = None,
        stop: threading.Event | Callable[[], bool] | None = None,
        on_corrupt: OnCorrupt = "raise",
    ) -> Iterator[WD2FollowEvent]: ...
    @overload
    def __call__(
        self,
        path: PathLike,
        kind: Kind,
        *,
        channels: int | None = None,
        poll: float = 0.2,
        idle_timeout: float | None = None,
        stop: threading.Event | Callable[[], bool] | None = None,
        on_corrupt: OnCorrupt = "raise",
    ) -> Iterator[WD1FollowEvent | WD2FollowEvent]: ...


def _typed_follow(reader: Callable[..., Iterator[WD1FollowEvent | WD2FollowEvent]]) -> _FollowOfKind:
    return cast(_FollowOfKind, reader)


@_typed_follow
def follow(
    path: PathLike,
    kind: Kind,
    *,
    channels: int | None = None,
    poll: float = 0.2,
    idle_timeout: float | None = None,
    stop: threading.Event | Callable[[], bool] | None = None,
    on_corrupt: OnCorrupt = "raise",
) -> Iterator[WD1FollowEvent | WD2FollowEvent]:
    """The events of a run while it is being written, as they are appended.

    path: a run file, a directory or a glob pattern ("runs/*.wd1"). For a file, waits for it
    to appear (and, for WD2 without `channels`, until it holds the two records the channel
    count is found from), then yields each event once its record is complete, checking every
    `poll` seconds for more. Before reading on after a wait it checks that the file is still
    the one read: FileChangedError if it was removed, replaced by another file, truncated, or
    rewritten in place (the last header read no longer in its bytes).

    For a directory (its regular files, names starting with "." left out: give a pattern
    if it holds files other than runs) or a pattern, it follows the newest file (by
    modification time, then name), or the first to appear if there is none yet. When the
    acquisition goes on with a new file, so does follow, once the current one is complete:
    no growth for a poll while a newer file exists, or removed or renamed and read to its
    end. Files that appear later are read oldest first, each once (a renamed file is not
    read again); records written to a file after it was left are read on from where it was
    left, renamed or not. A file truncated or rewritten in place is read again from its
    start, as a new run, with a FileChangedWarning: the acquisition started over in it.
    Every event, of a file or a directory, has the key "file": the path its file was opened
    by (typed: WD1FollowEvent, WD2FollowEvent, vorn's event keys and "file").

    In a directory or pattern, a file that is not a run (a log, notes) is passed over with
    one FormatWarning, and so is a WD2 run too short for the channel count (an aborted run)
    once a newer file exists; it is read after all if it grows. Following a single file, a
    newer run with its suffix appearing beside it gives a NewerRunWarning (once per file).

    Ends when no event came for `idle_timeout` seconds (None: never; 0: reads what is there
    and returns) or when `stop` (a threading.Event, or a callable returning True) is set;
    bytes of a partial record left then, or at the end of a file left for the next, give a
    FormatWarning. A path that has not appeared when the idle timeout passes raises
    FileNotFoundError. `poll` must be a positive finite number of seconds. A FIFO is opened
    without waiting for a writer: no writer counts as idle time; while a writer has it open
    the reader waits inside its read, and `idle_timeout` and `stop` take effect once the
    writer closes it. channels, on_corrupt and the errors are those of `events`. (What a live
    display needs to know of the follow, without reading again: `_follow.Follower.stats`.)
    """
    from ._follow import Follower

    events = Follower(path, kind, channels, poll, idle_timeout, stop, on_corrupt).events()
    yield from cast("Iterator[WD1FollowEvent | WD2FollowEvent]", events)
