"""What a user writes without vorn: a hand-written reader and a bulk read.

Each reader yields the same event dicts as vorn.
"""

import struct

import numpy as np

WD1_HEAD = struct.Struct("<6i")
WD2_HEAD = struct.Struct("<IQIQ")
WD2_WORD = struct.Struct("<i")
WD1_KEYS = ("event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp")
WD2_KEYS = ("event_counter", "timestamp", "samples", "sampling_period")


def handwritten_wd1(path):
    """struct.unpack on the header, np.frombuffer(...).copy() on the samples."""
    with open(path, "rb") as f:
        while True:
            head = f.read(24)
            if len(head) < 24:
                return
            values = WD1_HEAD.unpack(head)
            nbytes = (values[0] - 24) // 2 * 2
            raw = f.read(nbytes)
            if len(raw) < nbytes:
                return
            ev = dict(zip(WD1_KEYS, values, strict=True))
            ev["data"] = np.frombuffer(raw, "<u2").copy()
            yield ev


def handwritten_wd2(path, channels):
    """The same for WD2, told the file's channel count."""
    head_size = 28 if channels >= 2 else 24
    with open(path, "rb") as f:
        while True:
            head = f.read(head_size)
            if len(head) < head_size:
                return
            values = WD2_HEAD.unpack_from(head)
            ev = dict(zip(WD2_KEYS, values, strict=True))
            ev["channels"] = WD2_WORD.unpack_from(head, 24)[0] if channels >= 2 else channels
            nbytes = channels * values[2] * 4
            raw = f.read(nbytes)
            if len(raw) < nbytes:
                return
            ev["data"] = np.frombuffer(raw, "<f4").copy()
            yield ev


def bulk_wd1(path, samples):
    """np.fromfile of fixed-size records, then one dict per event over views."""
    dtype = np.dtype([(k, "<i4") for k in WD1_KEYS] + [("data", "<u2", (samples,))])
    table = np.fromfile(path, dtype)
    columns = [table[k].tolist() for k in WD1_KEYS]
    data = table["data"]
    for i, (a, b, c, d, e, f) in enumerate(zip(*columns, strict=True)):
        yield {
            "event_size": a,
            "board_id": b,
            "pattern": c,
            "board_channel": d,
            "event_counter": e,
            "timestamp": f,
            "data": data[i],
        }


def bulk_wd2(path, samples, channels):
    fields = [("event_counter", "<u4"), ("timestamp", "<u8"), ("samples", "<u4"), ("sampling_period", "<u8")]
    if channels >= 2:
        fields.append(("channels", "<i4"))
    dtype = np.dtype(fields + [("data", "<f4", (channels * samples,))])
    table = np.fromfile(path, dtype)
    columns = [table[k].tolist() for k in WD2_KEYS]
    words = table["channels"].tolist() if channels >= 2 else [channels] * len(table)
    data = table["data"]
    for i, (a, b, c, d, e) in enumerate(zip(*columns, words, strict=True)):
        yield {"event_counter": a, "timestamp": b, "samples": c, "sampling_period": d, "channels": e, "data": data[i]}


def bulk_arrays(path, fmt, samples, channels):
    """The arrays a structured np.fromfile gives for fixed-size records: one table, no dicts."""
    if fmt == "WD1":
        dtype = np.dtype([(k, "<i4") for k in WD1_KEYS] + [("data", "<u2", (samples,))])
    else:
        fields = [("event_counter", "<u4"), ("timestamp", "<u8"), ("samples", "<u4"), ("sampling_period", "<u8")]
        if channels >= 2:
            fields.append(("channels", "<i4"))
        dtype = np.dtype(fields + [("data", "<f4", (channels, samples))])
    return np.fromfile(path, dtype)


def memmap_features(path, fmt, samples, channels, baseline=(0, 64), chunk_bytes=64 << 20):
    """The strongest hand-written feature pass: the file as a memmap of records, 64 MB at a
    time, with vectorised NumPy reductions (float64 baseline and noise, negative pulses):
    baseline, rms, amplitude, peak and integral of each event and channel."""
    head = 24 if fmt == "WD1" else (28 if channels >= 2 else 24)
    sample = np.dtype("<u2" if fmt == "WD1" else "<f4")
    record = np.dtype([("head", f"V{head}"), ("data", sample, (channels, samples))])
    mm = np.memmap(path, record, "r")
    per = max(1, chunk_bytes // record.itemsize)
    b0, b1 = baseline
    out = {k: [] for k in ("baseline", "rms", "amplitude", "peak", "integral")}
    for start in range(0, len(mm), per):
        x = mm["data"][start : start + per]
        base_win = x[..., b0:b1].astype(np.float64)
        base = base_win.mean(axis=-1)
        rms = base_win.std(axis=-1)
        gate = x[..., b1:]
        low = gate.min(axis=-1)
        out["baseline"].append(base)
        out["rms"].append(rms)
        out["amplitude"].append(base - low)
        out["peak"].append(b1 + gate.argmin(axis=-1))
        out["integral"].append(base * gate.shape[-1] - gate.sum(axis=-1, dtype=np.float64))
    return {k: np.concatenate(v) for k, v in out.items()}
