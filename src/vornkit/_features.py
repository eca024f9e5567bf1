"""Pulse features per event and channel, computed by the compiled core from each chunk of
records while it is in cache, the samples dropped after it: `features`, and `compute` for
one chunk of columns."""

from __future__ import annotations

import math
import os
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Literal, NotRequired, TypedDict, overload

import numpy as np
from numpy.typing import NDArray

from ._format import _core, check_kind_name, field_names, is_regular
from ._layouts import Kind, column_dtypes
from ._read import OnCorrupt, PathLike, Source, _progress, check_on_corrupt, expand_paths

if TYPE_CHECKING:
    import pandas as pd  # type: ignore[import-untyped, import-not-found, unused-ignore]

Polarity = Literal["negative", "positive"]
Window = tuple[int, int | None]
Saturation = float | tuple[float, float] | None
FEATURE_NAMES = ("baseline", "rms", "amplitude", "peak", "integral", "saturated", "t_threshold", "t_cfd")
STEP = "4 MB"  # records per core read: small enough to stay in cache while their features are computed


class Features(TypedDict):
    """The features of each event and channel: (events,) for WD1, (events, channels) for WD2.

    baseline, rms: mean and population standard deviation of the baseline window;
    amplitude: the largest sign-corrected, baseline-subtracted sample over the gate; peak:
    the first index reaching it (-1 without an amplitude); integral: the signal's sum over
    the gate, in sample units. saturated, t_threshold, t_cfd: with saturation=, threshold=,
    cfd=. Empty windows give NaN."""

    baseline: NDArray[np.float64]
    rms: NDArray[np.float64]
    amplitude: NDArray[np.float64]
    peak: NDArray[np.int64]
    integral: NDArray[np.float64]
    saturated: NotRequired[NDArray[np.bool_]]
    t_threshold: NotRequired[NDArray[np.float64]]
    t_cfd: NotRequired[NDArray[np.float64]]


class _Located(TypedDict):
    file: NDArray[np.object_]
    entry: NDArray[np.int64]
    n_samples: NDArray[np.int64]


class WD1Features(Features, _Located):
    """What `features(paths, "WD1")` returns: the header columns (int32), file (the path of
    each event's file, an object array of str), entry (index in its file), n_samples, and
    the features of each event, shape (events,)."""

    event_size: NDArray[np.int32]
    board_id: NDArray[np.int32]
    pattern: NDArray[np.int32]
    board_channel: NDArray[np.int32]
    event_counter: NDArray[np.int32]
    timestamp: NDArray[np.int32]


class WD2Features(Features, _Located):
    """What `features(paths, "WD2")` returns: the header columns, file, entry, n_samples (all
    channels), and the features of each event and channel, shape (events, channels)."""

    event_counter: NDArray[np.uint32]
    timestamp: NDArray[np.uint64]
    samples: NDArray[np.uint32]
    sampling_period: NDArray[np.uint64]
    channels: NDArray[np.int32]


def _window(name: str, w: Sequence[int | None]) -> Window:
    if isinstance(w, (str, bytes)) or len(w) != 2:
        raise TypeError(f"{name} must be a (start, stop) pair of sample indices, not {w!r}")
    start, stop = w
    if not isinstance(start, (int, np.integer)) or not (stop is None or isinstance(stop, (int, np.integer))):
        raise TypeError(f"{name} must be a (start, stop) pair of ints (stop None: the end of the record), not {w!r}")
    if start < 0 or (stop is not None and stop < 0):
        raise ValueError(f"{name} must not start or stop before sample 0, not {w!r}")
    return int(start), None if stop is None else int(stop)


def _options(
    baseline: Sequence[int | None],
    gate: Sequence[int | None] | None,
    polarity: str,
    saturation: Saturation,
    threshold: float | None,
    cfd: float | None,
) -> dict[str, Any]:
    """compute()'s options checked, as _core.features takes them."""
    base = _window("baseline", baseline)
    if base[1] is None:
        raise ValueError("baseline must end at a sample index, not None")
    if polarity not in ("negative", "positive"):
        raise ValueError(f'polarity must be "negative" or "positive", not {polarity!r}')
    sat: tuple[float, float] | None = None
    if saturation is not None:
        if isinstance(saturation, tuple):
            sat = (float(saturation[0]), float(saturation[1]))
        else:
            sat = (-math.inf, float(saturation))
    if cfd is not None and not 0 < cfd <= 1:
        raise ValueError(f"cfd must be a fraction of the amplitude in (0, 1], not {cfd!r}")
    return {
        "baseline": base,
        "gate": (base[1], None) if gate is None else _window("gate", gate),
        "negative": polarity == "negative",
        "saturation": sat,
        "threshold": None if threshold is None else float(threshold),
        "cfd": None if cfd is None else float(cfd),
    }


