"""follow over a directory or pattern as the acquisition rotates files, a file rewritten in place,
the partial record left when it stops, and `vornkit follow` on the command line."""

import gzip
import os
import signal
import subprocess
import sys
import threading
import time
import warnings

import pytest

import vornkit
from support import child_env, wd1_record, wd2_file
from vornkit._follow import Follower


def run(first, n, skip=()):
    """n WD1 records of 64 bytes, counters from `first`, the counters in `skip` left out."""
    return b"".join(wd1_record(64, event_counter=first + i) for i in range(n) if first + i not in skip)


def append(path, data, step=100, mode="ab"):
    """Appends `data` in pieces that cut records, as an acquisition writes."""
    for i in range(0, len(data), step):
        with open(path, mode if i == 0 else "ab") as f:
            f.write(data[i : i + step])
        time.sleep(0.002)  # lets the follower see the file between pieces


@pytest.mark.parametrize("style", ["new files", "renamed"])
def test_follow_goes_on_with_each_new_file(tmp_path, style):
    old = tmp_path / "old.wd1"  # older than the run being written: not followed
    old.write_bytes(run(900, 3))
    os.utime(old, (0, 0))
    first = tmp_path / ("run0.wd1" if style == "new files" else "current.wd1")
    first.write_bytes(run(0, 2))
    target = tmp_path if style == "new files" else tmp_path / "*.wd1"
    got = []
    gen = vornkit.follow(target, "WD1", poll=0.005, idle_timeout=60, stop=lambda: len(got) == 30)
    got.append(next(gen))  # the newest file is the one followed

    def writer():
        append(first, run(2, 8))
        for k in (1, 2):
            if style == "new files":
                if k == 1:  # a finished run compressed beside the others: not a run to follow
                    (tmp_path / "run0.wd1.gz").write_bytes(gzip.compress(run(0, 10)))
                append(tmp_path / f"run{k}.wd1", run(100 * k, 10))
            else:  # the file written is renamed when complete and a new one takes its name
                os.replace(first, tmp_path / f"done{k}.wd1")
                append(first, run(100 * k, 10), mode="wb")

    thread = threading.Thread(target=writer)
    thread.start()
    with warnings.catch_warnings(record=True) as warned:
        warnings.simplefilter("always")
        got += gen  # list.extend: `stop` sees each event as it comes
    thread.join()
    passed_over = ["run0.wd1.gz: gzip-compressed data, not a WD1/WD2 event file: passed over"]
    assert [str(w.message).removeprefix(f"{tmp_path}{os.sep}") for w in warned] == (
        passed_over if style == "new files" else []
    )
    expected = [*range(10), *range(100, 110), *range(200, 210)]
    assert [ev["event_counter"] for ev in got] == expected
    names = [os.path.basename(ev["file"]) for ev in got]
    if style == "new files":
        assert names == [f"run{k}.wd1" for k in range(3) for _ in range(10)]
    else:  # the middle run may be found already renamed
        assert names[:10] == names[20:] == ["current.wd1"] * 10 and len(set(names[10:20])) == 1


def test_rewrite_in_place_raises_for_a_file_and_restarts_in_a_directory(tmp_path):
    path = tmp_path / "run.wd1"
    for target in (path, tmp_path):
        path.write_bytes(run(0, 9))
        gen = vornkit.follow(target, "WD1", poll=0.005, idle_timeout=60)
        assert [next(gen)["event_counter"] for _ in range(9)] == list(range(9))
        with open(path, "r+b") as f:  # a new run over the old one, same file, longer
            f.write(run(1000, 12))
        if target == path:
            with pytest.raises(vornkit.FileChangedError, match="rewritten in place") as info:
                next(gen)
            assert info.value.event == 9
        else:
            with pytest.warns(vornkit.FileChangedWarning, match="rewritten in place"):
                assert next(gen)["event_counter"] == 1000
            assert [next(gen)["event_counter"] for _ in range(11)] == list(range(1001, 1012))
        gen.close()


def test_a_file_renamed_away_is_read_to_its_end_before_it_raises(tmp_path):
    path, got = tmp_path / "run.wd1", []
    path.write_bytes(run(0, 3))

    def rotate():  # at the end of the file, once its 3 records are read: 5 more, then rotated
        if len(got) == 3:
            append(path, run(3, 5))
            os.replace(path, tmp_path / "run.wd1.1")
            path.write_bytes(run(100, 2))

    with pytest.raises(vornkit.FileChangedError, match="replaced by another file while being followed, after event 8 "):
        got += vornkit.follow(path, "WD1", poll=0.005, idle_timeout=60, stop=rotate)
    assert [ev["event_counter"] for ev in got] == list(range(8))


