"""Following runs while they are written: one file, or the newest file of a directory or
glob pattern and each file the acquisition goes on with after it."""

from __future__ import annotations

import dataclasses
import errno
import glob
import math
import os
import stat
import threading
import time
from collections.abc import Callable, Generator
from typing import cast

import numpy as np

from ._format import (
    FormatError,
    check_channels,
    check_kind,
    check_kind_name,
    field_names,
    magic,
    probe_too_short,
    walk,
)
from ._layouts import Kind, header_dtype
from ._read import (
    CHUNK_BYTES,
    CHUNK_EVENTS,
    Columns,
    Event,
    FileChangedError,
    FileChangedWarning,
    FormatWarning,
    NewerRunWarning,
    OnCorrupt,
    PathLike,
    Source,
    _locate,
    check_on_corrupt,
    event_dicts,
    is_temporary,
    warn,
)

StopWhen = threading.Event | Callable[[], bool] | None
_HEAD = 24  # first bytes kept of a file read, to tell it renamed from a new file on a reused inode
_MAGIC = 8  # bytes that tell a file of another format by its magic number


def _stop_requested(stop: StopWhen) -> bool:
    if stop is None:
        return False
    return stop.is_set() if isinstance(stop, threading.Event) else bool(stop())


def listing(target: str) -> Callable[[], list[str]] | None:
    """The paths a directory or glob pattern names now, or None for a single file."""
    if os.path.isdir(target):
        return lambda: [os.path.join(target, n) for n in os.listdir(target) if not n.startswith(".")]
    if not os.path.exists(target) and any(c in target for c in "*?["):
        return lambda: [p for p in glob.glob(target) if not is_temporary(p)]
    return None


def regular_files(listing: Callable[[], list[str]]) -> list[tuple[tuple[int, str], str, os.stat_result]]:
    """The regular files of a listing, oldest first (modification time, then name), with their stat."""
    out = []
    for path in listing():
        try:
            st = os.stat(path)
        except OSError:  # gone meanwhile
            continue
        if stat.S_ISREG(st.st_mode):
            out.append(((st.st_mtime_ns, path), path, st))
    out.sort()
    return out


def _head(fd: int) -> bytes:
    return os.pread(fd, _HEAD, 0)


@dataclasses.dataclass
class Chunk:
    """What one step of a follow gives: the columns of new records (None after a poll that
    found none) of the file `path`, and the bytes they took in it; `catchup`: records that were
    in the first file already when the follow began (read at once, not as they were written)."""

    path: str
    cols: Columns | None
    nbytes: int = 0
    catchup: bool = False


@dataclasses.dataclass
class FollowStats:
    """What a follow has done so far, kept up to date by its Follower (`Follower.stats`) for a
    display that must not read the records again. Counts cover every file read.

    path: the file being read ("" before the first); file_offset: the byte offset read to in
    it; file_size: its size at the last look (None: not a regular file); files: files read
    from; events, nbytes: events and record bytes given; gaps: counter steps other than +1
    (a wrap at 2**32 is a step of 1), missing: counters skipped over by forward gaps;
    damaged: (file, next event, byte offset, bytes) of each damaged span skipped
    (on_corrupt "skip"/"warn"); last_event: time.time() of the last event (None before);
    last_counter, last_timestamp: its header values; catchup_events, catchup_bytes,
    catchup_seconds: what the first file already held when the follow began, read at once
    (caught_up: that part is done); waiting: what the follow waits for while it has no file
    ("PATH" missing, or None); newer: a newer run seen beside the single file followed
    (see NewerRunWarning); passed_over: files of a directory or pattern that are not runs
    (or too short a WD2 run while a newer file exists), left out with a FormatWarning each."""

    path: str = ""
    file_offset: int = 0
    file_size: int | None = None
    files: int = 0
    events: int = 0
    nbytes: int = 0
    gaps: int = 0
    missing: int = 0
    damaged: list[tuple[str, int, int, int]] = dataclasses.field(default_factory=list)
    last_event: float | None = None
    last_counter: int | None = None
    last_timestamp: int | None = None
    catchup_events: int = 0
    catchup_bytes: int = 0
    catchup_seconds: float = 0.0
    caught_up: bool = False
    waiting: str | None = None
    newer: str | None = None
    passed_over: list[str] = dataclasses.field(default_factory=list)
    _prev: int | None = dataclasses.field(default=None, repr=False)  # the last counter of the current file

    def add(self, chunk: Chunk) -> None:
        """Counts a chunk in (its events, bytes, counter gaps, last event)."""
        if chunk.path != self.path and chunk.path:
            self.path, self._prev = chunk.path, None
            self.files += 1
        cols = chunk.cols
        if cols is None or not len(cols["n_samples"]):
            return
        counters = cols["event_counter"].astype(np.int64)
        if self._prev is not None:
            counters = np.concatenate(([self._prev], counters))
        step = np.diff(counters) % (1 << 32)  # WD1 counters are signed, WD2 unsigned: both wrap at 2**32
        gaps = step[step != 1]
        self.gaps += len(gaps)
        self.missing += int((gaps[gaps < 1 << 31] - 1).clip(0).sum())
        self._prev = self.last_counter = int(counters[-1])
        self.last_timestamp = int(cols["timestamp"][-1])
        n = len(cols["n_samples"])
        self.events += n
        self.nbytes += chunk.nbytes
        self.last_event = time.time()
        if chunk.catchup:
            self.catchup_events += n
            self.catchup_bytes += chunk.nbytes


