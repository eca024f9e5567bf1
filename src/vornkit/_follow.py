"""Following runs while they are written: one file, or the newest file of a directory or
glob pattern and each file the acquisition goes on with after it."""

from __future__ import annotations

import dataclasses
import glob
import os
import stat
import threading
import time
from collections.abc import Callable, Generator
from typing import cast

import numpy as np

from ._format import check_channels, check_kind, check_kind_name, field_names, magic, probe_too_short, walk
from ._layouts import Kind, header_dtype
from ._read import (
    CHUNK_BYTES,
    CHUNK_EVENTS,
    Columns,
    Event,
    FileChangedError,
    FileChangedWarning,
    FormatWarning,
    OnCorrupt,
    PathLike,
    Source,
    _locate,
    check_on_corrupt,
    event_dicts,
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
        return lambda: glob.glob(target)
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
    found none) of the file `path`, and the bytes they took in it."""

    path: str
    cols: Columns | None
    nbytes: int = 0


class Follower:
    """The state of one follow: the file being read, the files done, the time of the last event."""

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
        self.target = os.fspath(target)
        self.kind = kind
        self.channels = check_channels(kind, channels)
        self.poll = poll
        self.idle_timeout = idle_timeout
        self.stop = stop
        self.on_corrupt: OnCorrupt = on_corrupt
        self.listing = listing(self.target)
        self.last = time.monotonic()  # when the last event came
        self.src: Source | None = None
        self.path = ""  # the file being read ("" before the first)
        self.ident = (0, 0)  # its (st_dev, st_ino)
        self.regular = False
        self.last_off = -1  # byte offset of the last record read
        self.last_fields: tuple[int, ...] | None = None  # its header fields
        self.last_size: int | None = None  # the file's size at the last poll
        self.again: str | None = None  # a file to read again from its start
        self.seen: dict[tuple[int, int], tuple[int, bytes]] = {}  # files done: identity -> (ctime, first bytes)
        self.ends: dict[tuple[int, int], tuple[int, int, int]] = {}  # files read to their end: (size, offset, event)
        if self.listing is not None:
            for _, path, st in self._files()[:-1]:  # older than the newest: not followed
                try:
                    with open(path, "rb") as f:
                        head = _head(f.fileno())
                except OSError:  # unreadable: passed over all the same
                    head = b""
                self.seen[(st.st_dev, st.st_ino)] = (st.st_ctime_ns, head)

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
            if (st.st_dev, st.st_ino) == self.ident or self._done_before(path, st):
                continue
            try:
                with open(path, "rb") as f:
                    head = _head(f.fileno())
            except OSError:  # gone meanwhile, or unreadable: opening it says which
                return path
            if len(head) < _MAGIC:
                continue  # too short yet to tell a run from a file of another format
            foreign = magic(head)
            if foreign is None:
                return path
            # A run's first header can spell a magic number (a WD2 counter of 0x04034B50 is "PK\3\4"):
            # records that hold together are followed; the newest file, its first records not whole
            # yet, may be such a run still being written and is decided once whole or no longer newest.
            walked = walk(path, self.kind, self.channels)
            if walked.fits:
                return path
            if not walked.broken and path == files[-1][1]:
                continue
            warn(f"{path}: {foreign[0]}, not a WD1/WD2 event file: passed over", FormatWarning)
            self.seen[(st.st_dev, st.st_ino)] = (st.st_ctime_ns, head)
        return None

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
        except FileNotFoundError:
            return None
        except OSError as e:
            if regular and probe_too_short(e):
                return None
            raise

    def _start(self) -> Generator[Chunk, None, bool]:
        """Opens the next file to read, waiting for it; False when stopped first."""
        while not self.stopping():
            path = self.target if self.listing is None else self.again or self._next_path()
            src = self._open(path) if path is not None else None
            self.again = None  # tried once; if it cannot be opened yet it is found again as not read
            if src is not None:
                st = os.fstat(src.reader.fileno())
                self.src, self.path, self.ident = src, src.path, (st.st_dev, st.st_ino)
                self.regular = stat.S_ISREG(st.st_mode)
                self.last_off, self.last_fields, self.last_size = -1, None, None
                return True
            self.wait()
            yield Chunk(self.path, None)
        return False

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
                n = len(cols["n_samples"])
                if n:
                    self.last_off = int(cols["offset"][-1])
                    self.last_fields = tuple(int(cols[f][-1]) for f in self._compared())
                    yield Chunk(src.path, cols, r.offset - before)
                    self.last = time.monotonic()
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
        finally:
            self._close(False)

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
        """The event dicts, each with the path of its file as "file"."""
        chunks = self.chunks()
        try:
            for chunk in chunks:
                if chunk.cols is None:
                    continue
                n = len(chunk.cols["n_samples"])
                for i, ev in enumerate(event_dicts(chunk.cols, self.kind), 1):
                    cast(Event, ev)["file"] = chunk.path
                    yield cast(Event, ev)
                    if i < n and _stop_requested(self.stop):
                        return  # whole records left: no partial record to warn of
        finally:
            chunks.close()


class Tally:
    """Running totals of a follow for the command line: events, bytes, counter gaps, the last event."""

    def __init__(self, kind: str) -> None:
        self.kind = kind
        self.events = 0
        self.nbytes = 0
        self.gaps = 0
        self.missing = 0  # counters skipped over by forward gaps
        self.files = 0
        self.path = ""
        self.prev: int | None = None  # the last counter of the current file
        self.latest = ""

    def add(self, chunk: Chunk) -> None:
        if chunk.path != self.path and chunk.path:
            self.path, self.prev = chunk.path, None
            self.files += 1
        cols = chunk.cols
        if cols is None or not len(cols["n_samples"]):
            return
        counters = cols["event_counter"].astype(np.int64)
        if self.prev is not None:
            counters = np.concatenate(([self.prev], counters))
        step = np.diff(counters) % (1 << 32)  # WD1 counters are signed, WD2 unsigned: both wrap at 2**32
        gaps = step[step != 1]
        self.gaps += len(gaps)
        self.missing += int((gaps[gaps < 1 << 31] - 1).clip(0).sum())
        self.prev = int(counters[-1])
        self.events += len(cols["n_samples"])
        self.nbytes += chunk.nbytes
        last = {k: int(v[-1]) for k, v in cols.items() if k != "data"}
        if self.kind == "WD1":
            where = f"board {last['board_id']} channel {last['board_channel']}, {last['n_samples']} samples"
        else:
            per = last["samples"]
            ch = last["n_samples"] // per if per else last["channels"]
            where = f"{ch} channel(s) x {per} samples"
        self.latest = f"last #{last['event_counter']} t={last['timestamp']} {where}"

    def line(self, events: int, nbytes: int, seconds: float) -> str:
        """The totals, with the rate of `events` and `nbytes` over `seconds`."""
        rate = f"{events / seconds:.1f} ev/s, {nbytes / seconds / 1e6:.2f} MB/s" if seconds > 0 else "-"
        missing = f" ({self.missing} missing)" if self.missing else ""
        return f"{self.events} events, {rate}, gaps {self.gaps}{missing}" + (f"; {self.latest}" if self.latest else "")