@pytest.mark.parametrize("end", ["idle", "stop"])
def test_stopping_with_a_partial_record_warns(tmp_path, end):
    path = tmp_path / "run.wd1"
    path.write_bytes(run(0, 4)[:-10])
    got = []
    kw = {"idle_timeout": 0.05} if end == "idle" else {"stop": lambda: len(got) == 3}
    with pytest.warns(vornkit.FormatWarning, match="54 bytes after the last whole record at byte offset 192"):
        got += vornkit.follow(path, "WD1", poll=0.005, **kw)
    assert [ev["event_counter"] for ev in got] == [0, 1, 2]


def test_cli_follow_growing_file_to_ctrl_c_and_into_a_closed_pipe(tmp_path):
    path = tmp_path / "run.wd1"
    path.write_bytes(run(0, 3))
    cmd = [sys.executable, "-m", "vornkit", "follow", str(path), "--interval", "0.01"]
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=child_env())
    first = proc.stdout.readline()  # recognised and following
    assert first.endswith(f"following {path}\n")
    append(path, run(3, 17, skip={7, 8, 12}))
    count = 0
    while count < 17:  # lines "HH:MM:SS 17 events, ..."
        line = proc.stdout.readline()
        assert line, proc.stderr.read()
        count = int(line.split()[1]) if " events, " in line else count
    assert count == 17 and line.split(";")[1] == " last #19 t=5 board 1 channel 3, 20 samples\n"
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 0 and err == ""
    assert out.splitlines()[-1].startswith("total after ")
    assert ": 17 events, " in out.splitlines()[-1] and "gaps 2 (3 missing)" in out.splitlines()[-1]

    # `| head`: the reader closes the pipe after one line; the command ends quietly.
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=child_env())
    proc.stdout.readline()
    proc.stdout.close()
    assert proc.wait(timeout=60) == 141 and proc.stderr.read() == b""
    assert proc.stderr.read() == b""


def test_a_run_starting_like_a_zip_or_written_to_after_the_next_appeared_is_read(tmp_path):
    (tmp_path / "run0.wd2").write_bytes(wd2_file(3))
    gen = vornkit.follow(tmp_path, "WD2", poll=0.005, idle_timeout=10)
    got = [next(gen) for _ in range(3)]
    (tmp_path / "run1.wd2").write_bytes(wd2_file(2, first_counter=0x04034B50))  # starts "PK\3\4"
    got += [next(gen) for _ in range(2)]
    os.replace(tmp_path / "run0.wd2", tmp_path / "old.wd2")  # renamed, then its last records flushed
    with open(tmp_path / "old.wd2", "ab") as f:
        f.write(wd2_file(5)[180:])
    got += [next(gen) for _ in range(2)]
    gen.close()
    assert [ev["event_counter"] for ev in got] == [0, 1, 2, 0x04034B50, 0x04034B51, 3, 4]


def bounded(fn, seconds=60):
    """fn() in a thread: its result, or a failure if it has not returned within `seconds` (a hang)."""
    out = []
    t = threading.Thread(target=lambda: out.append(fn()), daemon=True)
    t.start()
    t.join(seconds)
    assert not t.is_alive(), "did not return"
    return out[0]


def counters(chunk):
    return [] if chunk.cols is None else chunk.cols["event_counter"].tolist()


