"""Pulse features per event and channel, computed by the compiled core from each chunk of
records while it is in cache, the samples dropped after it: `features`, and `compute` for
one chunk of columns."""

from __future__ import annotations

import math
import os
from collections.abc import Iterable, Iterator, Mapping, Sequence
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
    out = _core.features(np.ravel(cols["data"]), cols["n_samples"], channels, **options)
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
    end, uint16 or float32; an array shaped events x channels x samples is taken as well)
    and "n_samples" (samples of each record, all channels). kind: "WD1" or "WD2".
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
