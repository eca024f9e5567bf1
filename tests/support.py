"""The WD1/WD2 record writer and sample mixer, and the helpers the tests share (subprocesses, memory, faults)."""

import os
import pathlib
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vorn
from vornkit._layouts import SAMPLE_DTYPE, WD1_HEADER, header_dtype


def record(kind, data=(), **fields):
    """One `kind` record: the header fields named in the layout's field table, then `data` as its samples.

    Fields not given are 0, except WD1's event_size (24 + 2 * len(data)) and WD2's samples
    (len(data) // channels); WD2 has a channel word only when `channels` is given.
    """
    data = np.asarray(data, dtype=SAMPLE_DTYPE[kind])
    if kind == "WD1":
        fields.setdefault("event_size", WD1_HEADER + data.nbytes)
    elif "samples" not in fields:
        fields["samples"] = data.size // fields.get("channels", 1)
    head = np.zeros((), header_dtype(kind, channel_word="channels" in fields))
    for name, value in fields.items():
        head[name] = value  # a name the layout does not have is a KeyError
    return head.tobytes() + data.tobytes()


def wd1_record(event_size, samples=None, board_id=1, pattern=2, board_channel=3, event_counter=4, timestamp=5):
    """record("WD1", ...) with distinct header values; by default (event_size - 24) // 2 counting samples."""
    if samples is None:
        samples = np.arange(max(0, (event_size - WD1_HEADER) // 2))
    header = dict(board_id=board_id, pattern=pattern, board_channel=board_channel, event_counter=event_counter)
    return record("WD1", samples, event_size=event_size, timestamp=timestamp, **header)


def wd2_record(event_counter, samples, data, timestamp=0, sampling_period=8, channel_word=None):
    """record("WD2", ...) with its header fields in file order; `channel_word` None writes the 24-byte header."""
    fields = dict(event_counter=event_counter, timestamp=timestamp, samples=samples, sampling_period=sampling_period)
    if channel_word is not None:
        fields["channels"] = channel_word
    return record("WD2", data, **fields)


def wd2_file(n, samples=4, channels=2, first_counter=0):
    """n agreeing records with channel words (channels >= 2) or without (channels 1)."""
    out = b""
    for i in range(n):
        data = np.arange(channels * samples) + 100 * i
        out += wd2_record(
            first_counter + i, samples, data, timestamp=1000 + i, channel_word=channels if channels >= 2 else None
        )
    return out


def mix(kind, n, seed, counter=0):
    """n samples of `kind` whose bits differ in every record (`counter`) and position, so that stale or
    zeroed memory shows: WD1 1..65535, WD2 floats in [2, 4), never zero or NaN."""
    x = np.arange(n, dtype=np.uint32) * np.uint32(0x9E3779B1)
    x ^= np.uint32((counter * 0x85EBCA77 ^ seed * 0xC2B2AE3D) & 0xFFFFFFFF)
    x ^= x >> 15
    x *= np.uint32(0x2C1B3C6D)
    x ^= x >> 12
    if kind == "WD1":
        return (x % 65535 + 1).astype("<u2")
    return (np.uint32(0x40000000) | (x & np.uint32(0xFFFFFF))).astype("<u4").view("<f4")


# Under AddressSanitizer freed memory sits in quarantine, so resident-size checks say
# nothing there; LeakSanitizer checks for leaks instead.
SANITIZED = bool(os.environ.get("VORN_SANITIZED"))
needs_plain_memory = pytest.mark.skipif(SANITIZED, reason="resident size is meaningless under ASan")


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def rss_kib(field="VmRSS"):
    """Resident size of this process in KiB; "VmSize" for its address space."""
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field))


def child_env(**extra):
    """The environment for a child interpreter that imports the same vorn as this one."""
    return dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), **extra)


def run_python(code, *args, timeout=120, **env):
    """Runs dedented `code` in a new interpreter with `args` in sys.argv; text output."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
        capture_output=True,
        text=True,
        env=child_env(**env),
        timeout=timeout,
    )


# The fault shim (built by tools/test beside the module) wraps read/open for one path.
SHIM = pathlib.Path(vorn.__file__).with_name("libvornfault.so")
needs_shim = pytest.mark.skipif(not SHIM.exists(), reason="fault shim not built (tools/test builds it)")

_READ_ALL = """
import os, pickle, sys, vorn
out = []
r = vorn.EventReader(sys.argv[1], sys.argv[2])
for attempt in range(int(sys.argv[3])):
    try:
        for ev in r:
            out.append(("event", {k: (v.tobytes() if k == "data" else v) for k, v in ev.items()}))
        out.append(("end",))
    except OSError as e:
        out.append(("error", type(e).__name__, e.args))
        os.environ["VORN_FAULT_EIO_AFTER"] = "-1"  # the bad bytes read again once reported
sys.stdout.buffer.write(pickle.dumps(out))
"""


def read_with_faults(path, kind, attempts=1, stats=None, **faults):
    """Reads `path` in a child under the shim; `faults` become VORN_FAULT_<NAME> settings.

    Returns [("event", {...}) | ("end",) | ("error", type name, args)] over `attempts` loops.
    Bytes past `eio_after` fail every read (unless `eio_times` is given) until an error was
    reported, then read again.
    """
    if "eio_after" in faults:
        faults.setdefault("eio_times", 1 << 30)
    preload = f"{os.environ.get('LD_PRELOAD', '')} {SHIM}".strip()  # after a sanitizer runtime, if any
    env = child_env(LD_PRELOAD=preload, VORN_FAULT_PATH=os.path.realpath(path))
    if stats is not None:
        env["VORN_FAULT_STATS"] = str(stats)
    env.update({f"VORN_FAULT_{k.upper()}": str(v) for k, v in faults.items()})
    out = subprocess.run(
        [sys.executable, "-c", _READ_ALL, path, kind, str(attempts)], capture_output=True, env=env, timeout=300
    )
    assert out.returncode == 0, out.stderr.decode()
    return pickle.loads(out.stdout)


def events_of(path, kind):
    """What read_with_faults returns for a read without faults, in this process."""
    return [
        ("event", {k: (v.tobytes() if k == "data" else v) for k, v in ev.items()})
        for ev in vorn.EventReader(path, kind)
    ]