def test_follow_never_stalls(tmp_path):
    # The newest file an aborted WD2 run, too short for the channel probe: once a newer run exists
    # it is passed over (one FormatWarning) and the newer one read; read after all once it grows.
    d = tmp_path / "runs"
    d.mkdir()
    aborted = wd2_file(2, channels=2, first_counter=100)
    (d / "a.wd2").write_bytes(aborted[: len(aborted) // 2])
    follower = Follower(d, "WD2", None, 0.01, 10, None, "raise")
    chunks = follower.chunks()
    assert next(chunks).cols is None  # waiting for a.wd2 to hold two records
    got = []
    with pytest.warns(vornkit.FormatWarning, match="a.wd2: .*too short.*passed over") as caught:
        (d / "b.wd2").write_bytes(wd2_file(5, channels=2))
        while len(got) < 5:
            got += counters(next(chunks))
        with open(d / "a.wd2", "ab") as f:
            f.write(aborted[len(aborted) // 2 :])
        while len(got) < 7:
            got += counters(next(chunks))
    chunks.close()
    assert got == [0, 1, 2, 3, 4, 100, 101] and len(caught) == 1

    # A FIFO with no writer: opened without waiting, the missing writer counted as idle time.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    assert bounded(lambda: list(vornkit.follow(fifo, "WD1", poll=0.01, idle_timeout=0.2))) == []

    # idle_timeout=0 reads what is there and returns; poll is a positive finite number.
    (tmp_path / "r.wd1").write_bytes(run(0, 7))
    assert [ev["event_counter"] for ev in vornkit.follow(tmp_path / "r.wd1", "WD1", idle_timeout=0)] == list(range(7))
    for poll in (0, -1, float("inf"), float("nan"), True, "1"):
        with pytest.raises(ValueError, match="poll must be a positive finite number"):
            next(vornkit.follow(tmp_path / "r.wd1", "WD1", poll=poll))


def test_follow_for_a_shift(tmp_path):
    # A path that does not exist yet: waited for (said once), read once it appears; an error only
    # when the idle timeout passes first.
    path = tmp_path / "later" / "run.wd1"
    told = []
    f = Follower(path, "WD1", None, 0.01, 30, None, "skip")
    f.waiting_for = told.append
    chunks = f.chunks()
    assert next(chunks).cols is None and next(chunks).cols is None
    assert told == [str(path)] and f.stats.waiting == str(path)
    path.parent.mkdir()
    damaged = run(0, 3) + b"\xff" * 40 + run(3, 4, skip={4})
    path.write_bytes(damaged)
    first = next(c for c in chunks if c.cols is not None)
    assert first.catchup and f.stats.waiting is None
    while not f.stats.caught_up:
        next(chunks)
    s = f.stats
    assert (s.path, s.events, s.catchup_events, s.file_offset, s.file_size) == (
        str(path),
        6,
        6,
        len(damaged),
        len(damaged),
    )
    assert (s.gaps, s.missing, s.last_counter) == (1, 1, 6) and [d[2:] for d in s.damaged] == [(192, 40)]
    # A newer run beside the file followed alone: said once (NewerRunWarning).
    with pytest.warns(vornkit.NewerRunWarning, match="next.wd1: a newer run beside") as caught:
        (tmp_path / "later" / "next.wd1").write_bytes(run(0, 1))
        os.utime(path, ns=(1, 1))
        for _ in range(5):
            next(chunks)
    chunks.close()
    assert len(caught) == 1 and f.stats.newer == str(tmp_path / "later" / "next.wd1")
    with pytest.raises(FileNotFoundError, match="did not appear within the idle timeout"):
        list(vornkit.follow(tmp_path / "never", "WD1", poll=0.01, idle_timeout=0.1))

    # Files that are not runs in a directory (a log being written): passed over with one warning.
    d = tmp_path / "runs"
    d.mkdir()
    (d / "run.wd1").write_bytes(run(0, 2))
    gen = vornkit.follow(d, "WD1", poll=0.01, idle_timeout=30)
    with pytest.warns(vornkit.FormatWarning, match="daq.log: .*passed over") as caught:
        assert [next(gen)["event_counter"] for _ in range(2)] == [0, 1]
        (d / "daq.log").write_text("12:00:01 run started, trigger rate 1 kHz\n" * 3)
        append(d / "run.wd1", run(2, 3))
        assert [next(gen)["event_counter"] for _ in range(3)] == [2, 3, 4]
        with open(d / "daq.log", "a") as log:
            log.write("12:00:02 still running\n")
        append(d / "run.wd1", run(5, 1))
        assert next(gen)["event_counter"] == 5
    gen.close()
    assert len(caught) == 1

    # The command: "waiting for PATH" then an error at the idle timeout; timestamps as seconds
    # with --clock; the catch-up on a line of its own, apart from the rates.
    cmd = [sys.executable, "-m", "vornkit", "follow", "--kind", "WD1", "--idle-timeout", "0.2"]
    gone = subprocess.run([*cmd, str(tmp_path / "never")], capture_output=True, text=True, env=child_env(), timeout=60)
    assert gone.returncode == 1 and "waiting for " + str(tmp_path / "never") in gone.stdout
    assert gone.stderr.count("\n") == 1 and "did not appear" in gone.stderr
    os.utime(d / "daq.log")  # the newest file of the directory: the run is followed all the same
    cmd = [sys.executable, "-m", "vornkit", "follow", str(d), "--idle-timeout", "0.2", "--clock", "1000"]
    shown = subprocess.run(cmd, capture_output=True, text=True, env=child_env(), timeout=60)
    assert shown.returncode == 0 and f"following {d / 'run.wd1'}" in shown.stdout
    assert "caught up with 6 events (0.00 MB) already written" in shown.stdout
    assert shown.stdout.rstrip().endswith("last #5 t=0.005000 s board 1 channel 3, 20 samples"), shown.stdout
    assert shown.stderr.count("\n") == 1 and "daq.log: a text file" in shown.stderr
