"""Property tests: valid files read back exactly; damaged files give only what an
independent model of the formats says (events, the end, "capacity overflow")."""

import os
import struct

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vorn
from model import drain_vorn, read_model, read_vorn
from support import SHIM, mix, read_with_faults, wd1_record, wd2_record

I32 = st.integers(-(2**31), 2**31 - 1)
EXAMPLES = int(os.environ.get("VORN_HYPOTHESIS_EXAMPLES", "150"))
SETTINGS = settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])

wd1_records = st.lists(
    st.tuples(st.integers(23, 24 + 2 * 300), I32, I32, I32, I32, I32, st.randoms(use_true_random=False)), max_size=12
)


def build_wd1(records):
    out = b""
    for size, board, pattern, channel, counter, ts, rnd in records:
        n = (size - 24) // 2 if size >= 24 else 0
        samples = [rnd.randrange(65536) for _ in range(n)]
        rec = wd1_record(size, samples, board, pattern, channel, counter, ts)
        out += rec  # an odd size lends its last counted byte to the next record
    return out


@st.composite
def wd2_files(draw, channel_choices=(1, 2, 3)):
    channels = draw(st.sampled_from(channel_choices))
    samples = draw(st.integers(0, 64))
    period = draw(st.integers(0, 2**64 - 1))
    first = draw(st.integers(0, 2**32 - 1))
    n = draw(st.integers(2, 8))
    out = b""
    for i in range(n):
        s = samples if i < 2 else draw(st.integers(0, 64))
        bits = draw(st.lists(st.integers(0, 2**32 - 1), min_size=channels * s, max_size=channels * s))
        data = np.array(bits, dtype="<u4").view("<f4")  # any bit pattern: NaN payloads too
        word = draw(st.sampled_from([channels, channels, 5])) if channels >= 2 and i >= 2 else channels
        out += wd2_record(
            (first + i) % 2**32,
            s,
            data,
            timestamp=draw(st.integers(0, 2**64 - 1)),
            sampling_period=period,
            channel_word=word if channels >= 2 else None,
        )
    return out


def check(write, data, kind):
    expected = read_model(data, kind)
    assert read_vorn(write(data), kind) == expected
    return expected


# Sample block sizes in bytes, centred on the reader's thresholds: the block cache's
# smallest block, the first read and placed blocks (8192), direct reads (65536), the
# read-ahead buffer (256 KiB), the cache's largest block (4 MiB); 9 MiB rarely.
BLOCK_CENTRES = [0, 0, 0, 0, 1024, 8192, 8192, 65536, 65536, 200_000, 262_144, 2 << 20, 4 << 20, 9 << 20]
block_bytes = st.builds(
    lambda centre, delta: max(0, centre + delta), st.sampled_from(BLOCK_CENTRES), st.integers(-66, 66)
)
MAX_FILE_BYTES = 16 << 20


