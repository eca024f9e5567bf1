"""Iterating readers: event dicts, zero-copy arrays, the end of data."""

import gc
import os

import numpy as np
import pytest

import vorn
from support import run_python, wd1_record, wd2_file, wd2_record

ER = vorn.EventReader
WD1_KEYS = ["event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp", "data"]
WD2_KEYS = ["event_counter", "timestamp", "samples", "sampling_period", "channels", "data"]
I32_MIN, I32_MAX, U32_MAX, U64_MAX = -(2**31), 2**31 - 1, 2**32 - 1, 2**64 - 1


def panic_type():
    """The PanicException class, met by provoking one (it is no module attribute)."""
    import tempfile

    with tempfile.NamedTemporaryFile() as f:
        f.write(wd1_record(22, samples=[]))
        f.flush()
        try:
            next(ER(f.name, "WD1"))
        except BaseException as e:  # noqa: B036 - PanicException derives from BaseException
            return type(e)
    raise AssertionError("no PanicException")


def test_iter_returns_self(write):
    for kind, data in (("WD1", b""), ("WD2", wd2_file(2))):
        r = ER(write(data), kind)
        assert iter(r) is r


def test_wd1_event_keys_and_extreme_values(write):
    data = wd1_record(
        26, [0xFFFF], board_id=-1, pattern=I32_MIN, board_channel=I32_MAX, event_counter=0, timestamp=-5
    ) + wd1_record(I32_MAX, np.zeros(0))  # a huge claim that the file does not hold
    events = list(ER(write(data), "WD1"))
    assert len(events) == 1
    ev = events[0]
    assert list(ev) == WD1_KEYS
    assert [ev[k] for k in WD1_KEYS[:-1]] == [26, -1, I32_MIN, I32_MAX, 0, -5]
    assert all(type(ev[k]) is int for k in WD1_KEYS[:-1])
    assert ev["data"].tolist() == [65535]


def test_wd2_event_keys_and_unsigned_extremes(write):
    data = wd2_record(U32_MAX, 1, [1.0], timestamp=U64_MAX, sampling_period=U64_MAX) + wd2_record(
        0, 1, [2.0], timestamp=0, sampling_period=U64_MAX
    )
    events = list(ER(write(data), "WD2"))
    assert [e["event_counter"] for e in events] == [U32_MAX, 0]
    ev = events[0]
    assert list(ev) == WD2_KEYS
    assert ev["timestamp"] == U64_MAX and ev["sampling_period"] == U64_MAX
    assert ev["samples"] == 1 and ev["channels"] == 1
    assert all(type(ev[k]) is int for k in WD2_KEYS[:-1])


def test_wd2_record_with_its_own_channel_word(write):
    data = wd2_file(2, samples=3, channels=2) + wd2_record(2, 3, np.arange(6), channel_word=3)
    events = list(ER(write(data), "WD2"))
    assert [e["channels"] for e in events] == [2, 2, 3]
    assert events[2]["data"].tolist() == [0, 1, 2, 3, 4, 5]


@pytest.mark.parametrize(
    "kind, data, dtype, n",
    [
        ("WD1", wd1_record(24 + 2 * 5), np.uint16, 5),
        ("WD1", wd1_record(24), np.uint16, 0),
        ("WD1", wd1_record(25), np.uint16, 0),
        ("WD2", wd2_file(2, samples=3, channels=2), np.float32, 6),
        ("WD2", wd2_file(2, samples=0, channels=2), np.float32, 0),
    ],
)
def test_data_array_properties(write, kind, data, dtype, n):
    arr = next(ER(write(data), kind))["data"]
    assert type(arr) is np.ndarray
    assert arr.dtype == np.dtype(dtype) and arr.dtype.isnative
    assert arr.shape == (n,) and arr.ndim == 1
    assert arr.strides == (np.dtype(dtype).itemsize,)
    assert arr.flags.writeable and not arr.flags.owndata
    assert arr.flags.c_contiguous and arr.flags.f_contiguous and arr.flags.aligned
    assert type(arr.base).__name__ == "PySliceContainer"
    assert type(arr.base).__module__ == "builtins"
    assert not hasattr(vorn, "PySliceContainer")


