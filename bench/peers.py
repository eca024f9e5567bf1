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
