"""Writers of WD1/WD2 event files and small helpers shared by the tests."""

import os
import struct

import numpy as np
import pytest


def wd1_record(event_size, samples=None, board_id=1, pattern=2, board_channel=3,
               event_counter=4, timestamp=5):
    """One WD1 record; by default (event_size - 24) // 2 counting samples."""
    if samples is None:
        samples = np.arange(max(0, (event_size - 24) // 2), dtype="<u2")
    head = struct.pack("<6i", event_size, board_id, pattern, board_channel, event_counter, timestamp)
    return head + np.asarray(samples, dtype="<u2").tobytes()


def wd2_record(event_counter, samples, data, timestamp=0, sampling_period=8, channel_word=None):
    """One WD2 record; `channel_word` None writes the 24-byte header without it."""
    head = struct.pack("<IQIQ", event_counter, timestamp, samples, sampling_period)
    if channel_word is not None:
        head += struct.pack("<i", channel_word)
    return head + np.asarray(data, dtype="<f4").tobytes()


def wd2_file(n, samples=4, channels=2, first_counter=0):
    """n agreeing records with channel words (channels >= 2) or without (channels 1)."""
    out = b""
    for i in range(n):
        data = np.arange(channels * samples, dtype="<f4") + 100 * i
        out += wd2_record(first_counter + i, samples, data, timestamp=1000 + i,
                          channel_word=channels if channels >= 2 else None)
    return out


# Under AddressSanitizer freed memory sits in quarantine, so resident-size checks say
# nothing there; LeakSanitizer checks for leaks instead.
SANITIZED = bool(os.environ.get("VORN_SANITIZED"))
needs_plain_memory = pytest.mark.skipif(SANITIZED, reason="resident size is meaningless under ASan")


def open_fds():
    return len(os.listdir("/proc/self/fd"))


@pytest.fixture
def write(tmp_path):
    """write(bytes, name="f.bin") -> str path of a new file with those bytes."""
    def _write(data, name="f.bin"):
        path = tmp_path / name
        path.write_bytes(data)
        return str(path)
    return _write