def test_container_type_is_closed(write):
    base = type(next(ER(write(wd1_record(30)), "WD1"))["data"].base)
    with pytest.raises(TypeError):
        type("Sub", (base,), {})
    with pytest.raises(TypeError):
        base()


def test_samples_decode_little_endian(write):
    raw = bytes.fromhex("1c000000" + "00" * 20 + "3412ffff")
    assert next(ER(write(raw), "WD1"))["data"].tolist() == [0x1234, 0xFFFF]
    patterns = [0x3F800000, 0x7FC00001, 0xFFA12345, 0x7F800000, 0x00000001]
    rec = wd2_record(0, 5, np.array(patterns, dtype="<u4").view("<f4"))
    ev = next(ER(write(rec + rec), "WD2"))
    assert ev["data"].view(np.uint32).tolist() == patterns  # NaN payloads pass unchanged
    assert ev["data"][0] == 1.0


def test_array_outlives_dict_reader_and_everything_else(write):
    path = write(b"".join(wd1_record(24 + 2 * 3000, np.full(3000, i)) for i in range(3)))
    r = ER(path, "WD1")
    arrays = [ev["data"] for ev in r]
    del r
    os.unlink(path)
    gc.collect()
    junk = [np.ones(3000, np.uint16) * 9 for _ in range(50)]  # reuse freed memory, if any
    for i, a in enumerate(arrays):
        assert (a == i).all()
    del junk


def test_writes_touch_only_their_own_array(write):
    events = list(ER(write(wd1_record(30) * 3), "WD1"))
    events[0]["data"][0] = 999
    assert [e["data"][0] for e in events] == [999, 0, 0]
    assert next(ER(write(wd1_record(30) * 3, "g.bin"), "WD1"))["data"][0] == 0


@pytest.mark.parametrize("size", [22, 0, -1, I32_MIN, -2147483625])
def test_capacity_overflow_then_carrying_on(write, capfd, size):
    data = wd1_record(size, []) + wd1_record(28, [7, 8], event_counter=9)
    r = ER(write(data), "WD1")
    with pytest.raises(BaseException) as info:
        next(r)
    e = info.value
    assert type(e).__name__ == "PanicException"
    assert type(e).__bases__ == (BaseException,)
    assert not isinstance(e, Exception)
    assert e.args == ("capacity overflow",)
    assert "capacity overflow" in capfd.readouterr().err
    ev = next(r)  # carries on after the corrupt header
    assert ev["event_counter"] == 9 and ev["data"].tolist() == [7, 8]
    assert type(e) is panic_type()  # one class for the whole process


def test_wd2_block_over_2_gib_is_a_fault_not_a_misread(write):
    data = (
        wd2_file(2, samples=1, channels=2)
        + wd2_record(2, 1073741825, [], channel_word=2)
        + wd2_record(3, 1, [5.0, 6.0], channel_word=2)
    )
    r = ER(write(data), "WD2")
    assert [next(r)["event_counter"], next(r)["event_counter"]] == [0, 1]
    with pytest.raises(panic_type(), match="capacity overflow"):
        next(r)
    ev = next(r)
    assert ev["event_counter"] == 3 and ev["data"].tolist() == [5.0, 6.0]


def test_directory_as_wd1_raises_the_read_error_once(tmp_path):
    r = ER(str(tmp_path), "WD1")
    with pytest.raises(IsADirectoryError) as info:
        next(r)
    assert info.value.args == ("Is a directory (os error 21)",)
    assert info.value.errno is None
    assert list(r) == []  # latched
    assert list(r) == []


def test_overlapping_use_from_inside_the_numpy_import(write):
    # The first array imports NumPy while the reader is held: a meta-path finder that runs
    # during that import uses the same reader.
    path = write(wd1_record(30) * 2)
    out = run_python(f"""
        import sys, vorn
        r = vorn.EventReader({path!r}, "WD1")
        seen = []
        class Finder:
            def find_spec(self, name, path=None, target=None):
                if not seen:
                    for call in (lambda: next(r), lambda: iter(r)):
                        try:
                            call()
                            seen.append("no error")
                        except RuntimeError as e:
                            seen.append(str(e))
                return None
        sys.meta_path.insert(0, Finder())
        ev = next(r)
        print(seen, ev["event_size"], len(list(r)))
    """)
    assert out.stdout.strip() == "['Already borrowed', 'Already mutably borrowed'] 30 1", out.stderr
