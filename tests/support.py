"""Writers of WD1/WD2 event files and the helpers the tests share (subprocesses, memory, faults)."""

import os
import pathlib
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vorn
from vornkit._layouts import header_dtype


def wd1_record(event_size, samples=None, board_id=1, pattern=2, board_channel=3, event_counter=4, timestamp=5):
    """One WD1 record; by default (event_size - 24) // 2 counting samples."""
    if samples is None:
        samples = np.arange(max(0, (event_size - 24) // 2), dtype="<u2")
    head = np.array((event_size, board_id, pattern, board_channel, event_counter, timestamp), header_dtype("WD1"))
    return head.tobytes() + np.asarray(samples, dtype="<u2").tobytes()


def wd2_record(event_counter, samples, data, timestamp=0, sampling_period=8, channel_word=None):
    """One WD2 record; `channel_word` None writes the 24-byte header without it."""
    fields = (event_counter, timestamp, samples, sampling_period)
    word = channel_word is not None
    head = np.array(fields + (channel_word,) if word else fields, header_dtype("WD2", channel_word=word))
    return head.tobytes() + np.asarray(data, dtype="<f4").tobytes()


def wd2_file(n, samples=4, channels=2, first_counter=0):
    """n agreeing records with channel words (channels >= 2) or without (channels 1)."""
    out = b""
    for i in range(n):
        data = np.arange(channels * samples, dtype="<f4") + 100 * i
        out += wd2_record(
            first_counter + i, samples, data, timestamp=1000 + i, channel_word=channels if channels >= 2 else None
        )
    return out


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
