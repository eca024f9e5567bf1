"""A campaign of many files as lazy Dask collections: `dask` (arrays) and `dask_dataframe`.

The files' headers are surveyed when the collection is made, so that every partition (a
range of events of one file) has a known length; each partition is read later, in the
worker, by `arrays(path, kind, start=, stop=)`. The graphs hold only paths and numbers: they
pickle, and each task opens its file itself."""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any, Literal, NotRequired, Required, TypedDict, overload

import numpy as np

from ._arrays import Arrays, _parse_step, arrays
from ._format import check_channels, check_kind_name, field_names, is_regular, open_core
from ._layouts import SAMPLE_DTYPE, Kind, column_dtypes
from ._read import (
    FileChangedError,
    FormatWarning,
    OnCorrupt,
    PathLike,
    Source,
    check_on_corrupt,
    core_columns,
    expand_paths,
    warn,
    warn_format,
)

_MISSING = "{} needs dask: pip install vorn[dask] (dask[array,dataframe], and distributed for clusters)"


if TYPE_CHECKING:
    import dask.array as da  # type: ignore[import-untyped, import-not-found, unused-ignore]


class WD1DaskArrays(TypedDict):
    """What `dask(paths, "WD1")` returns: lazy dask arrays of the dtypes `arrays()` gives, each
    header column, `file`, `entry` and `data` (with `offsets` when the events' shapes differ)."""

    event_size: da.Array
    board_id: da.Array
    pattern: da.Array
    board_channel: da.Array
    event_counter: da.Array
    timestamp: da.Array
    file: da.Array
    entry: da.Array
    data: da.Array
    offsets: NotRequired[da.Array]


class WD2DaskArrays(TypedDict):
    """What `dask(paths, "WD2")` returns: as WD1DaskArrays, with the WD2 header columns."""

    event_counter: da.Array
    timestamp: da.Array
    samples: da.Array
    sampling_period: da.Array
    channels: da.Array
    file: da.Array
    entry: da.Array
    data: da.Array
    offsets: NotRequired[da.Array]


class WD1DaskColumns(TypedDict, total=False):
    """What `dask(paths, "WD1", columns=[...])` returns: the columns asked, `file`, `entry`, and
    `n_samples` when "data" is not asked."""

    event_size: da.Array
    board_id: da.Array
    pattern: da.Array
    board_channel: da.Array
    event_counter: da.Array
    timestamp: da.Array
    file: Required[da.Array]
    entry: Required[da.Array]
    data: da.Array
    offsets: da.Array
    n_samples: da.Array


class WD2DaskColumns(TypedDict, total=False):
    """What `dask(paths, "WD2", columns=[...])` returns: as WD1DaskColumns, with the WD2 header columns."""

    event_counter: da.Array
    timestamp: da.Array
    samples: da.Array
    sampling_period: da.Array
    channels: da.Array
    file: Required[da.Array]
    entry: Required[da.Array]
    data: da.Array
    offsets: da.Array
    n_samples: da.Array


def _import(module: str, call: str) -> Any:
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError:
        raise ImportError(_MISSING.format(call)) from None


