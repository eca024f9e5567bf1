"""Faults injected into the real read system calls: EINTR storms, 1-byte reads, EIO."""


import numpy as np
import pytest

from support import events_of, needs_shim, read_with_faults, wd1_record, wd2_record

pytestmark = needs_shim


def wd1_mixed():
    sizes = [24, 30, 24 + 2 * 5000, 25, 27, 24 + 2 * 9000, 1048]
    return b"".join(wd1_record(s, np.arange((s - 24) // 2) * 7 + i, event_counter=i) for i, s in enumerate(sizes))


def wd2_mixed(channels=2):
    rng = np.random.default_rng(3)
    out = b""
    for i, n in enumerate([4, 4, 3000, 0, 100, 2048]):
        data = rng.standard_normal(channels * n).astype("<f4")
        out += wd2_record(i, n if i > 1 else 4, data[: channels * (n if i > 1 else 4)],
                          channel_word=channels if channels >= 2 else None, timestamp=i)
    return out


@pytest.mark.parametrize("kind, data", [("WD1", wd1_mixed()), ("WD2", wd2_mixed(2)), ("WD2", wd2_mixed(1))],
                         ids=["WD1", "WD2-2ch", "WD2-1ch"])
@pytest.mark.parametrize("faults", [{"eintr": 3}, {"chunk": 1}, {"chunk": 1000, "eintr": 1}],
                         ids=["eintr", "bytewise", "chunks+eintr"])
def test_files_read_back_identically_under_interrupts_and_short_reads(write, tmp_path, kind, data, faults):
    path = write(data)
    expected = events_of(path, kind)
    assert len(expected) >= 6
    stats = tmp_path / "stats"
    assert read_with_faults(path, kind, stats=stats, **faults) == expected + [("end",)]
    eintrs, reads, largest = map(int, stats.read_text().split())
    assert eintrs == faults.get("eintr", 0) * reads  # the faults really happened
    assert largest == faults.get("chunk", largest) and reads >= len(data) // largest


# A read either returns the bytes before the bad ones, or fails as a whole: the error still
# comes at the record that holds them.
@pytest.mark.parametrize("whole", [0, 1])
def test_eio_mid_file_wd1_raises_then_ends(write, whole):
    path = write(wd1_mixed())
    expected = events_of(path, "WD1")
    # Fail inside the third record's samples.
    got = read_with_faults(path, "WD1", attempts=2, eio_after=24 + 30 + 24 + 4000, eio_whole=whole)
    assert got == expected[:2] + [("error", "OSError", ("Input/output error (os error 5)",)), ("end",)]


# Offsets in the file: inside the second record, inside the third record's samples, inside
# the fourth header.
@pytest.mark.parametrize("whole", [0, 1])
@pytest.mark.parametrize("offset", [60 + 10, 120 + 100, 120 + 24028 + 10])
def test_eio_mid_file_wd2_raises_then_carries_on(write, offset, whole):
    path = write(wd2_mixed(2))
    expected = events_of(path, "WD2")
    probe_bytes = 8192  # the channel-count probe's one buffer fill, before the rewind
    got = read_with_faults(path, "WD2", attempts=2, eio_after=probe_bytes + offset, eio_whole=whole)
    error = ("error", "OSError", ("Input/output error (os error 5)",))
    assert error in got
    at = got.index(error)
    # Nothing lost, nothing twice, nothing corrupted: the record the failure cut short
    # comes back whole once reading resumes.
    assert got[:at] + got[at + 1:] == expected + [("end",)]