def _compute(cols: Mapping[str, np.ndarray], kind: str, channels: int, options: Mapping[str, Any]) -> Columns:
    data = cols["data"]
    if "n_samples" in cols:
        counts = cols["n_samples"]
    elif "offsets" in cols:  # a chunk of arrays() or iterate() with events of differing sizes
        counts = np.diff(cols["offsets"])
    else:  # events x samples (x channels)
        counts = np.full(len(data), data[0].size if len(data) else 0, np.int64)
    out = _core.features(np.ravel(data), counts, channels, **options)
    if kind == "WD2":
        return {k: v.reshape(-1, channels) for k, v in out.items()}
    return out


Columns = dict[str, np.ndarray]


def compute(
    cols: Mapping[str, np.ndarray],
    kind: Kind,
    channels: int,
    *,
    baseline: Sequence[int | None] = (0, 64),
    gate: Sequence[int | None] | None = None,
    polarity: Polarity = "negative",
    saturation: Saturation = None,
    threshold: float | None = None,
    cfd: float | None = None,
) -> dict[str, np.ndarray]:
    """The features of one chunk of records, as `features` computes them for each of its chunks.

    cols: a chunk as the core's Reader.read() returns it, with "data" (every sample end to
    end, uint16 or float32) and "n_samples" (samples of each record, all channels); a chunk
    of `iterate` or the result of `arrays` is taken as well (data shaped events x samples
    or events x channels x samples, or flat with "offsets"). kind: "WD1" or "WD2".
    channels: the WD2 channel count (1 for WD1). The other options are those of `features`.

    Returns a dict of the features only (no header columns): "baseline", "rms",
    "amplitude", "integral" (float64), "peak" (int64), and "saturated" (bool),
    "t_threshold", "t_cfd" (float64) with their options; each of shape (events,) for WD1,
    (events, channels) for WD2. Computed in the core with the interpreter lock released.
    """
    check_kind_name(kind)
    if kind == "WD1" and channels != 1:
        raise ValueError(f"a WD1 file has one channel, not {channels!r}")
    return _compute(cols, kind, channels, _options(baseline, gate, polarity, saturation, threshold, cfd))


def _frame(
    out: Mapping[str, np.ndarray],
    kind: str,
    channels: int,
    names: Sequence[str],
    files: Sequence[str],
    counts: Sequence[int],
    categories: Sequence[str] | None = None,
    index: np.ndarray | None = None,
) -> pd.DataFrame:
    """One row per event and channel: the event's columns repeated, `channel`, its features.

    `file` is a Categorical over `categories` (None: the files, once each), `index` the rows'
    index (None: a range). The columns are taken as they are where no repeat is needed."""
    try:
        import pandas as pd  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        raise ImportError('library="pd" needs pandas: pip install pandas (or vorn[kit])') from None
    per = 1 if kind == "WD1" else channels
    unique = list(dict.fromkeys(files)) if categories is None else list(categories)
    code = {f: i for i, f in enumerate(unique)}
    code_type = np.int8 if len(unique) < 1 << 7 else np.int16 if len(unique) < 1 << 15 else np.int32
    codes = np.repeat(np.array([code[f] for f in files], code_type), counts)

    def each_row(v: np.ndarray) -> np.ndarray:
        return v if per == 1 else np.repeat(v, per)

    cols: dict[str, Any] = {}
    for name in [*field_names(kind), "entry", "n_samples"]:
        cols[name] = each_row(out[name])
    cols["file"] = pd.Categorical.from_codes(each_row(codes), categories=pd.Index(unique))
    cols["channel"] = np.tile(np.arange(per, dtype=np.int32), len(out["entry"]))
    for name in names:
        cols[name] = out[name].reshape(-1)
    frame = pd.DataFrame(cols, copy=False)  # no block of columns copied together
    if index is not None:
        frame.index = pd.Index(index)
    return frame


