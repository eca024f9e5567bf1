"""The pulse features written out plainly in NumPy (float64), one channel of one record at a
time: what vornkit.features must give."""

import math

import numpy as np

NAN = math.nan


def _crossing(sig, level, first):
    """Where sig (the gate's signal, its first sample at index `first`) first reaches level."""
    at = np.flatnonzero(sig >= level)
    if at.size == 0:
        return NAN
    i = int(at[0])
    if i == 0:
        return float(first)
    return float(first + i - 1) + (level - sig[i - 1]) / (sig[i] - sig[i - 1])


def channel_features(
    x, *, baseline=(0, 64), gate=None, polarity="negative", saturation=None, threshold=None, cfd=None, base=None
):
    """The features of one channel's samples `x`; `base` replaces the baseline the signal is
    taken from (so that the rest can be checked exactly against a baseline within ulps)."""
    x = np.asarray(x).astype(np.float64)
    s = x.size
    b0, b1 = baseline
    g0, g1 = gate if gate is not None else (b1, None)
    window = x[b0:b1]
    out = {
        "baseline": window.mean() if window.size else NAN,
        "rms": window.std() if window.size else NAN,
    }
    if base is None:
        base = out["baseline"]
    xs = x[g0:g1]
    first = min(g0, s)
    sig = base - xs if polarity == "negative" else xs - base
    if sig.size == 0:
        out.update(amplitude=NAN, peak=-1, integral=NAN)
    else:
        out["integral"] = sig.sum()
        if np.isnan(sig).any():
            out.update(amplitude=NAN, peak=-1)
        else:
            out.update(amplitude=sig.max(), peak=first + int(np.argmax(sig)))
    if saturation is not None:
        low, high = saturation if isinstance(saturation, tuple) else (-math.inf, saturation)
        out["saturated"] = bool(np.any((x <= low) | (x >= high)))
    if threshold is not None:
        out["t_threshold"] = _crossing(sig, threshold, first)
    if cfd is not None:
        peak = out["peak"]
        out["t_cfd"] = NAN if peak < 0 else _crossing(sig[: peak - first + 1], cfd * out["amplitude"], first)
    return out


def features(data, n_samples, channels, base=None, **options):
    """channel_features of every record (n_samples each, all channels, end to end in `data`)
    and channel, as arrays of (records, channels); `base` the baseline of each, or None."""
    rows, pos = [], 0
    with np.errstate(all="ignore"):
        for e, n in enumerate(n_samples):
            per = int(n) // channels
            for c in range(channels):
                x = data[pos + c * per : pos + (c + 1) * per]
                b = None if base is None else base[e, c]
                rows.append(channel_features(x, base=b, **options))
            pos += int(n)
    keys = rows[0].keys() if rows else ()
    return {k: np.array([r[k] for r in rows]).reshape(len(n_samples), channels) for k in keys}