@dataclasses.dataclass(frozen=True)
class _Survey:
    """What the headers of one file say: its events and how big they are."""

    path: str
    count: int
    channels: int  # the WD2 channel count in use (1 for WD1)
    per: int | None  # samples of every event (all channels) when they are all the same
    samples: np.ndarray | None  # samples of each event when they differ
    offsets: np.ndarray | None  # each record's byte offset, when the file was walked
    record: int  # bytes of a record, when they are all the same

    def shape(self, kind: str) -> tuple[int, ...] | None:
        """An event's `data` shape when every event has the same, else None."""
        if self.per is None:
            return None
        return (self.per,) if kind == "WD1" else (self.channels, self.per // self.channels)

    def samples_in(self, start: int, stop: int) -> int:
        return (stop - start) * self.per if self.per is not None else int(self.samples[start:stop].sum())  # type: ignore[index]

    def ranges(self, events: int, nbytes: int) -> list[tuple[int, int]]:
        """[start, stop) of each partition: `events` events, or records of about `nbytes` bytes."""
        if self.count == 0:
            return []
        if events < 0:
            if self.offsets is None:
                events = max(1, nbytes // max(1, self.record))
            else:
                starts, cur = [0], 0
                while True:
                    cur = max(cur + 1, int(np.searchsorted(self.offsets, self.offsets[cur] + nbytes)))
                    if cur >= self.count:
                        break
                    starts.append(cur)
                return list(zip(starts, [*starts[1:], self.count], strict=True))
        return [(a, min(a + events, self.count)) for a in range(0, self.count, events)]


def _survey(path: str, kind: Kind, channels: int | None, on_corrupt: OnCorrupt) -> _Survey:
    """The events of `path` from its headers only.

    A run of same-size records is counted from the file's size and checked at its last
    record (its size, its counter on from the first, and no record after it), as
    `arrays(start=)` seeks;
    otherwise, and whenever damage is skipped, a header-only walk of the file counts them.
    Damage stops the survey as it would stop `arrays` (on_corrupt="raise"), or is warned
    of here (on_corrupt="warn"), once."""
    if not is_regular(path):
        raise ValueError(f"{path}: a Dask collection needs regular files (not a pipe or a device)")
    warn_format(path, kind, channels)  # a foreign or compressed file raises FormatError here
    size = os.path.getsize(path)
    itemsize = SAMPLE_DTYPE[kind].itemsize
    if on_corrupt == "raise" and size:
        with open_core(path, kind, channels=channels, columns=["event_counter"]) as r:
            first = r.read(1)
            ch, header = r.channels, r.header_bytes
        if len(first["n_samples"]):
            per = int(first["n_samples"][0])
            record = header + per * itemsize
            n = size // record
            if n >= 2:
                with open_core(
                    path, kind, channels=ch, offset=(n - 1) * record, event=n - 1, columns=["event_counter"]
                ) as r:
                    last = r.read(2)  # a second record after it: the records are not all the same size
                counter = int(first["event_counter"][0]) + n - 1
                counter = counter & 0xFFFFFFFF if kind == "WD2" else (counter + (1 << 31)) % (1 << 32) - (1 << 31)
                if (
                    len(last["n_samples"]) == 1
                    and int(last["n_samples"][0]) == per
                    and int(last["event_counter"][0]) == counter
                ):
                    if size > n * record:
                        warn(
                            f"{path}: {size - n * record} bytes after the last whole record at byte offset "
                            f"{n * record} (a partial record, or a file still being written)",
                            FormatWarning,
                        )
                    return _Survey(path, n, ch, per, None, None, record)
    src = Source(
        path, kind, fields=["offset"], data=False, channels=channels, on_corrupt=on_corrupt, check=False, empty_run=True
    )
    try:
        parts = list(src.chunks())  # raises at damage it stops at, after the records before it
        end = src.reader.offset
    finally:
        src.close()
    offsets = np.concatenate([p["offset"] for p in parts]) if parts else np.empty(0, np.int64)
    counts = np.concatenate([p["n_samples"] for p in parts]) if parts else np.empty(0, np.int64)
    same = counts.size == 0 or counts.min() == counts.max()
    per = int(counts[0]) if counts.size else 0
    record = (end - int(offsets[0])) // counts.size if counts.size else 0
    return _Survey(path, counts.size, src.channels, per if same else None, None if same else counts, offsets, record)


# The tasks: module-level functions of plain arguments, so that graphs pickle.


def _read(
    path: str,
    kind: Kind,
    start: int,
    stop: int,
    columns: list[str],
    channels: int | None,
    on_corrupt: OnCorrupt,
    shape: tuple[int, ...] | None = None,
    samples: int | None = None,
) -> Arrays:
    """Events [start, stop) of one file as `arrays` gives them, checked against the survey:
    their number, and for samples, their total and the events' shape (None: shapes differ)."""
    out: Arrays = dict(
        arrays(path, kind, start=start, stop=stop, columns=columns, channels=channels, on_corrupt=on_corrupt)
    )
    data = out.get("data")
    n = len(out["offsets"]) - 1 if "offsets" in out else len(data) if data is not None else len(out["n_samples"])
    if n != stop - start:
        problem = f"{n} events where {stop - start} were surveyed"
    elif data is not None and samples is not None and data.size != samples:
        problem = f"{data.size} samples where {samples} were surveyed"
    elif data is not None and shape is not None and n and data.shape[1:] != shape:
        problem = f"events of shape {data.shape[1:]} where {shape} was surveyed"
    else:
        return out
    err = FileChangedError(
        f"{path}: events {start} to {stop}: {problem}; the file changed after the collection was made"
    )
    err.path, err.event, err.offset = path, start, -1  # the byte offset is not known here
    raise err


def _pick(part: Arrays, key: str) -> np.ndarray:
    return part[key]  # type: ignore[no-any-return]


def _flat(part: Arrays) -> np.ndarray:
    return part["data"].reshape(-1)  # type: ignore[no-any-return]


def _ends(part: Arrays, base: int) -> np.ndarray:
    """Where each event's samples end in the whole campaign's flat `data`."""
    if "offsets" in part:
        return part["offsets"][1:] + base  # type: ignore[no-any-return]
    data = part["data"]
    per = data[0].size if len(data) else 0
    return base + per * np.arange(1, len(data) + 1, dtype=np.int64)


def _file(path: str, n: int, dtype: str) -> np.ndarray:
    return np.full(n, path, dtype)


def _entry(start: int, stop: int) -> np.ndarray:
    return np.arange(start, stop, dtype=np.int64)


def _zero() -> np.ndarray:
    return np.zeros(1, np.int64)


@dataclasses.dataclass(frozen=True)
class _Plan:
    kind: Kind
    channels: int | None
    on_corrupt: OnCorrupt  # what the tasks do: "warn" was done by the survey
    files: list[_Survey]
    parts: list[tuple[int, int, int]]  # (file index, start, stop)
    token: str


def _plan(
    paths: PathLike | Iterable[PathLike],
    kind: Kind,
    step: int | str,
    channels: int | None,
    on_corrupt: OnCorrupt,
    extra: Sequence[Any],
) -> _Plan:
    from dask.base import tokenize

    check_kind_name(kind)
    check_on_corrupt(on_corrupt)
    channels = check_channels(kind, channels)
    events, nbytes = _parse_step(step)
    files = [_survey(p, kind, channels, on_corrupt) for p in expand_paths(paths, kind)]
    parts = [(i, a, b) for i, f in enumerate(files) for a, b in f.ranges(events, nbytes)]
    identity = [(f.path, os.stat(f.path).st_mtime_ns, os.path.getsize(f.path)) for f in files]
    token = tokenize(identity, kind, step, channels, on_corrupt, *extra)
    return _Plan(kind, channels, "skip" if on_corrupt == "warn" else on_corrupt, files, parts, token)


@overload
def dask(
    paths: PathLike | Iterable[PathLike],
    kind: Literal["WD1"],
    *,
    step: int | str = "100 MB",
    columns: None = None,
    channels: int | None = None,
    on_corrupt: OnCorrupt = "raise",
) -> WD1DaskArrays: ...
@overload
def dask(
    paths: PathLike | Iterable[PathLike],
    kind: Literal["WD2"],
    *,
    step: int | str = "100 MB",
    columns: None = None,
    channels: int | None = None,
    on_corrupt: OnCorrupt = "raise",
) -> WD2DaskArrays: ...
@overload
def dask(
    paths: PathLike | Iterable[PathLike],
    kind: Kind,
    *,
    step: int | str = "100 MB",
    columns: None = None,
    channels: int | None = None,
    on_corrupt: OnCorrupt = "raise",
) -> WD1DaskArrays | WD2DaskArrays: ...
@overload
def dask(
    paths: PathLike | Iterable[PathLike],
    kind: Literal["WD1"],
    *,
    step: int | str = "100 MB",
    columns: Sequence[str],
    channels: int | None = None,
    on_corrupt: OnCorrupt = "raise",
) -> WD1DaskColumns: ...
@overload
def dask(
    paths: PathLike | Iterable[PathLike],
    kind: Literal["WD2"],
    *,
    step: int | str = "100 MB",
    columns: Sequence[str],
    channels: int | None = None,
    on_corrupt: OnCorrupt = "raise",
) -> WD2DaskColumns: ...
@overload
def dask(
    paths: PathLike | Iterable[PathLike],
    kind: Kind,
    *,
    step: int | str = "100 MB",
    columns: Sequence[str],
    channels: int | None = None,
    on_corrupt: OnCorrupt = "raise",
) -> WD1DaskColumns | WD2DaskColumns: ...
def dask(
    paths: PathLike | Iterable[PathLike],
    kind: Kind,
    *,
    step: int | str = "100 MB",
    columns: Sequence[str] | None = None,
    channels: int | None = None,
    on_corrupt: OnCorrupt = "raise",
) -> Any:
    """The events of a campaign of WD1 or WD2 files as a dict of lazy dask arrays.

    paths: a file, a directory (its files by name, but for hidden ones and those named as the
    other layout's runs), a glob pattern such
    as "runs/*.wd1", or a list of these; files are taken in that order (sorted within a
    directory or a pattern). The arrays are those `arrays()` returns for all files end to
    end: each header column asked, `file` (the path, str) and `entry` (the event's index in
    its file, int64), and `data`, or `n_samples` when columns leaves "data" out.

    When every event of the campaign has the same shape, `data` is events x samples (WD1) or
    events x channels x samples (WD2). When the shape differs between events or files,
    `data` is every sample end to end (1-D) and `offsets` (int64, events + 1) says where each
    event's begin, as `arrays()` gives a run of mixed records: event i is
    data[offsets[i]:offsets[i + 1]] (and awkward's ak.unflatten(data, np.diff(offsets))
    rebuilds the events). Type checkers see a WD1DaskArrays or WD2DaskArrays for the kind given (with
    `columns`: WD1DaskColumns or WD2DaskColumns, every key but file and entry optional).

    Partitions are ranges of events of one file: `step` events (an int) or records of about
    `step` bytes (a str such as "64 MB"). The headers are surveyed now, so every chunk's size
    is known: `.shape`, `.chunks` and slicing need no read of samples. A run of same-size
    records is counted from its size (a few headers read); other files, and any file when
    damage is skipped, are walked header by header (the samples are skipped).

    Each partition is read, when computed, by `arrays(path, kind, start=, stop=)` with the
    interpreter lock released, so the threaded scheduler reads partitions in parallel; the
    header columns and the samples are separate tasks, so computing header columns reads no
    samples. The graph holds paths and numbers only (it pickles; each task opens its file),
    so it runs on dask.distributed when the workers see the same files. A file that changed
    after the survey raises FileChangedError when its partitions are read.

    columns, channels: as in `arrays`. on_corrupt: "raise" raises CorruptRecordError here, at
    the survey, for damage `arrays` would stop at; "skip" and "warn" read past it, indices
    counting the good records ("warn" warns here, once). Needs dask: pip install vorn[dask].
    """
    da = _import("dask.array", "vornkit.dask")
    from dask.highlevelgraph import HighLevelGraph

    fields, data = core_columns(kind, columns)
    plan = _plan(paths, kind, step, channels, on_corrupt, [fields, data])
    token, files, parts = plan.token, plan.files, plan.parts
    shapes = {f.shape(kind) for f in files if f.count}
    shape = shapes.pop() if len(shapes) == 1 else None
    counts = tuple(b - a for _, a, b in parts)
    dtypes = column_dtypes(kind)
    out: dict[str, Any] = {}

    def reader(name: str, cols: list[str], shaped: tuple[int, ...] | None, samples: bool) -> str:
        layer = f"vornkit-{name}-{token}"
        tasks[layer] = {
            (layer, j): (
                _read,
                *(files[i].path, kind, a, b, cols, plan.channels, plan.on_corrupt),
                *(shaped, files[i].samples_in(a, b) if samples else None),
            )
            for j, (i, a, b) in enumerate(parts)
        }
        return layer

    def column(key: str, dtype: Any, chunks: tuple[tuple[int, ...], ...], make: Any, source: str | None) -> None:
        name = f"{key}-{token}"
        layer = {(name, j) + (0,) * (len(chunks) - 1): make(j) for j in range(len(chunks[0]))}
        layers = {name: layer, **({source: tasks[source]} if source else {})}
        deps = {name: {source} if source else set(), **({source: set()} if source else {})}
        out[key] = da.Array(HighLevelGraph(layers, deps), name, chunks, dtype=dtype)

    tasks: dict[str, dict[Any, Any]] = {}
    if not parts:  # no events at all: empty arrays of the usual dtypes and ranks
        got: Arrays = dict(
            arrays(files[0].path, kind, columns=[*fields, *(["data"] if data else [])], channels=channels)
        )
        ids = {"file": np.empty(0, f"<U{max(len(f.path) for f in files)}"), "entry": np.empty(0, np.int64)}
        empty = {**{k: got.pop(k) for k in fields}, **ids, **got}  # in the order of a campaign with events
        return {k: da.from_array(v) for k, v in empty.items()}
    if fields or not data:
        heads = reader("headers", fields, None, False)
        for key in [*fields, *([] if data else ["n_samples"])]:
            dtype = dtypes.get(key, np.dtype(np.int64))
            column(key, dtype, (counts,), lambda j, key=key: (_pick, (heads, j), key), heads)
    width = max(len(f.path) for f in files)
    column("file", f"<U{width}", (counts,), lambda j: (_file, files[parts[j][0]].path, counts[j], f"<U{width}"), None)
    column("entry", np.int64, (counts,), lambda j: (_entry, parts[j][1], parts[j][2]), None)
    if data:
        samples = reader("samples", ["data"], shape, True)
        dtype = SAMPLE_DTYPE[kind].newbyteorder("=")
        if shape is not None:
            chunks = (counts, *((n,) for n in shape))
            column("data", dtype, chunks, lambda j: (_pick, (samples, j), "data"), samples)
        else:
            sizes = [files[i].samples_in(a, b) for i, a, b in parts]
            bases = np.concatenate([[0], np.cumsum(sizes)]).tolist()
            column("data", dtype, (tuple(sizes),), lambda j: (_flat, (samples, j)), samples)
            column(
                "offsets",
                np.int64,
                ((1, *counts),),
                lambda j: (_zero,) if j == 0 else (_ends, (samples, j - 1), bases[j - 1]),
                samples,
            )
    return out


def _frame(
    part: tuple[str, int, int, int],
    kind: Kind,
    channels: int | None,
    on_corrupt: OnCorrupt,
    files: list[str],
    columns: list[str] | None = None,
) -> Any:
    """One partition of `dask_dataframe`: the asked columns, indexed by event in the campaign."""
    import pandas as pd  # type: ignore[import-untyped, import-not-found, unused-ignore]

    path, start, stop, first = part
    names = columns if columns is not None else [*field_names(kind), "n_samples", "file", "entry"]
    heads = [c for c in names if c not in ("file", "entry")]
    got = _read(path, kind, start, stop, [c for c in heads if c != "n_samples"], channels, on_corrupt) if heads else {}
    n = stop - start
    cols: dict[str, Any] = {c: got[c] for c in heads}
    if "file" in names:
        cols["file"] = pd.Categorical.from_codes(np.full(n, files.index(path)), categories=pd.Index(files))
    if "entry" in names:
        cols["entry"] = _entry(start, stop)
    return pd.DataFrame({c: cols[c] for c in names}, index=pd.RangeIndex(first, first + n))


def dask_dataframe(
    paths: PathLike | Iterable[PathLike],
    kind: Kind,
    *,
    step: int | str = "100 MB",
    columns: Sequence[str] | None = None,
    channels: int | None = None,
    on_corrupt: OnCorrupt = "raise",
) -> Any:
    """The header fields of every event of a campaign as a lazy dask DataFrame.

    One row per event, as `to_dataframe` gives them: the header columns asked (None: all),
    `n_samples` (samples of the event, all channels), `file` (categorical, the files in
    order) and `entry` (the event's index in its file); the index counts the events of the
    whole campaign from 0, with known divisions (one partition per range of events, as in
    `vornkit.dask`). Only headers are read, and only for the columns a computation uses:
    file and entry alone read nothing. paths, step, channels and on_corrupt as in
    `vornkit.dask`. Needs dask: pip install vorn[dask].
    """
    dd = _import("dask.dataframe", "vornkit.dask_dataframe")
    import pandas as pd  # type: ignore[import-untyped, import-not-found, unused-ignore]

    check_kind_name(kind)
    fields = field_names(kind) if columns is None else list(columns)
    if "data" in fields:
        raise ValueError('dask_dataframe holds header columns only; read "data" with vornkit.dask')
    fields = core_columns(kind, fields)[0]
    plan = _plan(paths, kind, step, channels, on_corrupt, [fields])
    names = list(dict.fromkeys(f.path for f in plan.files))
    dtypes = {**column_dtypes(kind), "n_samples": np.dtype(np.int64), "entry": np.dtype(np.int64)}
    meta = pd.DataFrame(
        {
            **{c: np.empty(0, dtypes[c]) for c in [*fields, "n_samples"]},
            "file": pd.Categorical.from_codes(np.empty(0, np.int64), categories=pd.Index(names)),
            "entry": np.empty(0, np.int64),
        },
        index=pd.RangeIndex(0),
    )
    starts = np.concatenate([[0], np.cumsum([b - a for _, a, b in plan.parts])]).tolist()
    pieces = [(plan.files[i].path, a, b, starts[j]) for j, (i, a, b) in enumerate(plan.parts)]
    if not pieces:
        return dd.from_pandas(meta, npartitions=1)
    return dd.from_map(
        _frame,
        pieces,
        args=[kind, plan.channels, plan.on_corrupt, names],
        meta=meta,
        divisions=(*starts[:-1], starts[-1] - 1),
        label=f"vornkit-{kind.lower()}-headers",
    )


def dask_features(
    paths: PathLike | Iterable[PathLike],
    kind: Kind,
    *,
    baseline: Sequence[int | None] = (0, 64),
    gate: Sequence[int | None] | None = None,
    polarity: str = "negative",
    saturation: float | tuple[float, float] | None = None,
    threshold: float | None = None,
    cfd: float | None = None,
    step: int | str = "100 MB",
    channels: int | None = None,
    on_corrupt: OnCorrupt = "raise",
) -> Any:
    """The pulse features of a campaign as a lazy dask DataFrame, as `features(library="pd")` gives them.

    One row per event and channel: the header columns, `n_samples`, `file` (categorical),
    `entry`, `channel` and the features (see `vornkit.features` for them and for baseline,
    gate, polarity, saturation, threshold and cfd). The index is the event's index in the
    whole campaign (repeated for each channel), with known divisions: one partition per
    range of events of one file, as in `vornkit.dask` (paths, step, channels, on_corrupt as
    there). Each partition is read in chunks of a few MB, its samples dropped as soon as
    their features are computed. Needs dask: pip install vorn[dask].
    """
    dd = _import("dask.dataframe", "vornkit.dask_features")
    from ._features import _options, range_frame

    options = _options(baseline, gate, polarity, saturation, threshold, cfd)
    plan = _plan(paths, kind, step, channels, on_corrupt, [sorted(options.items())])
    names = list(dict.fromkeys(f.path for f in plan.files))
    chans = {f.channels for f in plan.files if f.count}
    if len(chans) > 1:
        raise ValueError(f"the files have different channel counts ({sorted(chans)}): read each count apart")
    starts = np.concatenate([[0], np.cumsum([b - a for _, a, b in plan.parts])]).tolist()
    pieces = [(plan.files[i].path, a, b, starts[j]) for j, (i, a, b) in enumerate(plan.parts)]
    meta = _feature_meta(kind, names, options)
    if not pieces:
        return dd.from_pandas(meta, npartitions=1)
    return dd.from_map(
        range_frame,
        pieces,
        args=[kind, plan.channels, plan.on_corrupt, names, options],
        meta=meta,
        divisions=(*starts[:-1], starts[-1] - 1),
        label=f"vornkit-{kind.lower()}-features",
    )


def _feature_meta(kind: Kind, names: list[str], options: dict[str, Any]) -> Any:
    """An empty frame with dask_features' columns and dtypes."""
    import pandas as pd  # type: ignore[import-untyped, import-not-found, unused-ignore]

    from ._features import _compute, _frame

    empty = np.empty(0, SAMPLE_DTYPE[kind])
    out: dict[str, np.ndarray] = {n: np.empty(0, d) for n, d in column_dtypes(kind).items()}
    out["n_samples"] = out["entry"] = np.empty(0, np.int64)
    out["file"] = np.empty(0, object)
    feats = _compute({"data": empty, "n_samples": np.empty(0, np.int64)}, kind, 1, options)
    out.update(feats)
    frame = _frame(out, kind, 1, list(feats), [], [])
    frame["file"] = pd.Categorical.from_codes(np.empty(0, np.int64), categories=pd.Index(names))
    frame.index = pd.Index(np.empty(0, np.int64))
    return frame