@overload
def features(
    paths: PathLike | Iterable[PathLike],
    kind: Literal["WD1"],
    *,
    baseline: Sequence[int | None] = (0, 64),
    gate: Sequence[int | None] | None = None,
    polarity: Polarity = "negative",
    saturation: Saturation = None,
    threshold: float | None = None,
    cfd: float | None = None,
    channels: int | None = None,
    on_corrupt: OnCorrupt = "raise",
    step: int | str = STEP,
    progress: bool = False,
    library: Literal["np"] = "np",
) -> WD1Features: ...
@overload
def features(
    paths: PathLike | Iterable[PathLike],
    kind: Literal["WD2"],
    *,
    baseline: Sequence[int | None] = (0, 64),
    gate: Sequence[int | None] | None = None,
    polarity: Polarity = "negative",
    saturation: Saturation = None,
    threshold: float | None = None,
    cfd: float | None = None,
    channels: int | None = None,
    on_corrupt: OnCorrupt = "raise",
    step: int | str = STEP,
    progress: bool = False,
    library: Literal["np"] = "np",
) -> WD2Features: ...
@overload
def features(
    paths: PathLike | Iterable[PathLike],
    kind: Kind,
    *,
    baseline: Sequence[int | None] = (0, 64),
    gate: Sequence[int | None] | None = None,
    polarity: Polarity = "negative",
    saturation: Saturation = None,
    threshold: float | None = None,
    cfd: float | None = None,
    channels: int | None = None,
    on_corrupt: OnCorrupt = "raise",
    step: int | str = STEP,
    progress: bool = False,
    library: Literal["np"] = "np",
) -> WD1Features | WD2Features: ...
@overload
def features(  # a pandas DataFrame, one row per event and channel
    paths: PathLike | Iterable[PathLike],
    kind: Kind,
    *,
    baseline: Sequence[int | None] = (0, 64),
    gate: Sequence[int | None] | None = None,
    polarity: Polarity = "negative",
    saturation: Saturation = None,
    threshold: float | None = None,
    cfd: float | None = None,
    channels: int | None = None,
    on_corrupt: OnCorrupt = "raise",
    step: int | str = STEP,
    progress: bool = False,
    library: Literal["pd"],
) -> pd.DataFrame: ...
def features(
    paths: PathLike | Iterable[PathLike],
    kind: Kind,
    *,
    baseline: Sequence[int | None] = (0, 64),
    gate: Sequence[int | None] | None = None,
    polarity: Polarity = "negative",
    saturation: Saturation = None,
    threshold: float | None = None,
    cfd: float | None = None,
    channels: int | None = None,
    on_corrupt: OnCorrupt = "raise",
    step: int | str = STEP,
    progress: bool = False,
    library: str = "np",
) -> Any:
    """Pulse features of every event and channel of one or many files, in one pass, no samples kept.

    paths as in `iterate` (files, a directory, a glob pattern, or a list of them). Each
    chunk of records (`step`: events, or record bytes such as "4 MB") is read by the core,
    its features computed there with the interpreter lock released while it is in cache,
    and its samples dropped: memory is the result plus about one chunk.

    Returns the header columns, `file` (each event's path, an object array of str), `entry`
    (index in its file), `n_samples` (all channels) and per event and channel, of shape
    (events,) for WD1 and (events, channels) for WD2 (see `Features`):

    - baseline, rms: mean and population standard deviation of the samples in the
      `baseline` window (float64 accumulation);
    - amplitude, peak: the largest baseline-subtracted sample over the `gate`, negated for
      polarity="negative", and the index of the first sample reaching it (-1 without one);
      a NaN sample in the gate gives NaN;
    - integral: the sum of the baseline-subtracted, sign-corrected samples over the gate;
    - saturated (saturation=code, or (low, high)): whether a sample of the channel reaches
      the code (at or above; with a pair also at or below low);
    - t_threshold (threshold=level): where the sign-corrected signal first reaches the level
      in the gate, linearly interpolated with the sample before (in samples);
    - t_cfd (cfd=fraction): where it first reaches that fraction of its amplitude, from
      the gate's start up to the peak, interpolated likewise.

    Windows are (start, stop) sample ranges of each channel's record (stop None: its end),
    clipped to the record, so that mixed and short records are fine; the gate defaults to
    (baseline stop, None). An empty window gives NaN. library="pd" gives a DataFrame with
    one row per event and channel (a `channel` column; `file` categorical). Files of a
    WD2 campaign must share one channel count. channels, on_corrupt, progress and the
    errors are those of `iterate`.
    """
    from ._arrays import _parse_step

    if library not in ("np", "pd"):
        raise ValueError(f'library must be "np" or "pd", not {library!r}')
    check_kind_name(kind)
    check_on_corrupt(on_corrupt)
    options = _options(baseline, gate, polarity, saturation, threshold, cfd)
    events_per, bytes_per = _parse_step(step)
    files = expand_paths(paths, kind)
    fields = field_names(kind)
    total = sum(os.path.getsize(p) for p in files if is_regular(p))
    bar = _progress(progress, total or None, f"{len(files)} file" + ("" if len(files) == 1 else "s"))
    parts: dict[str, list[np.ndarray]] = {}
    counts: list[int] = []
    used: int | None = None
    opened = 1  # the channel count of the last file, for a result with no events
    try:
        for path in files:
            src = Source(path, kind, fields=fields, channels=channels, on_corrupt=on_corrupt, empty_run=True)
            opened = src.channels
            try:
                done = n_file = 0
                for cols in src.chunks(events_per, bytes_per):
                    if used is not None and src.channels != used and len(cols["n_samples"]):
                        raise ValueError(
                            f"{path}: {src.channels} channels, where the files before have {used}: read the files "
                            "of each channel count apart"
                        )
                    used = src.channels
                    n = len(cols["n_samples"])
                    first = src.reader.event - n
                    row = {name: cols[name] for name in fields}
                    row["n_samples"] = np.ascontiguousarray(cols["n_samples"])
                    row["entry"] = np.arange(first, first + n, dtype=np.int64)
                    row.update(_compute(cols, kind, src.channels, options))
                    del cols  # the samples go before the next chunk is read
                    for key, value in row.items():
                        parts.setdefault(key, []).append(value)
                    n_file += n
                    if bar is not None:
                        bar.update(src.reader.offset - done)
                        done = src.reader.offset
            finally:
                src.close()
            counts.append(n_file)
    finally:
        if bar is not None:
            bar.close()
    per = used or opened
    out: dict[str, np.ndarray] = {}
    if not parts:  # no events: the columns empty, with their dtypes and shapes
        empty = np.empty(0, np.uint16 if kind == "WD1" else np.float32)
        parts = {
            k: [v]
            for k, v in _compute({"data": empty, "n_samples": empty[:0].astype(np.int64)}, kind, per, options).items()
        }
        dtypes = column_dtypes(kind)
        for name in fields:
            parts[name] = [np.empty(0, dtypes[name])]
        parts["n_samples"] = parts["entry"] = [np.empty(0, np.int64)]
    for key in list(parts):
        pieces = parts.pop(key)  # joined one column at a time: the pieces of one at most stay beside the result
        out[key] = pieces[0] if len(pieces) == 1 else np.concatenate(pieces)
        del pieces
    out["file"] = np.repeat(np.array(files, dtype=object), counts)
    names = [k for k in FEATURE_NAMES if k in out]
    ordered = {k: out[k] for k in [*fields, "file", "entry", "n_samples", *names]}
    if library == "pd":
        return _frame(ordered, kind, per, names, files, counts)
    return ordered


