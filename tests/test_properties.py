"""Property tests: valid files read back exactly; damaged files give only what an
independent model of the formats says (events, the end, "capacity overflow")."""

import os
import struct

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from model import read_model, read_vorn
from support import wd1_record, wd2_record

I32 = st.integers(-2**31, 2**31 - 1)
EXAMPLES = int(os.environ.get("VORN_HYPOTHESIS_EXAMPLES", "150"))
SETTINGS = settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])

wd1_records = st.lists(
    st.tuples(st.integers(23, 24 + 2 * 300), I32, I32, I32, I32, I32, st.randoms(use_true_random=False)),
    max_size=12)


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
        out += wd2_record((first + i) % 2**32, s, data, timestamp=draw(st.integers(0, 2**64 - 1)),
                          sampling_period=period, channel_word=word if channels >= 2 else None)
    return out


def check(write, data, kind):
    expected = read_model(data, kind)
    assert read_vorn(write(data), kind) == expected
    return expected


@SETTINGS
@given(records=wd1_records)
def test_valid_wd1_files_read_back_exactly(write, records):
    data = build_wd1(records)
    assert len(check(write, data, "WD1")) == len(records)


@SETTINGS
@given(data=wd2_files(channel_choices=(2, 3)))
def test_valid_multichannel_wd2_files_read_back_exactly(write, data):
    outcomes = check(write, data, "WD2")
    assert len(outcomes) >= 2 and all(kind == "event" for kind, *_ in outcomes)


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
        data = data[:draw(st.integers(0, len(data)))]
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
