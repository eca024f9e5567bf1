"""Reading one file through vorn with byte offsets, errors that name the file, event and
offset, and a choice of what a corrupt record does; `events` and `follow`."""

from __future__ import annotations

import os
import threading
import time
import warnings
from collections.abc import Callable, Iterator
from itertools import islice
from typing import Any, Literal, cast

import vorn

from ._format import KINDS, WD1_HEADER, Head, Probe, check_kind, is_regular, probe

OnCorrupt = Literal["raise", "skip", "warn"]
PathLike = str | os.PathLike[str]
Event = dict[str, Any]

CORRUPT_TEXT = "capacity overflow"  # what the reader's fault says for an impossible record size


class ReadError(Exception):
    """A failure while reading events; `path`, `event` (events before it) and `offset` say where."""

    path: str
    event: int
    offset: int


class CorruptRecordError(ReadError):
    """A record header with an impossible size. Reading can carry on after it."""


class FormatWarning(UserWarning):
    """The file will not read as intended: wrong kind, a doubtful WD2 channel count, trailing bytes."""


class CorruptRecordWarning(UserWarning):
    """A corrupt record was skipped (on_corrupt="warn")."""


class FileChangedError(ReadError):
    """The file being followed was truncated or replaced."""


def is_panic(e: BaseException) -> bool:
    """The reader's PanicException: a BaseException that is no module attribute."""
    return type(e).__name__ == "PanicException" and not isinstance(e, Exception)


def _locate(e: BaseException, path: str, event: int, offset: int) -> None:
    e.path, e.event, e.offset = path, event, offset  # type: ignore[attr-defined]
    e.add_note(f"while reading {path}, event {event}, byte offset {offset}")


def _os_error(e: OSError, path: str) -> OSError:
    """The reader's OSError carries only its text; an equal one with errno and filename set."""
    if e.filename is not None:
        return e
    text = str(e.args[0]) if len(e.args) == 1 else str(e)
    desc, sep, num = text.removesuffix(")").rpartition(" (os error ")
    if sep and num.isdigit():
        return OSError(int(num), desc, path)  # OSError picks the subclass for the number
    return OSError(f"{path}: {text}")


def _progress(enabled: bool, total: int | None, desc: str) -> Any:
    if not enabled:
        return None
    try:
        from tqdm.auto import tqdm  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        raise ImportError("progress=True needs tqdm: pip install tqdm (or vorn[kit])") from None
    return tqdm(total=total, unit="B", unit_scale=True, desc=desc, leave=False)