def range_frame(
    part: tuple[str, int, int, int],
    kind: Kind,
    channels: int | None,
    on_corrupt: OnCorrupt,
    files: list[str],
    options: dict[str, Any],
) -> pd.DataFrame:
    """Events [start, stop) of one file (part: path, start, stop, index of its first event in
    the campaign) as rows of features per event and channel, indexed by campaign event."""

    from ._arrays import _parse_step, _seek

    path, start, stop, first = part
    fields = field_names(kind)
    offset = event = 0
    after = None
    if start:
        offset, event, after = _seek(path, kind, channels, start, on_corrupt != "raise")
    src = Source(path, kind, fields=fields, channels=channels, on_corrupt=on_corrupt, check=False, offset=offset,
                 event=event, after=after, trailing=False)  # fmt: skip
    events_per, bytes_per = _parse_step(STEP)
    n = stop - start
    out: dict[str, np.ndarray] = {}  # each column allocated once for the partition, filled chunk by chunk
    done = 0
    try:
        for _ in src.chunks(events_per, bytes_per, limit=start - src.reader.event):
            pass  # the few records after a place found before `start`
        for cols in src.chunks(events_per, bytes_per, limit=n):
            row = {name: cols[name] for name in fields}
            row["n_samples"] = cols["n_samples"]
            row.update(_compute(cols, kind, src.channels, options))
            del cols
            k = len(row["n_samples"])
            for key, value in row.items():
                if key not in out:
                    out[key] = np.empty((n, *value.shape[1:]), value.dtype)
                out[key][done : done + k] = value
            done += k
    finally:
        src.close()
    if done != n:
        from ._read import FileChangedError

        raise FileChangedError(f"{path}: events {start} to {stop}: {done} events where {n} were surveyed")
    out["entry"] = np.arange(start, stop, dtype=np.int64)
    names = [k for k in FEATURE_NAMES if k in out]
    per = 1 if kind == "WD1" else src.channels
    index = np.arange(first, first + n, dtype=np.int64)
    return _frame(out, kind, src.channels, names, [path] * bool(n), [n] * bool(n), files, np.repeat(index, per))
