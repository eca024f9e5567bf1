"""Memory given back after big events, signal handlers ending waits, records kept when an event cannot be built."""

import importlib.util
import os
import pickle
import signal
import subprocess
import sys
import textwrap

import pytest

import vorn
from support import child_env, events_of, needs_plain_memory, open_fds, run_python, wd1_record, wd2_file, wd2_record

ER = vorn.EventReader

# ---------------------------------------------------------------------------------------
# Memory

# What the block cache may keep in all (4 MiB + 64 KiB), and a MiB of slack.
MEMORY_BOUND_KIB = 4 * 1024 + 64 + 1024

_RSS_AFTER_DROPPING = """
import gc, sys, vorn
from support import rss_kib
path, small, kind, pattern = sys.argv[1:]
for ev in vorn.EventReader(small, kind):  # loads NumPy's array API
    pass
del ev
gc.collect()
before = rss_kib()
if pattern == "streamed":
    n = sum(1 for ev in vorn.EventReader(path, kind))
else:
    held = list(vorn.EventReader(path, kind))
    n = len(held)
    del held
gc.collect()
print(n, before, rss_kib() - before)
"""


@needs_plain_memory
@pytest.mark.parametrize("pattern", ["streamed", "held"])
@pytest.mark.parametrize("mib", [60, 3])
@pytest.mark.parametrize("kind", ["WD1", "WD2"])
def test_big_events_give_their_memory_back(tmp_path, kind, mib, pattern):
    # Four events read and dropped one by one, or all held and then dropped together: the
    # resident size ends where it started, give or take what the block cache may keep.
    block = mib << 20
    path, small = tmp_path / "big", tmp_path / "small"
    with open(path, "wb") as f:  # sparse: the samples are holes, read as zeros
        for i in range(4):
            f.write(
                wd1_record(24 + block, samples=[], event_counter=i) if kind == "WD1" else wd2_record(i, block // 4, [])
            )
            f.seek(block, os.SEEK_CUR)
        f.truncate()
    small.write_bytes(wd1_record(30) if kind == "WD1" else wd2_file(2, channels=1))
    out = run_python(_RSS_AFTER_DROPPING, path, small, kind, pattern)
    assert out.returncode == 0, out.stderr
    n, before, grown = map(int, out.stdout.split())
    print(f"{kind} 4 x {mib} MiB {pattern}: {before} KiB before, {grown:+} KiB after")
    assert n == 4
    assert grown < MEMORY_BOUND_KIB


# ---------------------------------------------------------------------------------------
# Signal handlers during a wait on a FIFO

# Feeds a FIFO to this process: writes the bytes before the cut, waits until the reader
# sleeps in its read (FIFO drained) or, in "open" mode, in its open, sends SIGALRM, and
# writes the rest once it reads "go" on stdin. A hang guard, not a time limit: a reader
# that neither sends "go" nor closes stdin gets nothing more (in "open" mode, a writer
# that opens and leaves), and the writer exits with status 3.
_WRITER = """
import fcntl, os, select, signal, struct, sys, termios, time
fifo, mode, pid, cut, source = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
data = open(source, "rb").read()

def reader_waits(fd):
    if fd is not None and struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, bytes(4)))[0] != 0:
        return False
    with open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[0] == "S"

fd = None if mode == "open" else os.open(fifo, os.O_WRONLY)
if fd is not None:
    os.write(fd, data[:cut])
while not reader_waits(fd):
    time.sleep(0.001)
os.kill(pid, signal.SIGALRM)
waited = select.select([sys.stdin], [], [], 60)[0]
go = waited and sys.stdin.readline() == "go\\n"
if fd is None:
    if not waited:
        os.close(os.open(fifo, os.O_WRONLY))
else:
    if go:
        os.write(fd, data[cut:])
    os.close(fd)
sys.exit(0 if waited else 3)
"""


class Alarm(Exception):
    pass


@pytest.fixture
def fifo_feed(tmp_path):
    """fifo_feed(data, cut, mode) -> (fifo path, writer process) with SIGALRM handled by raising Alarm."""
    procs = []
    old = signal.getsignal(signal.SIGALRM)

    def raising(signum, frame):
        raise Alarm

    def start(data, cut, mode="read"):
        fifo, source = tmp_path / "fifo", tmp_path / "source"
        os.mkfifo(fifo)
        source.write_bytes(data)
        signal.signal(signal.SIGALRM, raising)
        argv = [sys.executable, "-c", textwrap.dedent(_WRITER), fifo, mode, str(os.getpid()), str(cut), source]
        procs.append(subprocess.Popen(argv, stdin=subprocess.PIPE))
        return str(fifo), procs[-1]

    yield start
    signal.signal(signal.SIGALRM, old)
    for p in procs:
        p.stdin.close()
        try:
            p.wait(timeout=90)
        finally:
            p.kill()


def go(writer):
    writer.stdin.write(b"go\n")
    writer.stdin.flush()


def data_event(ev):
    return ("event", {k: (v.tobytes() if k == "data" else v) for k, v in ev.items()})


WD1_RECORDS = [
    wd1_record(24 + 2 * 10, event_counter=0),
    wd1_record(24 + 2 * 100_000, event_counter=1),
    wd1_record(26, event_counter=2),
]
INSIDE_HEADER = len(WD1_RECORDS[0]) + 10
INSIDE_SAMPLES = len(WD1_RECORDS[0]) + 24 + 100_001  # mid-sample, past the direct-read size


@pytest.mark.parametrize(
    "cut, raises",
    [
        (INSIDE_HEADER, True),
        (INSIDE_SAMPLES, True),
        (INSIDE_SAMPLES, False),
    ],
    ids=["header-raises", "samples-raises", "samples-retries"],
)
def test_signal_during_a_read_wait(write, fifo_feed, cut, raises):
    # A handler that raises ends the wait with its own exception, and the next call returns
    # the record whole; one that does not raise (here: it lets the writer go on) just lets
    # the read continue. Either way, every record comes out exactly once, byte-exact.
    data = b"".join(WD1_RECORDS)
    expected = events_of(write(data), "WD1")
    fifo, writer = fifo_feed(data, cut)
    calls = []
    if not raises:
        signal.signal(signal.SIGALRM, lambda signum, frame: (calls.append(signum), go(writer)))
    r = ER(fifo, "WD1")
    got, alarms = [], 0
    while True:
        try:
            got.append(data_event(next(r)))
        except Alarm:
            alarms += 1
            go(writer)
        except StopIteration:
            break
    assert got == expected
    assert (alarms, len(calls)) == ((1, 0) if raises else (0, 1))


@pytest.mark.parametrize(
    "kind, mode, cut",
    [
        ("WD1", "open", 0),  # no writer yet
        ("WD2", "read", 28 + 400_000 + 10),  # the probe waits inside the second header
    ],
    ids=["open", "probe"],
)
def test_signal_during_the_constructors_wait(fifo_feed, kind, mode, cut):
    fifo, writer = fifo_feed(wd2_file(2, samples=50_000), cut, mode)
    before = open_fds()
    with pytest.raises(Alarm):
        ER(fifo, kind)
    assert open_fds() == before
    writer.stdin.close()
    assert writer.wait(timeout=90) == 0  # the handler ended the wait, not the writer's guard


# ---------------------------------------------------------------------------------------
# A record whose event cannot be built stays pending

_BUILD_FAILS = """
import os, pickle, sys
path, kind, cause = sys.argv[1:]
class CtrlC:  # Ctrl-C while NumPy is being imported for the first array
    def find_spec(self, name, path=None, target=None):
        if name == "numpy":
            raise KeyboardInterrupt
if cause == "numpy":
    sys.modules["numpy"] = None
elif cause == "interrupt":
    sys.meta_path.insert(0, CtrlC())
import vorn

def event(ev):
    return ("event", {k: (v.tobytes() if k == "data" else v) for k, v in ev.items()})

failures, runs = [], []
if cause in ("numpy", "interrupt"):
    assert list(vorn.EventReader(os.devnull, "WD1")) == []  # the end of data needs no NumPy
    r = vorn.EventReader(path, kind)
    for attempt in range(2):
        try:
            next(r)
        except BaseException as e:
            failures.append((type(e).__name__, str(e)))
    sys.modules.pop("numpy", None)
    sys.meta_path = [f for f in sys.meta_path if not isinstance(f, CtrlC)]
    runs.append([event(ev) for ev in r])
else:
    # The k-th allocation of one next() fails, for every k until ten in a row succeed.
    import _testcapi
    next(vorn.EventReader(path, kind))  # loads NumPy's array API
    k, streak = 0, 0
    while streak < 10:
        r = vorn.EventReader(path, kind)
        _testcapi.set_nomemory(k, k + 1)
        try:
            ev = next(r)
        except BaseException as e:
            _testcapi.remove_mem_hooks()
            failures.append((type(e).__name__, str(e)))
            streak = 0
            ev = next(r)
        else:
            _testcapi.remove_mem_hooks()
            streak += 1
        runs.append([event(ev)] + [event(e) for e in r])
        k += 1
sys.stdout.buffer.write(pickle.dumps((failures, runs)))
"""


# Header values outside the interpreter's cached small ints, so that each costs an allocation.
def wd1_built(n):
    return wd1_record(
        24 + 2 * n, board_id=301, pattern=302, board_channel=303, event_counter=304, timestamp=305
    ) + wd1_record(26, event_counter=9)


def wd2_built(n):
    return b"".join(
        wd2_record(300 + i, n, [i + 0.5] * (2 * n), timestamp=2**40, sampling_period=1000, channel_word=2)
        for i in range(2)
    )


@pytest.mark.parametrize("cause", ["numpy", "interrupt", "nomemory"])
@pytest.mark.parametrize(
    "kind, data",
    [
        ("WD1", wd1_built(10)),
        ("WD1", wd1_built(40_000)),
        ("WD2", wd2_built(4)),
        ("WD2", wd2_built(10_000)),
    ],
    ids=["WD1-small", "WD1-large", "WD2-small", "WD2-large"],
)
def test_record_comes_back_after_its_event_could_not_be_built(write, kind, data, cause):
    if cause == "nomemory" and importlib.util.find_spec("_testcapi") is None:
        pytest.skip("this interpreter has no _testcapi")
    path = write(data)
    out = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(_BUILD_FAILS), path, kind, cause],
        capture_output=True,
        env=child_env(),
        timeout=300,
    )
    assert out.returncode == 0, out.stderr.decode()
    failures, runs = pickle.loads(out.stdout)
    expected = events_of(path, kind)
    assert all(run == expected for run in runs)
    # An interruption is raised as itself, never wrapped.
    assert failures and {name for name, _ in failures} == {
        "KeyboardInterrupt" if cause == "interrupt" else "PanicException"
    }
    if cause == "interrupt":
        assert len(failures) == 2
    if cause == "numpy":
        assert len(failures) == 2
        assert all(text.startswith("Failed to access NumPy array API capsule") for _, text in failures)