class Source:
    """One vorn reader on one file and where it stands: events read so far and their byte offset."""

    def __init__(self, path: PathLike, kind: str, on_corrupt: OnCorrupt = "raise", check: bool = True) -> None:
        if on_corrupt not in ("raise", "skip", "warn"):
            raise ValueError(f"on_corrupt must be 'raise', 'skip' or 'warn', not {on_corrupt!r}")
        if kind not in KINDS:
            raise ValueError(f"kind must be 'WD1' or 'WD2', not {kind!r}")
        self.path = os.fspath(path)
        self.kind = kind
        self.on_corrupt = on_corrupt
        self.event = 0  # events returned so far (corrupt records not counted)
        self.offset = 0  # byte offset of the next record
        self.corrupt: list[tuple[int, int]] = []  # (event, offset) of each corrupt record passed
        self.probe: Probe | None = None
        notes = check_kind(self.path, kind)[2] if check else []
        for note in notes:
            warnings.warn(f"{self.path}: {note}", FormatWarning, stacklevel=4)
        try:
            self.reader = cast(Iterator[Event], vorn.EventReader(self.path, kind))
        except OSError as e:
            err = _os_error(e, self.path)
            for note in notes:
                err.add_note(note)
            raise err from e
        self.header = WD1_HEADER
        self.item = 2 if kind == "WD1" else 4
        if kind == "WD2":
            with Head(self.path) as head:  # the reader has just probed it, so it is there and seekable
                self.probe = probe(head)
            assert self.probe is not None
            self.header = self.probe.header_bytes

    def advance(self, events: int, nbytes: int) -> None:
        """Moves past `events` records of `nbytes` in all, just returned by the reader."""
        self.event += events
        self.offset += nbytes

    def fail(self, e: BaseException) -> None:
        """Handles an exception from the reader at the current position; returns when the
        record is to be skipped, raises otherwise."""
        if is_panic(e):
            corrupt = str(e) == CORRUPT_TEXT
            what = "corrupt record header (impossible size)" if corrupt else f"reader fault: {e}"
            err: ReadError = (CorruptRecordError if corrupt else ReadError)(
                f"{self.path}: event {self.event} at byte offset {self.offset}: {what}")
            err.__cause__ = e
            _locate(err, self.path, self.event, self.offset)
            if corrupt:
                self.corrupt.append((self.event, self.offset))
                self.offset += self.header  # the reader carries on after the header
                if self.on_corrupt != "raise":
                    if self.on_corrupt == "warn":
                        warnings.warn(str(err), CorruptRecordWarning, stacklevel=5)
                    return
            raise err
        if isinstance(e, OSError):
            new = _os_error(e, self.path)
            _locate(new, self.path, self.event, self.offset)
            if new is e:
                raise e
            raise new from e
        if isinstance(e, Exception):
            _locate(e, self.path, self.event, self.offset)
        raise e

    def chunks(self, events: int, nbytes: int, stop: int | None = None) -> Iterator[list[Event]]:
        """Lists of at most `events` events and about `nbytes` of records, until the data ends
        (or `stop` events in all). Corrupt records skipped inside a chunk leave no gap in it.

        Sizes are counted per event: a chunk ends once the next record, if as large as the
        last, would pass `nbytes`, so records that grow along the file cannot swell it."""
        header, item = self.header, self.item
        while stop is None or self.event < stop:
            chunk: list[Event] = []
            size = 0
            ended = full = False
            while not full and len(chunk) < events:
                limit = events if stop is None else min(events, stop - self.event + len(chunk))
                n0, size0 = len(chunk), size
                try:
                    for ev in islice(self.reader, limit - n0):
                        chunk.append(ev)
                        record = header + item * len(ev["data"])
                        size += record
                        if size + record > nbytes:
                            full = True
                            break
                except BaseException as e:  # noqa: B036 - the reader's fault is a BaseException
                    self.advance(len(chunk) - n0, size - size0)
                    self.fail(e)
                    continue
                self.advance(len(chunk) - n0, size - size0)
                if (len(chunk) < limit and not full) or (stop is not None and self.event >= stop):
                    ended = True
                    break
            if chunk:
                yield chunk
            if ended:
                return

    def trailing(self) -> int:
        """Bytes after the last whole record of a regular file (a partial record)."""
        try:
            return max(0, os.path.getsize(self.path) - self.offset) if is_regular(self.path) else 0
        except OSError:
            return 0

    def warn_trailing(self) -> None:
        extra = self.trailing()
        if extra:
            warnings.warn(f"{self.path}: {extra} bytes after the last whole record at byte offset {self.offset} "
                          "(a partial record, or a file still being written)", FormatWarning, stacklevel=4)


