"""Events as NumPy arrays: one column per header field and the samples in one block
(`arrays`), in chunks across many files (`iterate`), header columns as a DataFrame."""

from __future__ import annotations

import os
import re
from collections.abc import Iterable, Iterator
from operator import itemgetter
from typing import Any

import numpy as np
from numpy.typing import DTypeLike

from ._format import WD1_HEADER, Head, is_regular, wd1_record_bytes
from ._read import Event, OnCorrupt, PathLike, Source, _progress

COLUMNS: dict[str, tuple[tuple[str, str], ...]] = {
    "WD1": (("event_size", "i4"), ("board_id", "i4"), ("pattern", "i4"), ("board_channel", "i4"),
            ("event_counter", "i4"), ("timestamp", "i4")),
    "WD2": (("event_counter", "u4"), ("timestamp", "u8"), ("samples", "u4"), ("sampling_period", "u8"),
            ("channels", "i4")),
}
SAMPLE_DTYPE: dict[str, np.dtype[Any]] = {"WD1": np.dtype(np.uint16), "WD2": np.dtype(np.float32)}
CHUNK_EVENTS = 4096  # events per chunk at most ...
CHUNK_BYTES = 4 << 20  # ... and about this many bytes of records
_get_data = itemgetter("data")
Arrays = dict[str, Any]


def _header_columns(chunk: list[Event], kind: str) -> dict[str, np.ndarray]:
    return {name: np.fromiter(map(itemgetter(name), chunk), dtype, len(chunk)) for name, dtype in COLUMNS[kind]}


def _sample_counts(cols: dict[str, np.ndarray], kind: str, channels: int) -> np.ndarray:
    """Samples of each event, from its header."""
    if kind == "WD1":
        return np.maximum(cols["event_size"].astype(np.int64) - WD1_HEADER, 0) // 2
    return cols["samples"].astype(np.int64) * channels


def _shape(kind: str, channels: int, counts: np.ndarray, cols: dict[str, np.ndarray]) -> tuple[int, ...] | None:
    """The shape of one event's samples when every event has the same, else None."""
    if counts.size == 0:
        return (0,) if kind == "WD1" else (channels, 0)
    if kind == "WD1":
        return (int(counts[0]),) if counts.min() == counts.max() else None
    samples = cols["samples"]
    return (channels, int(samples[0])) if samples.min() == samples.max() else None


def _finish(out: Arrays, data: np.ndarray, counts: np.ndarray, shape: tuple[int, ...] | None,
            library: str, kind: str, channels: int) -> Any:
    n = counts.size
    if library == "ak":
        return _awkward(out, data, counts, kind, channels)
    if shape is not None:
        out["data"] = data.reshape((n, *shape))
    else:
        out["data"] = data
        offsets = np.zeros(n + 1, np.int64)
        np.cumsum(counts, out=offsets[1:])
        out["offsets"] = offsets
    return out


