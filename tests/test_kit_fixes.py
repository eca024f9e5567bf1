"""vornkit: what is no run of the kind refused, empty runs, where warnings point, the command line."""

import os
import pathlib
import pickle
import subprocess
import sys
import warnings

import numpy as np
import pytest

import vornkit
from support import child_env, run_python, wd1_record, wd2_file

DATA = pathlib.Path(__file__).resolve().parent.parent / "examples" / "data"
RUN_WD1 = (DATA / "run.wd1").read_bytes()
PNG = b"\x89PNG\r\n\x1a\n" + bytes(range(256)) * 8
ELF = b"\x7fELF\x02\x01\x01" + bytes(9) + bytes(range(256)) * 8
REFUSED = {  # bytes, kind, on_corrupt, what the message says
    "png": (PNG, "WD1", "skip", "a PNG image"),
    "elf": (ELF, "WD2", "raise", "shared library"),
    "text": (b"event,time\n" + b"1,2\n" * 20, "WD2", "raise", "a text file"),
    "wd1 run as wd2": (RUN_WD1, "WD2", "skip", "are WD1 records: give kind='WD1'"),
    "wd2 run as wd1": (wd2_file(6), "WD1", "raise", "give kind='WD2'"),
    "wd1 record sizes broken": (wd1_record(1048) + wd1_record(20) + bytes(30), "WD1", "raise", "hold together"),
}


@pytest.mark.parametrize("name", REFUSED)
def test_files_that_are_no_run_of_the_kind_are_refused_by_every_reader(write, name):
    data, kind, on_corrupt, says = REFUSED[name]
    path = write(data)
    readers = [vornkit.arrays, lambda *a, **k: list(vornkit.events(*a, **k))]
    readers += [lambda *a, **k: list(vornkit.iterate(*a, **k)), lambda *a, **k: list(vornkit.follow(*a, **k))]
    for read in readers:
        with pytest.raises(vornkit.FormatError, match=says) as info:
            read(path, kind, on_corrupt=on_corrupt)
        assert info.value.path == path
    copy = pickle.loads(pickle.dumps(info.value))  # a process pool hands errors back pickled
    assert (str(copy), copy.path, copy.reason) == (str(info.value), path, str(info.value).removeprefix(path + ": "))


def test_runs_being_written_empty_or_with_damaged_first_records_are_read(write):
    record = wd1_record(1048, np.arange(512) + 3000, board_channel=0, event_counter=0, timestamp=0)
    zero = wd1_record(1048, np.zeros(512), board_channel=0, event_counter=0, timestamp=0)
    damaged = bytes(600) + b"".join(wd1_record(510, event_counter=i) for i in range(8))  # zeros fit WD2
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", vornkit.FormatWarning)  # the partial records
        for data, events in ((record[:24], 0), (record + record[:500], 1), (zero[:600], 0)):
            assert len(vornkit.arrays(write(data), "WD1")["event_size"]) == events
        assert len(vornkit.arrays(write(damaged), "WD1", on_corrupt="skip")["event_size"]) == 8
    empty = write(b"")
    assert vornkit.arrays(empty, "WD2")["data"].shape == (0, 1, 0)
    assert list(vornkit.events(empty, "WD2")) == list(vornkit.iterate(empty, "WD2")) == []
    with pytest.raises(OSError, match="does not hold two yet; give channels= to read it"):
        vornkit.arrays(write(wd2_file(1)), "WD2")


TYPES = (("WD1", vornkit.WD1Arrays, vornkit.WD1Chunk), ("WD2", vornkit.WD2Arrays, vornkit.WD2Chunk))


def test_result_types_name_the_keys_that_come_back():
    follows = {"WD1": vornkit.WD1FollowEvent, "WD2": vornkit.WD2FollowEvent}
    columns = {"WD1": vornkit.WD1Columns, "WD2": vornkit.WD2Columns}
    for kind, whole, chunk in TYPES:
        path = str(DATA / f"run.{kind.lower()}")
        assert set(vornkit.arrays(path, kind)) == whole.__required_keys__
        assert set(next(vornkit.iterate(path, kind))) == chunk.__required_keys__
        some = vornkit.arrays(path, kind, columns=["event_counter", "timestamp"])
        assert set(some) < columns[kind].__optional_keys__
        ev = next(vornkit.follow(path, kind, idle_timeout=0.1))  # one file: "file" as well
        assert set(ev) == follows[kind].__required_keys__ and ev["file"] == path


def test_warnings_name_the_callers_line(write):
    path = write(RUN_WD1 + b"\x01\x02")
    with pytest.warns(vornkit.FormatWarning, match="2 bytes after") as caught:
        for _ in vornkit.iterate(path, "WD1", step=4):  # the warning comes from a resumed generator
            line = sys._getframe().f_lineno - 1  # the line of the for
    assert (caught[0].filename, caught[0].lineno) == (__file__, line)
    out = run_python(
        """
        import os, sys, vornkit
        os.chdir(os.path.dirname(vornkit.__file__))  # "<string>" is no file there either
        list(vornkit.events(sys.argv[1], "WD1"))
        """,
        path,
    )
    assert out.stderr.startswith("<string>:4: FormatWarning"), out.stderr


