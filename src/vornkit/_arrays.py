"""Events as NumPy arrays: the asked header columns and the samples in one block (`arrays`),
in chunks across many files (`iterate`), header columns as a DataFrame."""

from __future__ import annotations

import functools
import os
import re
from collections.abc import Iterable, Iterator, Sequence
from typing import TYPE_CHECKING, Any, Literal, overload

import numpy as np

from ._format import check_channels, check_kind_name, field_names, is_regular, open_core, option
from ._layouts import (
    SAMPLE_DTYPE,
    Kind,
    WD1Arrays,
    WD1Chunk,
    WD1ColumnChunk,
    WD1Columns,
    WD2Arrays,
    WD2Chunk,
    WD2ColumnChunk,
    WD2Columns,
    column_dtypes,
)
from ._read import (
    CHUNK_BYTES,
    CHUNK_EVENTS,
    Columns,
    OnCorrupt,
    PathLike,
    Source,
    _progress,
    check_on_corrupt,
    core_columns,
    expand_paths,
    one_file,
    warn_format,
)

if TYPE_CHECKING:
    import pandas as pd  # type: ignore[import-untyped, import-not-found, unused-ignore]

Arrays = dict[str, Any]


def _finish(
    cols: Columns,
    fields: Sequence[str],
    data: bool,
    kind: str,
    channels: int,
    library: str,
    extra: Arrays | None = None,
) -> Any:
    """The result of a read: the asked fields, `extra`, and the samples shaped (or `n_samples`)."""
    out: Arrays = {name: cols[name] for name in fields}
    out.update(extra or {})
    counts = cols["n_samples"]
    if not data:
        out["n_samples"] = counts
        return _awkward(out, None, counts, kind, channels) if library == "ak" else out
    flat = cols["data"]
    if library == "ak":
        return _awkward(out, flat, counts, kind, channels)
    n = counts.size
    # One shape for all (the core gives a same-size run's counts as one value repeated):
    # events x samples (x channels).
    if n == 0 or counts.strides == (0,) or counts.min() == counts.max():
        per = int(counts[0]) if n else 0
        out["data"] = flat.reshape((n, per) if kind == "WD1" else (n, channels, per // channels))
    else:
        offsets = np.zeros(n + 1, np.int64)
        np.cumsum(counts, out=offsets[1:])
        out["data"] = flat
        out["offsets"] = offsets
    return out


def _awkward(out: Arrays, data: np.ndarray | None, counts: np.ndarray, kind: str, channels: int) -> Any:
    try:
        import awkward as ak  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        raise ImportError('library="ak" needs awkward: pip install awkward (or vorn[kit])') from None
    if data is None:
        return ak.zip(out, depth_limit=1)
    if kind == "WD1":
        jagged = ak.unflatten(data, counts)
    else:  # events x channels x samples
        per_channel = np.repeat(counts // channels, channels)
        jagged = ak.unflatten(ak.unflatten(data, per_channel), channels)
    return ak.zip({**out, "data": jagged}, depth_limit=1)


def _check_library(library: str) -> None:
    if library not in ("np", "ak"):
        raise ValueError(f'library must be "np" or "ak", not {library!r}')


def _empty(kind: str, fields: Sequence[str], data: bool) -> Columns:
    dtypes = column_dtypes(kind)
    cols = {name: np.empty(0, dtypes[name]) for name in fields}
    cols["n_samples"] = np.empty(0, np.int64)
    if data:
        cols["data"] = np.empty(0, SAMPLE_DTYPE[kind])
    return cols


def _counter_after(kind: str, first: int, k: int) -> int:
    """The event counter k records after `first`: uint32 (WD2) or int32 (WD1), wrapping."""
    if kind == "WD2":
        return (first + k) & 0xFFFFFFFF
    return (first + k + (1 << 31)) % (1 << 32) - (1 << 31)


def _seek(path: str, kind: Kind, channels: int | None, start: int, recover: bool) -> tuple[int, int, int | None]:
    """Byte offset and index of a record at or just before event `start` of a regular file, and
    the offset of the record before it (the run's context for the core's checks; None: none).

    A run of same-size records is checked at the predicted place (the record there has the
    first record's size and the counter `start` later), reading two headers; otherwise, and
    always when damage is skipped (indices then count the good records), the record offsets
    come from a header-only walk of the file, kept for the next seek."""
    with open_core(path, kind, channels=channels, columns=["event_counter"]) as r:
        first = r.read(1)
        channels = r.channels if kind == "WD2" else None
        header = r.header_bytes
    if len(first["n_samples"]) and not recover:  # after skipped damage, indices count good records: the index
        record = header + int(first["n_samples"][0]) * SAMPLE_DTYPE[kind].itemsize
        k = min(start, os.path.getsize(path) // record - 1)  # past the end: the last whole record
        if k < 1:
            return 0, 0, None
        with open_core(
            path, kind, channels=channels, offset=k * record, event=k, after=(k - 1) * record, columns=["event_counter"]
        ) as r:
            there = r.read(1)
        if (
            len(there["n_samples"]) == 1
            and header + int(there["n_samples"][0]) * SAMPLE_DTYPE[kind].itemsize == record
            and int(there["event_counter"][0]) == _counter_after(kind, int(first["event_counter"][0]), k)
        ):
            return k * record, k, (k - 1) * record
    st = os.stat(path)
    offsets, end, count = _index(path, kind, channels, recover, (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns))
    k = min(start, count)
    return (int(offsets[k]) if k < count else end), k, (int(offsets[k - 1]) if k else None)


@functools.lru_cache(maxsize=8)
def _index(
    path: str, kind: Kind, channels: int | None, recover: bool, identity: tuple[int, int, int, int]
) -> tuple[np.ndarray, int, int]:
    """Every record's byte offset (a header-only walk), the offset after the last and the count.

    Cached per file version (`identity`: device, inode, size, modification time)."""
    src = Source(
        path,
        kind,
        fields=["offset"],
        data=False,
        channels=channels,
        on_corrupt="skip" if recover else "raise",
        check=False,
    )
    with src.reader:
        cols = src.read()
        if src.reader.status == "error":
            src.read()  # raises the read error, located
        return cols["offset"], src.reader.offset, src.reader.event


def _slice_bytes(src: Source, path: str, events: int | None) -> int | None:
    """The bytes of `events` records on from where `src` is (None: to the end of the file), for
    a progress bar: estimated from the record there when they may differ in size; None for a pipe."""
    if not is_regular(path):
        return None
    left = max(0, os.path.getsize(path) - src.reader.offset)
    if events is None or not left:
        return left
    with open_core(path, src.kind, channels=src.channels, offset=src.reader.offset, columns=[]) as r:
        first = r.read(1)["n_samples"]
    if not len(first):
        return left
    record = src.header_bytes + int(first[0]) * SAMPLE_DTYPE[src.kind].itemsize
    return min(left, events * record)


@overload
def arrays(
    path: PathLike,
    kind: Literal["WD1"],
    *,
    start: int = 0,
    stop: int | None = None,
    columns: None = None,
    channels: int | None = None,
    on_corrupt: OnCorrupt = "raise",
    progress: bool = False,
    library: Literal["np"] = "np",
) -> WD1Arrays: ...
@overload
def arrays(
    path: PathLike,
    kind: Literal["WD2"],
    *,
    start: int = 0,
    stop: int | None = None,
    columns: None = None,
    channels: int | None = None,
    on_corrupt: OnCorrupt = "raise",
    progress: bool = False,
    library: Literal["np"] = "np",
) -> WD2Arrays: ...
@overload
def arrays(
    path: PathLike,
    kind: Kind,
    *,
    start: int = 0,
    stop: int | None = None,
    columns: None = None,
    channels: int | None = None,
    on_corrupt: OnCorrupt = "raise",
    progress: bool = False,
    library: Literal["np"] = "np",
) -> WD1Arrays | WD2Arrays: ...
@overload
def arrays(  # the columns asked for: any of the header fields, data or n_samples
    path: PathLike,
    kind: Literal["WD1"],
    *,
    start: int = 0,
    stop: int | None = None,
    columns: Sequence[str],
    channels: int | None = None,
    on_corrupt: OnCorrupt = "raise",
    progress: bool = False,
    library: Literal["np"] = "np",
) -> WD1Columns: ...
@overload
def arrays(  # the columns asked for: any of the header fields, data or n_samples
    path: PathLike,
    kind: Literal["WD2"],
    *,
    start: int = 0,
    stop: int | None = None,
    columns: Sequence[str],
    channels: int | None = None,
    on_corrupt: OnCorrupt = "raise",
    progress: bool = False,
    library: Literal["np"] = "np",
) -> WD2Columns: ...
@overload
def arrays(  # the columns asked for: any of the header fields, data or n_samples
    path: PathLike,
    kind: Kind,
    *,
    start: int = 0,
    stop: int | None = None,
    columns: Sequence[str],
    channels: int | None = None,
    on_corrupt: OnCorrupt = "raise",
    progress: bool = False,
    library: Literal["np"] = "np",
) -> WD1Columns | WD2Columns: ...
@overload
def arrays(  # an awkward Array
    path: PathLike,
    kind: Kind,
    *,
    start: int = 0,
    stop: int | None = None,
    columns: Sequence[str] | None = None,
    channels: int | None = None,
    on_corrupt: OnCorrupt = "raise",
    progress: bool = False,
    library: str,
) -> Any: ...
def arrays(
    path: PathLike,
    kind: Kind,
    *,
    start: int = 0,
    stop: int | None = None,
    columns: Sequence[str] | None = None,
    channels: int | None = None,
    on_corrupt: OnCorrupt = "raise",
    progress: bool = False,
    library: str = "np",
) -> Any:
    """Events [start, stop) of a WD1 or WD2 file as NumPy arrays.

    Returns a dict: one array per header field (WD1: int32 columns; WD2: event_counter and
    samples uint32, timestamp and sampling_period uint64, channels int32) and `data`:
    uint16 (WD1) or float32 (WD2) samples. When every event has the same shape, `data` is
    events x samples (WD1) or events x channels x samples (WD2); otherwise `data` is all
    samples end to end and `offsets` (int64, events + 1) says where each event's begin, the
    layout awkward-array takes. library="ak" returns an awkward Array instead. Type checkers
    see a WD1Arrays or WD2Arrays for the kind given (with `columns`: WD1Columns or WD2Columns,
    every key optional).

    columns: the header fields and "data" to read (None: all), e.g. ["event_counter",
    "timestamp"]; without "data" no samples are read and `n_samples` (samples of each event,
    all channels, int64) comes instead. channels: the WD2 channel count (None: found from
    the first two headers); for WD1 None or 1.

    start: the records before it are not read. In a run of same-size records the place of
    event `start` is computed and checked (its size, and its counter `start` on from the
    first); otherwise one header-only pass over the file finds it (kept for later calls on
    the same, unchanged file). With on_corrupt="skip"/"warn" indices count the good records,
    as in a whole read, so the place always comes from that pass.

    The whole slice is read in one call with the interpreter lock released; memory: the
    result, with or without progress: a tqdm bar over the slice's bytes, updated from the
    core as it reads. on_corrupt, the errors and the checks are those of `events`.
    """
    _check_library(library)
    check_kind_name(kind)
    check_on_corrupt(on_corrupt)
    channels = check_channels(kind, channels)
    if start < 0 or (stop is not None and stop < start):
        raise ValueError("start and stop must satisfy 0 <= start <= stop")
    fields, data = core_columns(kind, columns)
    p = os.fspath(path)
    warn_format(p, kind, channels, on_corrupt)
    offset = event = 0
    after = None
    if start and is_regular(p) and os.path.getsize(p):
        offset, event, after = _seek(p, kind, channels, start, on_corrupt != "raise")
    src = Source(
        p,
        kind,
        fields=fields,
        data=data,
        channels=channels,
        on_corrupt=on_corrupt,
        check=False,
        offset=offset,
        event=event,
        after=after,
        empty_run=True,
    )
    bar = None
    parts: list[Columns] = []
    try:
        if src.reader.event < start:  # a pipe, or the few records after a predicted place
            for _ in src.chunks(CHUNK_EVENTS, CHUNK_BYTES, limit=start - src.reader.event):
                pass
            if src.reader.event < start and stop is None:
                src.warn_trailing()
        want = None if stop is None else stop - start
        if src.reader.event == start and want != 0:
            report = None
            if progress:
                base = src.reader.offset
                bar = _progress(True, _slice_bytes(src, p, want), os.path.basename(p))

                def report(offset: int) -> None:
                    bar.update(offset - base - bar.n)

            # One read into one block, however long: the bar follows it from the core.
            parts.extend(src.chunks(limit=want, progress=report))
            if bar is not None:
                bar.update(src.reader.offset - base - bar.n)
                bar.total = bar.n  # the slice read, whatever the estimate was
    finally:
        src.close()
        if bar is not None:
            bar.close()
    if not parts:
        cols = _empty(kind, fields, data)
    elif len(parts) == 1:
        cols = parts[0]
    else:  # reads cut by an interrupt whose handler did not raise
        cols = {k: np.concatenate([c[k] for c in parts]) for k in parts[0]}
    del parts
    return _finish(cols, fields, data, kind, src.channels, library)


def _parse_step(step: int | str) -> tuple[int, int]:
    """(events, record bytes) per chunk, -1 for no limit, from a number of events or a size such as "100 MB"."""
    if isinstance(step, int):
        if step < 1:
            raise ValueError(f"{option('step', '--step')} must be at least 1 event")
        return step, -1
    if step.strip().isdigit():
        return _parse_step(int(step))
    m = re.fullmatch(r"\s*(\d+(?:\.\d+)?)\s*([kmg]i?b|b)\s*", step.lower())
    if not m:
        raise ValueError(
            f'{option("step", "--step")} must be a number of events or a size such as "100 MB" (units B, kB, MB, '
            f"GB, KiB, MiB, GiB), not {step!r}"
        )
    scale = {"b": 1, "kb": 10**3, "mb": 10**6, "gb": 10**9, "kib": 1 << 10, "mib": 1 << 20, "gib": 1 << 30}
    return -1, max(1, int(float(m[1]) * scale[m[2]]))


@overload
def iterate(
    paths: PathLike | Iterable[PathLike],
    kind: Literal["WD1"],
    *,
    step: int | str = "100 MB",
    columns: None = None,
    channels: int | None = None,
    on_corrupt: OnCorrupt = "raise",
    progress: bool = False,
    library: Literal["np"] = "np",
) -> Iterator[WD1Chunk]: ...
@overload
def iterate(
    paths: PathLike | Iterable[PathLike],
    kind: Literal["WD2"],
    *,
    step: int | str = "100 MB",
    columns: None = None,
    channels: int | None = None,
    on_corrupt: OnCorrupt = "raise",
    progress: bool = False,
    library: Literal["np"] = "np",
) -> Iterator[WD2Chunk]: ...
@overload
def iterate(
    paths: PathLike | Iterable[PathLike],
    kind: Kind,
    *,
    step: int | str = "100 MB",
    columns: None = None,
    channels: int | None = None,
    on_corrupt: OnCorrupt = "raise",
    progress: bool = False,
    library: Literal["np"] = "np",
) -> Iterator[WD1Chunk | WD2Chunk]: ...
@overload
def iterate(  # the columns asked for, file and entry
    paths: PathLike | Iterable[PathLike],
    kind: Literal["WD1"],
    *,
    step: int | str = "100 MB",
    columns: Sequence[str],
    channels: int | None = None,
    on_corrupt: OnCorrupt = "raise",
    progress: bool = False,
    library: Literal["np"] = "np",
) -> Iterator[WD1ColumnChunk]: ...
@overload
def iterate(  # the columns asked for, file and entry
    paths: PathLike | Iterable[PathLike],
    kind: Literal["WD2"],
    *,
    step: int | str = "100 MB",
    columns: Sequence[str],
    channels: int | None = None,
    on_corrupt: OnCorrupt = "raise",
    progress: bool = False,
    library: Literal["np"] = "np",
) -> Iterator[WD2ColumnChunk]: ...
@overload
def iterate(  # the columns asked for, file and entry
    paths: PathLike | Iterable[PathLike],
    kind: Kind,
    *,
    step: int | str = "100 MB",
    columns: Sequence[str],
    channels: int | None = None,
    on_corrupt: OnCorrupt = "raise",
    progress: bool = False,
    library: Literal["np"] = "np",
) -> Iterator[WD1ColumnChunk | WD2ColumnChunk]: ...
@overload
def iterate(  # awkward Arrays
    paths: PathLike | Iterable[PathLike],
    kind: Kind,
    *,
    step: int | str = "100 MB",
    columns: Sequence[str] | None = None,
    channels: int | None = None,
    on_corrupt: OnCorrupt = "raise",
    progress: bool = False,
    library: str,
) -> Iterator[Any]: ...
def iterate(
    paths: PathLike | Iterable[PathLike],
    kind: Kind,
    *,
    step: int | str = "100 MB",
    columns: Sequence[str] | None = None,
    channels: int | None = None,
    on_corrupt: OnCorrupt = "raise",
    progress: bool = False,
    library: str = "np",
) -> Iterator[Any]:
    """Chunks of the events of one or many files as arrays, file after file.

    paths: a file, a directory (its files by name, hidden ones and those named as the other
    layout's runs left out), a glob pattern such as "runs/*.wd1", or a list of these.
    Each chunk is what `arrays` returns for a run of consecutive events of one file, plus
    `file` (the path, a str array) and `entry` (each event's index in its file, int64).
    step: events per chunk (an int) or record bytes per chunk (a str such as "100 MB").
    A chunk's `data` is 2-D/3-D when its events share a shape, else flat with `offsets`;
    type checkers see a WD1Chunk or WD2Chunk for the kind given (with `columns`:
    WD1ColumnChunk or WD2ColumnChunk).
    columns and channels as in `arrays` (without "data": `n_samples` instead of samples).
    Damage that stops a file (on_corrupt="raise") raises after the chunk before it.
    Errors, on_corrupt and the checks are those of `events`; progress shows a tqdm bar over
    all files' bytes.
    """
    _check_library(library)
    fields, data = core_columns(kind, columns)
    events_per, bytes_per = _parse_step(step)
    files = expand_paths(paths, kind)
    total = sum(os.path.getsize(p) for p in files if is_regular(p))
    bar = _progress(progress, total or None, f"{len(files)} file" + ("" if len(files) == 1 else "s"))
    try:
        for path in files:
            src = Source(path, kind, fields=fields, data=data, channels=channels, on_corrupt=on_corrupt, empty_run=True)
            try:
                done = 0
                for cols in src.chunks(events_per, bytes_per):
                    n = len(cols["n_samples"])
                    first = src.reader.event - n
                    extra = {"file": np.full(n, path), "entry": np.arange(first, first + n, dtype=np.int64)}
                    if bar is not None:
                        bar.update(src.reader.offset - done)
                        done = src.reader.offset
                    yield _finish(cols, fields, data, kind, src.channels, library, extra)
                    del cols
            finally:
                src.close()
    finally:
        if bar is not None:
            bar.close()


def to_dataframe(
    paths: PathLike | Iterable[PathLike],
    kind: Kind,
    *,
    channels: int | None = None,
    on_corrupt: OnCorrupt = "raise",
    progress: bool = False,
) -> pd.DataFrame:
    """The header fields of every event of one or many files as a pandas DataFrame.

    One row per event: the header columns with their NumPy dtypes, `n_samples` (samples of
    the event, all channels), and for several files `file` (categorical) and `entry` (index
    in its file). Only the headers are read; the samples are skipped. paths as in `iterate`.
    """
    try:
        import pandas as pd  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        raise ImportError("to_dataframe needs pandas: pip install pandas (or vorn[kit])") from None
    check_kind_name(kind)
    many = not one_file(paths)
    fields = field_names(kind)
    files = expand_paths(paths, kind)
    names = list(dict.fromkeys(files))  # the categories: a file given twice is one
    code = {p: i for i, p in enumerate(names)}
    code_type = np.int8 if len(names) < 1 << 7 else np.int16 if len(names) < 1 << 15 else np.int32
    total = sum(os.path.getsize(p) for p in files if is_regular(p))
    bar = _progress(progress, total or None, f"{len(files)} file" + ("" if len(files) == 1 else "s"))
    parts: list[Columns] = []
    try:
        for path in files:
            src = Source(
                path, kind, fields=fields, data=False, channels=channels, on_corrupt=on_corrupt, empty_run=True
            )
            try:
                done = 0
                for cols in src.chunks(1 << 16):
                    n = len(cols["n_samples"])
                    if many:  # the file as its category's code, the event's index in it
                        cols["file"] = np.full(n, code[path], code_type)
                        cols["entry"] = np.arange(src.reader.event - n, src.reader.event, dtype=np.int64)
                    parts.append(cols)
                    if bar is not None:
                        bar.update(src.reader.offset - done)
                        done = src.reader.offset
            finally:
                src.close()
    finally:
        if bar is not None:
            bar.close()
    dtypes = {
        **column_dtypes(kind),
        "n_samples": np.dtype(np.int64),
        "file": np.dtype(code_type),
        "entry": np.dtype(np.int64),
    }
    columns: dict[str, Any] = {}
    for name in [*fields, "n_samples", *(["file", "entry"] if many else [])]:
        # Column by column, each chunk's array let go once joined: memory stays near the frame's.
        pieces = [c.pop(name) for c in parts]
        columns[name] = np.concatenate(pieces) if pieces else np.empty(0, dtypes[name])
        del pieces
    del parts
    if many:
        columns["file"] = pd.Categorical.from_codes(columns["file"], categories=pd.Index(names))
    return pd.DataFrame(columns, copy=False)
