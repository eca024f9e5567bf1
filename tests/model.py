"""An independent, slow model of how vorn reads WD1 and WD2 files, for property tests.

`read_model(data, kind)` returns the outcomes a reader must give over the whole file:
("event", dict-with-data-bytes) or ("panic",), ending where the data ends. For WD2 it
returns ("probe-error", message) when the file cannot be opened.
"""

import struct

I32_MAX = 2**31 - 1


def read_wd1(data):
    out, pos = [], 0
    while len(data) - pos >= 24:
        head = struct.unpack_from("<6i", data, pos)
        pos += 24
        if head[0] < 23:
            out.append(("panic",))
            continue
        nbytes = 2 * ((head[0] - 24) // 2 if head[0] >= 24 else 0)
        if len(data) - pos < nbytes:
            break
        keys = ("event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp")
        ev = dict(zip(keys, head, strict=True))
        ev["data"] = data[pos : pos + nbytes]
        out.append(("event", ev))
        pos += nbytes
    return out


def probe_wd2(data):
    """The channel count, or an error message when the file cannot be probed."""
    if len(data) < 28:
        return "failed to fill whole buffer"
    c1, _, s1, p1, k1 = struct.unpack_from("<IQIQi", data, 0)
    if k1 < 1 or k1 * s1 * 4 > I32_MAX:
        return 1  # the word cannot be a channel word
    at = 28 + k1 * s1 * 4
    if len(data) < at + 28:
        return "failed to fill whole buffer"
    c2, _, s2, p2, k2 = struct.unpack_from("<IQIQi", data, at)
    agree = c2 == (c1 + 1) % 2**32 and s2 == s1 and p2 == p1 and k2 == k1
    return k1 if agree else 1


def read_wd2(data):
    count = probe_wd2(data)
    if isinstance(count, str):
        return [("probe-error", count)]
    head_size = 28 if count >= 2 else 24
    out, pos = [], 0
    while len(data) - pos >= head_size:
        counter, timestamp, samples, period = struct.unpack_from("<IQIQ", data, pos)
        channels = struct.unpack_from("<i", data, pos + 24)[0] if count >= 2 else count
        pos += head_size
        nbytes = count * samples * 4
        if nbytes > I32_MAX:
            out.append(("panic",))
            continue
        if len(data) - pos < nbytes:
            break
        out.append(
            (
                "event",
                {
                    "event_counter": counter,
                    "timestamp": timestamp,
                    "samples": samples,
                    "sampling_period": period,
                    "channels": channels,
                    "data": data[pos : pos + nbytes],
                },
            )
        )
        pos += nbytes
    return out


def read_model(data, kind):
    return read_wd1(data) if kind == "WD1" else read_wd2(data)


def read_vorn(path, kind):
    """The same outcomes, as vorn gives them."""
    import vorn

    try:
        reader = vorn.EventReader(path, kind)
    except OSError as e:
        return [("probe-error", str(e))]
    return drain_vorn(reader)


def drain_vorn(reader, limit=100_000):
    """The outcomes of an open reader until it reports the end of the data."""
    out = []
    for _ in range(limit):
        try:
            ev = next(reader)
        except StopIteration:
            return out
        except BaseException as e:  # PanicException is not an Exception
            if type(e).__name__ != "PanicException":
                raise
            assert e.args == ("capacity overflow",)
            out.append(("panic",))
            continue
        ev["data"] = ev["data"].tobytes()
        out.append(("event", ev))
    raise AssertionError("reader did not end")