def run_cli(*args, **popen):
    return subprocess.run([sys.executable, "-m", "vornkit", *map(str, args)], text=True, env=child_env(), **popen)


def test_command_line_messages_and_a_closed_pipe(write, capsys):
    empty, png = write(b"", "empty.wd2"), write(PNG, "image.png")
    out = run_cli("info", "-s", empty, png, capture_output=True)
    assert out.stdout == (
        f"{empty}: cannot recognise the format of an empty file or a pipe; give --kind WD1 or --kind WD2\n"
        f"{png}: a PNG image, not a WD1/WD2 event file\n"
    )
    assert run_cli("info", "-s", os.path.dirname(png), capture_output=True).stdout == out.stdout  # the directory
    out = run_cli(
        "convert", write(RUN_WD1 + b"\x01"), os.path.join(os.path.dirname(empty), "out.npz"), capture_output=True
    )
    assert out.returncode == 0 and out.stderr.startswith("vornkit: warning: "), out.stderr
    read_end, write_end = os.pipe()
    os.close(read_end)  # nobody reads: the first write fails
    with os.fdopen(write_end, "w") as stdout:
        out = run_cli("info", DATA / "run.wd1", stdout=stdout, stderr=subprocess.PIPE)
    assert (out.returncode, out.stderr) == (141, "")
    pytest.importorskip("tqdm")
    list(vornkit.iterate(DATA / "run.wd1", "WD1", progress=True))
    bar = capsys.readouterr().err
    assert "1 file:" in bar and bar.endswith("\n") and "100%" in bar.split("\r")[-1], repr(bar)


def test_a_directory_or_a_pattern_reads_as_the_list_of_its_runs(tmp_path):
    runs = [str(tmp_path / "a.wd1"), str(tmp_path / "b.wd1")]
    for i, path in enumerate(runs):
        pathlib.Path(path).write_bytes(b"".join(wd1_record(32, event_counter=10 * i + k) for k in range(3)))
    (tmp_path / "c.wd2").write_bytes(wd2_file(2))  # another layout's run beside them, and a hidden file
    (tmp_path / ".a.wd1.swp").write_bytes(b"x")
    for given in (tmp_path, str(tmp_path / "*.wd1")):
        chunks = [(c["file"][0], c["event_counter"].tolist()) for c in vornkit.iterate(given, "WD1")]
        assert chunks == [(runs[0], [0, 1, 2]), (runs[1], [10, 11, 12])]


def test_a_read_reports_progress_from_the_core_on_any_thread(tmp_path):
    """The callback runs between the reads of one call (here: while a writer stalls), on a
    thread other than the main one too; one that raises ends the call and loses nothing."""
    import threading

    from vornkit._format import _core

    records = [wd1_record(1048, np.arange(512) + i, event_counter=i) for i in range(6)]
    for thread in (True, False):
        fifo = str(tmp_path / f"fifo{thread}")
        os.mkfifo(fifo)
        seen = threading.Event()
        offsets: list[int] = []

        def write(fifo=fifo, seen=seen):
            with open(fifo, "wb", buffering=0) as f:
                f.write(b"".join(records[:3]))
                seen.wait(30)
                f.write(b"".join(records[3:]))

        def progress(offset, seen=seen, offsets=offsets, raises=not thread):
            offsets.append(offset)
            seen.set()
            if raises:
                raise KeyboardInterrupt

        writer = threading.Thread(target=write)
        writer.start()
        reader = _core.Reader(fifo, "WD1")
        got = []
        try:
            if thread:
                t = threading.Thread(target=lambda r=reader, g=got: g.append(r.read(progress=progress)))
                t.start()
                t.join(30)
            else:
                with pytest.raises(KeyboardInterrupt):
                    reader.read(progress=progress)
                got.append(reader.read())
        finally:
            seen.set()
            writer.join()
        assert offsets[0] == 3 * 1048 and offsets == sorted(offsets), offsets
        assert got[0]["event_counter"].tolist() == list(range(6))


def test_arrays_with_a_progress_bar_reads_one_block_and_fills_the_bar_over_the_slice(write, monkeypatch):
    tqdm = pytest.importorskip("tqdm.auto")
    bars = []

    class Bar:
        def __init__(self, total=None, **kwargs):
            self.total, self.n, self.closed = total, 0, False
            bars.append(self)

        def update(self, k):
            assert k >= 0
            self.n += k

        def close(self):
            self.closed = True

    monkeypatch.setattr(tqdm, "tqdm", Bar)
    monkeypatch.setattr(vornkit._arrays, "PROGRESS_BYTES", 4096, raising=False)  # pieces, if it read in pieces
    path = write(b"".join(wd1_record(1048, np.arange(512) + i, event_counter=i) for i in range(40)))
    plain = vornkit.arrays(path, "WD1", start=5, stop=30)
    run = vornkit.arrays(path, "WD1", start=5, stop=30, progress=True)
    np.testing.assert_array_equal(run["data"], plain["data"])
    assert isinstance(run["data"].base.base, type(plain["data"].base.base))  # the core's block, not a join
    assert type(run["data"].base.base).__name__ == "PyCapsule"
    assert [(b.n, b.total, b.closed) for b in bars] == [(25 * 1048, 25 * 1048, True)]