def check_seconds(name: str, value: float | None, *, positive: bool) -> None:
    """ValueError unless `value` is a finite number of seconds (above 0 if `positive`, else at least 0)."""
    if value is None and not positive:
        return
    ok = isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)
    if not ok or value < 0 or (positive and value == 0):  # type: ignore[operator]
        what = "a positive finite" if positive else "a finite, non-negative"
        raise ValueError(f"{name} must be {what} number of seconds, not {value!r}")


class Follower:
    """The state of one follow: the file being read, the files done, the time of the last event.

    `stats` (a FollowStats) says what it has done so far: the current file, its offset and
    size, events, bytes, counter gaps, damaged spans, the last event, the catch-up, what it
    waits for; a display reads it between the chunks or events it takes from `chunks()` or
    `events()`. `waiting_for(path)` is called (if given) each time the follow starts waiting
    for a path that does not exist yet."""

    def __init__(
        self,
        target: PathLike,
        kind: Kind,
        channels: int | None,
        poll: float,
        idle_timeout: float | None,
        stop: StopWhen,
        on_corrupt: OnCorrupt,
    ) -> None:
        check_kind_name(kind)
        check_on_corrupt(on_corrupt)
        check_seconds("poll", poll, positive=True)
        check_seconds("idle_timeout", idle_timeout, positive=False)
        self.target = os.fspath(target)
        self.kind = kind
        self.channels = check_channels(kind, channels)
        self.poll = poll
        self.idle_timeout = idle_timeout
        self.stop = stop
        self.on_corrupt: OnCorrupt = on_corrupt
        self.stats = FollowStats()
        self.waiting_for: Callable[[str], None] | None = None
        self.missing = not os.path.lexists(self.target) and not glob.has_magic(self.target)
        self.listing = None if self.missing else listing(self.target)
        self.last = time.monotonic()  # when the last event came
        self.began = self.last
        self.catching = True  # the first file's records read so far are the catch-up
        self.short: dict[tuple[int, int], int] = {}  # WD2 runs too short to open, passed over: size then
        self.newer_seen: set[str] = set()  # newer runs beside the single file followed, told of
        self.src: Source | None = None
        self._reported = 0  # damaged spans of the current file in the stats
        self.path = ""  # the file being read ("" before the first)
        self.ident = (0, 0)  # its (st_dev, st_ino)
        self.regular = False
        self.last_off = -1  # byte offset of the last record read
        self.last_fields: tuple[int, ...] | None = None  # its header fields
        self.last_size: int | None = None  # the file's size at the last poll
        self.again: str | None = None  # a file to read again from its start
        self.seen: dict[tuple[int, int], tuple[int, bytes]] = {}  # files done: identity -> (ctime, first bytes)
        self.ends: dict[tuple[int, int], tuple[int, int, int]] = {}  # files read to their end: (size, offset, event)
        self._older_seen()

    def _older_seen(self) -> None:
        """Marks the files of the listing older than its newest run as read: they are not
        followed. Newer files that are not runs (a log being written) are passed over."""
        if self.listing is None:
            return
        files = self._files()
        while len(files) > 1 and self._not_a_run(*files[-1][1:]):
            files.pop()
        for _, path, st in files[:-1]:
            try:
                with open(path, "rb") as f:
                    head = _head(f.fileno())
            except OSError:  # unreadable: passed over all the same
                head = b""
            self.seen[(st.st_dev, st.st_ino)] = (st.st_ctime_ns, head)

    def _appeared(self) -> bool:
        """Whether the target, missing so far, exists now (a directory: followed as one)."""
        if not self.missing:
            return True
        if not os.path.lexists(self.target):
            if self.stats.waiting is None:
                self.stats.waiting = self.target
                if self.waiting_for is not None:
                    self.waiting_for(self.target)
            return False
        self.missing = False
        self.stats.waiting = None
        self.listing = listing(self.target)
        return True

    def idle(self) -> bool:
        return self.idle_timeout is not None and time.monotonic() - self.last >= self.idle_timeout

    def stopping(self) -> bool:
        return _stop_requested(self.stop) or self.idle()

    def wait(self) -> None:
        if isinstance(self.stop, threading.Event):
            self.stop.wait(self.poll)
        else:
            time.sleep(self.poll)

    def _files(self) -> list[tuple[tuple[int, str], str, os.stat_result]]:
        assert self.listing is not None
        return regular_files(self.listing)

    def _done_before(self, path: str, st: os.stat_result) -> bool:
        """Whether `path` is a file read (or passed over) before, perhaps renamed since."""
        known = self.seen.get((st.st_dev, st.st_ino))
        if known is None:
            return False
        ctime, head = known
        if st.st_ctime_ns != ctime:
            try:  # renamed, or a new file on a reused inode: its first bytes tell
                with open(path, "rb") as f:
                    now = _head(f.fileno())
            except OSError:
                return True
            if len(now) < len(head):
                return head.startswith(now)  # too short yet to tell
            if now != head:
                self.ends.pop((st.st_dev, st.st_ino), None)  # a new file on a reused inode
                return False
            self.seen[(st.st_dev, st.st_ino)] = (st.st_ctime_ns, head)
        end = self.ends.get((st.st_dev, st.st_ino))
        # Written to after it was left (a writer flushing its last records after the next
        # file appeared, or still writing to it renamed): read on from where it was left.
        return end is None or st.st_size <= end[0]

    def _next_path(self) -> str | None:
        """The oldest file not read yet, other than the one being read. A file of another format
        (a run compressed beside the others) is passed over with a FormatWarning."""
        files = self._files()
        for _, path, st in files:
            ident = (st.st_dev, st.st_ino)
            if ident == self.ident or self._done_before(path, st):
                continue
            if ident in self.short:
                if st.st_size == self.short[ident]:
                    continue  # too short to open, and a newer file exists: passed over until it grows
                del self.short[ident]
            try:
                with open(path, "rb") as f:
                    head = _head(f.fileno())
            except OSError:  # gone meanwhile, or unreadable: opening it says which
                return path
            if len(head) < _MAGIC:
                continue  # too short yet to tell a run from a file of another format
            foreign = magic(head)
            if foreign is None:
                try:
                    check_kind(path, self.kind, self.channels, read=self.on_corrupt)
                except FormatError as e:  # a log, notes: no run
                    self._pass_over(path, st, head, f"{e.reason}: passed over")
                    continue
                except OSError:
                    pass  # opening it says why
                return path
            # A run's first header can spell a magic number (a WD2 counter of 0x04034B50 is "PK\3\4"):
            # records that hold together are followed; the newest file, its first records not whole
            # yet, may be such a run still being written and is decided once whole or no longer newest.
            walked = walk(path, self.kind, self.channels)
            if walked.fits:
                return path
            if not walked.broken and path == files[-1][1]:
                continue
            self._pass_over(path, st, head, f"{foreign[0]}, not a WD1/WD2 event file: passed over")
        return None

    def _not_a_run(self, path: str, st: os.stat_result) -> bool:
        """Whether a file is no run (passed over, with its warning): another format, or records
        that do not hold together as the kind followed."""
        try:
            with open(path, "rb") as f:
                head = _head(f.fileno())
        except OSError:
            return False
        if len(head) < _MAGIC:
            return False
        foreign = magic(head)
        if foreign is not None and not walk(path, self.kind, self.channels).fits:
            self._pass_over(path, st, head, f"{foreign[0]}, not a WD1/WD2 event file: passed over")
            return True
        try:
            check_kind(path, self.kind, self.channels, read=self.on_corrupt)
        except FormatError as e:
            self._pass_over(path, st, head, f"{e.reason}: passed over")
            return True
        except OSError:
            pass
        return False

    def _pass_over(self, path: str, st: os.stat_result, head: bytes, why: str) -> None:
        """Leaves a file of the listing out for good, with one FormatWarning."""
        warn(f"{path}: {why}", FormatWarning)
        self.seen[(st.st_dev, st.st_ino)] = (st.st_ctime_ns, head)
        self.stats.passed_over.append(path)

    def _open(self, path: str) -> Source | None:
        """A reader on `path`; None while it is missing or (WD2) too short for the channel count."""
        regular = False
        try:
            st = os.stat(path)
            regular = stat.S_ISREG(st.st_mode)
            if regular and st.st_size:
                check_kind(
                    path, self.kind, self.channels, read=self.on_corrupt
                )  # FormatError for a file that is no such run
            _, offset, event = self.ends.get((st.st_dev, st.st_ino), (0, 0, 0)) if regular else (0, 0, 0)
            if stat.S_ISFIFO(st.st_mode):
                # Held open for writing too while the reader opens it, so that its open never waits
                # for a writer; once closed, a missing writer reads as the end of the data (idle time).
                hold = os.open(path, os.O_RDWR | os.O_NONBLOCK | os.O_CLOEXEC)
                try:
                    return self._source(path, offset, event)
                finally:
                    os.close(hold)
            return self._source(path, offset, event)
        except FileNotFoundError:
            return None
        except OSError as e:
            if regular and probe_too_short(e):
                self._too_short(path)
                return None
            raise

    def _source(self, path: str, offset: int, event: int) -> Source:
        return Source(
            path,
            self.kind,
            fields=[*field_names(self.kind), "offset"],
            channels=self.channels,
            on_corrupt=self.on_corrupt,
            check=False,
            offset=offset,
            event=event,
        )

    def _too_short(self, path: str) -> None:
        """A WD2 run too short for the channel probe: in a listing with a newer file (an aborted
        run), passed over with a FormatWarning until it grows; else waited for."""
        if self.listing is None:
            return
        files = self._files()
        at = next((i for i, (_, p, _) in enumerate(files) if p == path), None)
        if at is None or at == len(files) - 1:
            return  # the newest: a run just started
        st = files[at][2]
        self.short[(st.st_dev, st.st_ino)] = st.st_size
        self.stats.passed_over.append(path)
        warn(
            f"{path}: {st.st_size} bytes, too short for the two records the WD2 channel count is found "
            "from, and a newer file exists: passed over (read if it grows)",
            FormatWarning,
        )

    def _start(self) -> Generator[Chunk, None, bool]:
        """Opens the next file to read, waiting for it; False when stopped first. Each wait
        counts as idle time; the first look comes before any, so that idle_timeout=0 reads what
        is there. FileNotFoundError when the idle timeout passes before the target appeared."""
        while not _stop_requested(self.stop):
            src = None
            if self._appeared():
                path = self.target if self.listing is None else self.again or self._next_path()
                src = self._open(path) if path is not None else None
                self.again = None  # tried once; if it cannot be opened yet it is found again as not read
            if src is not None:
                st = os.fstat(src.reader.fileno())
                self.src, self.path, self.ident = src, src.path, (st.st_dev, st.st_ino)
                self.regular = stat.S_ISREG(st.st_mode)
                self.last_off, self.last_fields, self.last_size = -1, None, None
                self.stats.file_size = st.st_size if self.regular else None
                self.stats.file_offset = src.reader.offset
                self._reported = len(src.reader.skipped)
                if self.catching and not (self.regular and st.st_size > src.reader.offset):
                    self._caught_up()  # nothing there yet to catch up with
                return True
            if self.idle():
                if self.missing:
                    raise FileNotFoundError(
                        errno.ENOENT, f"did not appear within the idle timeout ({self.idle_timeout:g} s)", self.target
                    )
                return False
            self.wait()
            yield Chunk(self.path, None)
        return False

    def _caught_up(self) -> None:
        if self.catching:
            self.catching = False
            self.stats.caught_up = True
            self.stats.catchup_seconds = time.monotonic() - self.began

    def _close(self, done: bool) -> None:
        """Closes the file being read; `done`: it is not to be read again."""
        if self.src is None:
            return
        if done:
            if self.regular:
                fd, r = self.src.reader.fileno(), self.src.reader
                st = os.fstat(fd)
                self.seen[self.ident] = (st.st_ctime_ns, _head(fd))
                self.ends[self.ident] = (st.st_size, r.offset, r.event)
                self.src.warn_trailing(regular=True)
        self.src.close()
        self.src = None
        self.ident = (0, 0)

    def _changed(self, src: Source) -> tuple[str, bool] | None:
        """How the file differs from what was read: (what, whether its path names it no more), or None."""
        r = src.reader
        try:
            st = os.stat(src.path)
        except FileNotFoundError:
            return "removed", True
        if (st.st_dev, st.st_ino) != self.ident:
            return "replaced by another file", True
        if st.st_size < r.offset + r.pending:
            return f"truncated to {st.st_size} bytes", False
        if self.last_fields is not None:
            head = os.pread(r.fileno(), src.header_bytes, self.last_off)
            if len(head) < src.header_bytes or self._fields(head, src.header_bytes) != self.last_fields:
                return "rewritten in place", False
        return None

    def _compared(self) -> list[str]:
        """The header fields checked against the file (the WD2 channel column is not always in it)."""
        return [n for n in field_names(self.kind) if n != "channels"]

    def _fields(self, head: bytes, header_bytes: int) -> tuple[int, ...]:
        rec = np.frombuffer(head, header_dtype(self.kind, channel_word=header_bytes != 24), count=1)[0]
        return tuple(int(rec[n]) for n in self._compared())

    def chunks(self) -> Generator[Chunk, None, None]:
        """The records as they come, in chunks of columns, and an empty Chunk after every poll."""
        try:
            while True:
                if self.src is None and not (yield from self._start()):
                    return
                src = self.src
                assert src is not None
                r = src.reader
                before = r.offset
                cols = src.read(CHUNK_EVENTS if self.regular else 1, CHUNK_BYTES)  # a FIFO's read waits for all
                self._account(src)
                n = len(cols["n_samples"])
                if n:
                    self.last_off = int(cols["offset"][-1])
                    self.last_fields = tuple(int(cols[f][-1]) for f in self._compared())
                    chunk = Chunk(src.path, cols, r.offset - before, self.catching)
                    self.stats.add(chunk)
                    yield chunk
                    self.last = time.monotonic()
                if r.status == "end":
                    self._caught_up()
                if r.status != "end" and not _stop_requested(self.stop):
                    continue
                if self.stopping():
                    if self.regular:
                        src.warn_trailing(regular=True)
                    return
                self.wait()
                yield Chunk(src.path, None)
                if self.regular:
                    self._poll(src)
                    if self.listing is None:
                        self._newer_beside(src.path)
        finally:
            self._close(False)

    def _account(self, src: Source) -> None:
        """The file's offset, size and damaged spans into the stats."""
        r = src.reader
        self.stats.file_offset = r.offset
        if self.regular:
            try:
                self.stats.file_size = os.fstat(r.fileno()).st_size
            except OSError:
                pass
        skipped = r.skipped
        for event, offset, nbytes in skipped[self._reported :]:
            self.stats.damaged.append((src.path, event, offset, nbytes))
        self._reported = len(skipped)

    def _newer_beside(self, path: str) -> None:
        """Tells (NewerRunWarning, once per file) of a newer run beside the single file followed:
        a regular file of its directory with its suffix, modified after it."""
        directory, name = os.path.split(path)
        suffix = os.path.splitext(name)[1].lower()
        try:
            mine = os.stat(path).st_mtime_ns
            names = os.listdir(directory or ".")
        except OSError:
            return
        for other in names:
            if other == name or other.startswith(".") or os.path.splitext(other)[1].lower() != suffix:
                continue
            full = os.path.join(directory, other)
            if full in self.newer_seen:
                continue
            try:
                st = os.stat(full)
            except OSError:
                continue
            if stat.S_ISREG(st.st_mode) and st.st_mtime_ns > mine and st.st_size:
                self.newer_seen.add(full)
                self.stats.newer = full
                warn(
                    f"{full}: a newer run beside {path}, which is followed alone: follow the directory "
                    "(or a pattern) to go on with each new run",
                    NewerRunWarning,
                )

    def _poll(self, src: Source) -> None:
        """After a wait: raises or moves on if the file changed, moves on if the acquisition did."""
        r = src.reader
        change = self._changed(src)
        if change is not None and change[1] and os.fstat(r.fileno()).st_size > r.offset + r.pending:
            return  # renamed or removed with records not yet read: read them through the open file first
        if change is not None and self.listing is None:
            what = change[0]
            hint = "; follow its directory or a pattern to go on with each new file" if change[1] else ""
            err = FileChangedError(
                f"{src.path} was {what} while being followed, after event {r.event} (byte offset {r.offset}){hint}"
            )
            _locate(err, src.path, r.event, r.offset)
            raise err
        if change is None:
            if self.listing is not None:
                # The newer file first, then the size: a writer that moved on between the two
                # has written its last bytes here before the size is taken.
                newer = self._next_path() is not None
                size = os.fstat(r.fileno()).st_size
                if newer and size == self.last_size:
                    self._close(True)  # complete, and the acquisition went on with another file
                self.last_size = size
        elif change[1]:
            self._close(True)  # read to its end through the open file (above)
        else:
            warn(
                f"{src.path} was {change[0]} after event {r.event} (byte offset {r.offset}): "
                "reading it again from its start, as a new run",
                FileChangedWarning,
            )
            self.again = src.path
            self.ends.pop(self.ident, None)  # read again from its start
            self._close(False)

    def events(self) -> Generator[Event, None, None]:
        """The event dicts; with a directory or pattern, each with the path of its file as "file"."""
        chunks = self.chunks()
        try:
            for chunk in chunks:
                if chunk.cols is None:
                    continue
                n = len(chunk.cols["n_samples"])
                for i, ev in enumerate(event_dicts(chunk.cols, self.kind), 1):
                    if self.listing is not None:
                        cast(Event, ev)["file"] = chunk.path
                    yield cast(Event, ev)
                    if i < n and _stop_requested(self.stop):
                        return  # whole records left: no partial record to warn of
        finally:
            chunks.close()