@st.composite
def sized_wd1(draw):
    """(file, record starts, bytes the reader needs when made) for WD1 records of any size."""
    out, starts = b"", []
    for i in range(draw(st.integers(1, 4))):
        nbytes = draw(block_bytes) & ~1
        if len(out) + nbytes > MAX_FILE_BYTES:
            break
        size = 24 + nbytes + draw(st.integers(0, 1))  # an odd size's last byte is not read
        starts.append(len(out))
        out += wd1_record(size, mix("WD1", nbytes // 2, i), *draw(st.tuples(I32, I32, I32, I32, I32)))
    return out, starts, 0


@st.composite
def sized_wd2(draw):
    """The same for WD2: the first two records agree, so the probe finds the drawn channel
    count; without channel words the first sample is negative as an integer, so that it
    cannot pass for one."""
    channels = draw(st.integers(1, 3))
    period, first = draw(st.integers(0, 2**64 - 1)), draw(st.integers(0, 2**32 - 1))
    out, starts, n = b"", [], 0
    for i in range(draw(st.integers(2, 4))):
        if i != 1:
            n = draw(block_bytes) // (4 * channels)
        if i == 0 and channels == 1:
            n = max(n, 1)
        if i >= 2 and len(out) + 4 * channels * n > MAX_FILE_BYTES:
            break
        data = mix("WD2", channels * n, i)
        if i == 0 and channels == 1:
            data[0] = -data[0]
        word = None if channels == 1 else channels if i < 2 else draw(st.sampled_from([channels, 5]))
        starts.append(len(out))
        out += wd2_record(
            (first + i) % 2**32,
            n,
            data,
            sampling_period=period,
            timestamp=draw(st.integers(0, 2**64 - 1)),
            channel_word=word,
        )
    probe = 28 if channels == 1 else starts[1] + 28
    return out, starts, probe


@st.composite
def cuts(draw, size, starts, least):
    """Sizes a file grows through: anywhere, or at awkward places of a record."""
    places = [0, 1, 23, 24, 25, 28, 24 + 4095, 24 + 8192, 24 + 65535, 24 + 65537]
    anywhere = st.integers(0, size)
    awkward = st.builds(
        lambda at, place, delta: at + place + delta,
        st.sampled_from(starts),
        st.sampled_from(places),
        st.integers(-1, 1),
    )
    return sorted(min(max(c, least), size) for c in draw(st.lists(st.one_of(anywhere, awkward), max_size=4)))


@settings(SETTINGS, max_examples=max(4, EXAMPLES // 5))
@given(data=st.data())
@pytest.mark.parametrize("kind", ["WD1", "WD2"])
def test_records_of_every_size_read_back_exactly_however_they_arrive(tmp_path, kind, data):
    body, starts, probe = data.draw(sized_wd1() if kind == "WD1" else sized_wd2())
    expected = read_model(body, kind)
    assert [k for k, _ in expected] == ["event"] * len(starts)
    path = tmp_path / "f.bin"
    arrival = data.draw(st.sampled_from(["whole", "grown", "chunks"] if SHIM.exists() else ["whole", "grown"]))
    if arrival == "whole":
        path.write_bytes(body)
        assert read_vorn(str(path), kind) == expected
    elif arrival == "grown":
        pieces = data.draw(cuts(len(body), starts, probe)) + [len(body)]
        path.write_bytes(body[: pieces[0]])
        reader, got = vorn.EventReader(str(path), kind), []
        for done, cut in zip(pieces, pieces[1:], strict=False):
            got += drain_vorn(reader)
            with open(path, "ab") as f:
                f.write(body[done:cut])
        assert got + drain_vorn(reader) == expected
    else:
        # Short reads through the fault shim: a few bytes each for small files, odd sizes
        # up to ~300 KB (and not too many reads) for big ones.
        path.write_bytes(body)
        least = 1 if len(body) < 100_000 else len(body) // 1000 + 1
        chunk = data.draw(st.integers(least, max(least, 7) if len(body) < 100_000 else 300_000))
        assert read_with_faults(str(path), kind, chunk=chunk) == expected + [("end",)]


# Without channel words a file cannot say that it has one channel; the first sample's bits
# stand where the word would be, and a few such files cannot be opened. The model knows.
@SETTINGS
@given(data=wd2_files(channel_choices=(1,)))
def test_single_channel_wd2_files_read_as_the_model_says(write, data):
    check(write, data, "WD2")


@st.composite
def damaged(draw, files):
    data = bytearray(draw(files))
    for _ in range(draw(st.integers(0, 6))):
        if data:
            at = draw(st.integers(0, len(data) - 1))
            data[at] = draw(st.integers(0, 255))
    if draw(st.booleans()) and data:
        data = data[: draw(st.integers(0, len(data)))]
    return bytes(data)


@SETTINGS
@given(data=damaged(st.builds(build_wd1, wd1_records)))
def test_damaged_wd1_files_give_only_documented_outcomes(write, data):
    check(write, data, "WD1")


@SETTINGS
@given(data=damaged(wd2_files()))
def test_damaged_wd2_files_give_only_documented_outcomes(write, data):
    check(write, data, "WD2")


@SETTINGS
@given(words=st.lists(st.integers(0, 2**32 - 1), min_size=6, max_size=40))
def test_arbitrary_headers(write, words):
    data = struct.pack(f"<{len(words)}I", *words)
    check(write, data, "WD1")
    check(write, data, "WD2")