def events(path: PathLike, kind: str, *, on_corrupt: OnCorrupt = "raise", progress: bool = False) -> Iterator[Event]:
    """The event dicts of a WD1 or WD2 file, as vorn.EventReader yields them.

    path: str or os.PathLike. kind: "WD1" or "WD2".
    on_corrupt: what a record with an impossible size does: "raise" CorruptRecordError,
    "skip" it, or "warn" (a CorruptRecordWarning) and skip it. Reading carries on after it.
    progress: a tqdm progress bar over the file's bytes.

    Every exception raised names the file, the event index (events before it) and the byte
    offset, in a note and as the attributes `path`, `event` and `offset`. A read error is the
    OSError subclass for its error number, with `errno` and `filename` set. Before reading,
    the first records are checked: a compressed or foreign file raises FormatError; a file
    that does not fit `kind`, or a WD2 file whose channel count looks wrong, warns
    (FormatWarning), as do bytes left after the last whole record.
    """
    src = Source(path, kind, on_corrupt)
    bar = _progress(progress, os.path.getsize(src.path) if is_regular(src.path) else None, os.path.basename(src.path))
    reader = src.reader
    try:
        while True:
            try:
                ev = next(reader)
            except StopIteration:
                break
            except BaseException as e:  # noqa: B036
                src.fail(e)
                continue
            before = src.offset
            src.event += 1
            src.offset += src.header + src.item * ev["data"].size
            if bar is not None:
                bar.update(src.offset - before)
            yield ev
        src.warn_trailing()
    finally:
        if bar is not None:
            bar.close()


def _stop_requested(stop: threading.Event | Callable[[], bool] | None) -> bool:
    if stop is None:
        return False
    return stop.is_set() if isinstance(stop, threading.Event) else bool(stop())


def follow(path: PathLike, kind: str, *, poll: float = 0.2, idle_timeout: float | None = None,
           stop: threading.Event | Callable[[], bool] | None = None,
           on_corrupt: OnCorrupt = "raise") -> Iterator[Event]:
    """The events of a run while it is being written, as they are appended.

    Waits for the file to appear (and, for WD2, until it holds the two records the channel
    count is found from), then yields each event once its record is complete, checking
    every `poll` seconds for more. Ends when no event came for `idle_timeout` seconds
    (None: never) or when `stop` (a threading.Event, or a callable returning True) is set.
    Raises FileChangedError if the file shrinks below what was read or is replaced by
    another file. On a FIFO the reader waits inside its read while a writer has it open:
    `idle_timeout` and `stop` then take effect once the writer closes it. Errors name the
    file, event and offset as in `events`.
    """
    p = os.fspath(path)
    if kind not in KINDS:
        raise ValueError(f"kind must be 'WD1' or 'WD2', not {kind!r}")
    last = time.monotonic()

    def idle() -> bool:
        return idle_timeout is not None and time.monotonic() - last >= idle_timeout

    def wait() -> None:
        if isinstance(stop, threading.Event):
            stop.wait(poll)
        else:
            time.sleep(poll)

    src = None
    while src is None:  # the file, and for WD2 enough of it for the channel count
        if _stop_requested(stop) or idle():
            return
        try:
            st = os.stat(p)
            regular = is_regular(p)
            if not (regular and kind == "WD2" and _too_short_for_probe(p)):
                if regular and st.st_size:
                    check_kind(p, kind)  # FormatError for a compressed or foreign file
                src = Source(p, kind, on_corrupt, check=False)
        except FileNotFoundError:
            pass
        if src is None:
            wait()
    identity = (st.st_dev, st.st_ino)
    reader = src.reader
    while True:
        try:
            ev = next(reader)
        except StopIteration:
            if _stop_requested(stop) or idle():
                return
            if regular:
                _check_unchanged(src, identity)
            wait()
            continue
        except BaseException as e:  # noqa: B036
            src.fail(e)
            continue
        src.event += 1
        src.offset += src.header + src.item * ev["data"].size
        last = time.monotonic()
        yield ev
        if _stop_requested(stop):
            return


def _too_short_for_probe(path: str) -> bool:
    with Head(path) as head:
        return probe(head) is None


def _check_unchanged(src: Source, identity: tuple[int, int]) -> None:
    try:
        st = os.stat(src.path)
    except FileNotFoundError:
        st = None
    if st is None or (st.st_dev, st.st_ino) != identity:
        what = "removed" if st is None else "replaced by another file"
    elif st.st_size < src.offset:
        what = f"truncated to {st.st_size} bytes"
    else:
        return
    err = FileChangedError(f"{src.path} was {what} while being followed, after event {src.event} "
                           f"(byte offset {src.offset})")
    _locate(err, src.path, src.event, src.offset)
    raise err