def describe_last(cols: Columns, kind: str, clock: float | None = None) -> str:
    """The last event of a chunk in a few words: counter, timestamp (seconds with the tick rate
    `clock`), board and channel or channels, samples."""
    last = {k: int(v[-1]) for k, v in cols.items() if k != "data"}
    if kind == "WD1":
        where = f"board {last['board_id']} channel {last['board_channel']}, {last['n_samples']} samples"
    else:
        per = last["samples"]
        ch = last["n_samples"] // per if per else last["channels"]
        where = f"{ch} channel(s) x {per} samples"
    t = f"{last['timestamp'] / clock:.6f} s" if clock else str(last["timestamp"])
    return f"last #{last['event_counter']} t={t} {where}"


class Tally:
    """Running totals of a follow for a line of text (kept for its callers; a display reads
    Follower.stats): events, bytes, counter gaps, the last event."""

    def __init__(self, kind: str) -> None:
        self.kind = kind
        self.stats = FollowStats()
        self.latest = ""

    def __getattr__(self, name: str) -> object:
        if name in ("events", "nbytes", "gaps", "missing", "files", "path"):
            return getattr(self.stats, name)
        raise AttributeError(name)

    def add(self, chunk: Chunk) -> None:
        """Counts a chunk in."""
        self.stats.add(chunk)
        if chunk.cols is not None and len(chunk.cols["n_samples"]):
            self.latest = describe_last(chunk.cols, self.kind)

    def line(self, events: int, nbytes: int, seconds: float) -> str:
        """The totals, with the rate of `events` and `nbytes` over `seconds`."""
        s = self.stats
        rate = f"{events / seconds:.1f} ev/s, {nbytes / seconds / 1e6:.2f} MB/s" if seconds > 0 else "-"
        missing = f" ({s.missing} missing)" if s.missing else ""
        return f"{s.events} events, {rate}, gaps {s.gaps}{missing}" + (f"; {self.latest}" if self.latest else "")