def _awkward(out: Arrays, data: np.ndarray, counts: np.ndarray, kind: str, channels: int) -> Any:
    try:
        import awkward as ak  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        raise ImportError('library="ak" needs awkward: pip install awkward (or vorn[kit])') from None
    if kind == "WD1":
        jagged = ak.unflatten(data, counts)
    else:  # events x channels x samples
        per_channel = np.repeat(counts // max(channels, 1), channels)
        jagged = ak.unflatten(ak.unflatten(data, per_channel), channels)
    return ak.zip({**out, "data": jagged}, depth_limit=1)


def _check_library(library: str) -> None:
    if library not in ("np", "ak"):
        raise ValueError(f'library must be "np" or "ak", not {library!r}')


class _Growing:
    """A 1-D array filled from the front; grows in place (realloc) when it must."""

    def __init__(self, dtype: DTypeLike, capacity: int) -> None:
        self.a = np.empty(max(capacity, 16), dtype)
        self.n = 0

    def slot(self, k: int) -> np.ndarray:
        if self.n + k > self.a.size:
            self.a.resize(max(self.n + k, self.a.size * 3 // 2), refcheck=False)
        view = self.a[self.n:self.n + k]
        self.n += k
        return view

    def take(self) -> np.ndarray:
        self.a.resize(self.n, refcheck=False)  # shrinking in place does not copy
        return self.a


def _estimate(src: Source, start: int, stop: int | None) -> tuple[int, int]:
    """Events and samples the result will likely hold, from the first record and the file size."""
    if not is_regular(src.path):
        return 1024, 1024
    with Head(src.path) as head:
        raw = head.read(0, max(src.header, WD1_HEADER))
        size = head.size
    if len(raw) < src.header:
        return 16, 16
    if src.kind == "WD1":
        record = wd1_record_bytes(int.from_bytes(raw[:4], "little", signed=True)) or WD1_HEADER
        samples = (record - WD1_HEADER) // 2
    else:
        channels = src.probe.channels if src.probe else 1
        samples = channels * int.from_bytes(raw[12:16], "little")
        record = src.header + 4 * samples
    events = -(-size // record)
    events = max(0, (events if stop is None else min(events, stop)) - start)
    return events, min(events * samples, size // src.item)


def arrays(path: PathLike, kind: str, *, start: int = 0, stop: int | None = None, on_corrupt: OnCorrupt = "raise",
           progress: bool = False, library: str = "np") -> Any:
    """Events [start, stop) of a WD1 or WD2 file as NumPy arrays.

    Returns a dict: one array per header field (WD1: int32 columns; WD2: event_counter and
    samples uint32, timestamp and sampling_period uint64, channels int32) and `data`:
    uint16 (WD1) or float32 (WD2) samples. When every event has the same shape, `data` is
    events x samples (WD1) or events x channels x samples (WD2); otherwise `data` is all
    samples end to end and `offsets` (int64, events + 1) says where each event's begin, the
    layout awkward-array takes. library="ak" returns an awkward Array instead.

    Memory: the result plus one chunk of events (about 4 MB of records); the samples are
    copied once. Errors, on_corrupt and the checks are those of `events`; progress shows a
    tqdm bar over the file's bytes.
    """
    _check_library(library)
    if start < 0 or (stop is not None and stop < start):
        raise ValueError("start and stop must satisfy 0 <= start <= stop")
    src = Source(path, kind, on_corrupt)
    channels = src.probe.channels if src.probe else 1
    est_events, est_samples = _estimate(src, start, stop)
    cols = {name: _Growing(dtype, est_events) for name, dtype in COLUMNS[kind]}
    data = _Growing(SAMPLE_DTYPE[kind], est_samples)
    counts = _Growing(np.int64, est_events)
    bar = _progress(progress, os.path.getsize(src.path) if is_regular(src.path) else None,
                    os.path.basename(src.path))
    try:
        done = 0
        for chunk in src.chunks(CHUNK_EVENTS, CHUNK_BYTES, stop):
            first = src.event - len(chunk)
            if first < start:
                chunk = chunk[start - first:]
            if bar is not None:
                bar.update(src.offset - done)
                done = src.offset
            if not chunk:
                continue
            head = _header_columns(chunk, kind)
            for name, column in head.items():
                cols[name].slot(len(chunk))[:] = column
            n = _sample_counts(head, kind, channels)
            counts.slot(len(chunk))[:] = n
            total = int(n.sum())
            if total:
                np.concatenate(list(map(_get_data, chunk)), out=data.slot(total))
            del chunk
        if stop is None:
            src.warn_trailing()
    finally:
        if bar is not None:
            bar.close()
    out: Arrays = {name: g.take() for name, g in cols.items()}
    n_all = counts.take()
    return _finish(out, data.take(), n_all, _shape(kind, channels, n_all, out), library, kind, channels)


def _parse_step(step: int | str) -> tuple[int, int]:
    """(events, sample bytes) per chunk from a number of events or a size such as "100 MB"."""
    if isinstance(step, int):
        if step < 1:
            raise ValueError("step must be at least 1 event")
        return step, 1 << 62
    m = re.fullmatch(r"\s*(\d+(?:\.\d+)?)\s*([kMG]i?B|B)\s*", step)
    if not m:
        raise ValueError(f'step must be a number of events or a size such as "100 MB", not {step!r}')
    scale = {"B": 1, "kB": 10**3, "MB": 10**6, "GB": 10**9, "kiB": 1 << 10, "MiB": 1 << 20, "GiB": 1 << 30}
    return 1 << 62, max(1, int(float(m[1]) * scale[m[2]]))


def iterate(paths: PathLike | Iterable[PathLike], kind: str, *, step: int | str = "100 MB",
            on_corrupt: OnCorrupt = "raise", progress: bool = False, library: str = "np",
            data: bool = True) -> Iterator[Any]:
    """Chunks of the events of one or many files as arrays, file after file.

    Each chunk is what `arrays` returns for a run of consecutive events of one file, plus
    `file` (the path, a str array) and `entry` (each event's index in its file, int64).
    step: events per chunk (an int) or sample bytes per chunk (a str such as "100 MB").
    A chunk's `data` is 2-D/3-D when its events share a shape, else flat with `offsets`.
    data=False leaves the samples out and gives `n_samples` (samples per event) instead. Errors,
    on_corrupt and the checks are those of
    `events`; progress shows a tqdm bar over all files' bytes.
    """
    _check_library(library)
    events_per, bytes_per = _parse_step(step)
    files = [os.fspath(paths)] if isinstance(paths, (str, os.PathLike)) else [os.fspath(p) for p in paths]
    total = sum(os.path.getsize(p) for p in files if is_regular(p))
    bar = _progress(progress, total or None, f"{len(files)} files")
    try:
        for path in files:
            src = Source(path, kind, on_corrupt)
            channels = src.probe.channels if src.probe else 1
            done = 0
            for chunk in src.chunks(min(events_per, 1 << 30), bytes_per):
                cols: Arrays = dict(_header_columns(chunk, kind))
                counts = _sample_counts(cols, kind, channels)
                n = len(chunk)
                cols["file"] = np.full(n, path)
                cols["entry"] = np.arange(src.event - n, src.event, dtype=np.int64)
                if bar is not None:
                    bar.update(src.offset - done)
                    done = src.offset
                if data:
                    flat = np.concatenate(list(map(_get_data, chunk)))
                    del chunk
                    yield _finish(cols, flat, counts, _shape(kind, channels, counts, cols), library, kind, channels)
                else:
                    del chunk
                    cols["n_samples"] = counts
                    yield cols
            src.warn_trailing()
    finally:
        if bar is not None:
            bar.close()


def to_dataframe(paths: PathLike | Iterable[PathLike], kind: str, *, on_corrupt: OnCorrupt = "raise",
                 progress: bool = False) -> Any:
    """The header fields of every event of one or many files as a pandas DataFrame.

    One row per event: the header columns with their NumPy dtypes, `n_samples` (samples of
    the event, all channels), and for several files `file` (categorical) and `entry` (index
    in its file). The samples are not read into memory.
    """
    try:
        import pandas as pd  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        raise ImportError("to_dataframe needs pandas: pip install pandas (or vorn[kit])") from None
    many = not isinstance(paths, (str, os.PathLike))
    parts = list(iterate(paths, kind, step=1 << 16, on_corrupt=on_corrupt, progress=progress, data=False))
    names = [name for name, _ in COLUMNS[kind]] + ["n_samples"] + (["file", "entry"] if many else [])
    dtypes = dict(COLUMNS[kind], n_samples="i8", file="U1", entry="i8")
    frame = pd.DataFrame({k: np.concatenate([p[k] for p in parts]) if parts else np.empty(0, dtypes[k])
                          for k in names})
    if many:
        frame["file"] = frame["file"].astype("category")
    return frame
