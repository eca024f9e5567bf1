"""vornkit.convert: each format read back exactly with its metadata; failures leave no output, an
existing output untouched and no temporary; refusal without force; the command line."""

import errno
import json
import os
import pathlib
import shutil
import subprocess
import sys

import numpy as np
import pytest

import vorn
import vornkit
from support import child_env, run_python, wd1_record, wd2_record
from vornkit import _convert

DATA = pathlib.Path(__file__).resolve().parent.parent / "examples" / "data"
MIXED_WD2 = b"".join(wd2_record(i, s, np.arange(2 * s) + i, channel_word=2) for i, s in enumerate([3, 3, 1, 0, 5]))
CORRUPT_WD1 = wd1_record(1048) * 2 + wd1_record(22, samples=[]) + wd1_record(26, event_counter=9)
SUFFIXES = [(".parquet", "pyarrow"), (".h5", "h5py"), (".npz", "numpy")]


def load(path):
    """(columns, each event's samples flattened, metadata) of an output, read as its docs say."""
    if path.suffix == ".parquet":
        import pyarrow as pa
        import pyarrow.parquet as pq

        table = pq.read_table(path)
        meta = json.loads(table.schema.metadata[b"vornkit"])
        col = table["data"].combine_chunks()
        if meta["layout"] == "fixed":  # no Python per sample: the values reshaped
            assert pa.types.is_fixed_size_list(col.type)
            values = col.flatten().flatten() if meta["kind"] == "WD2" else col.flatten()
            events = list(values.to_numpy().reshape(len(table), -1))
        else:
            events = [np.ravel(np.asarray(ev, meta["data_dtype"])) for ev in col.to_pylist()]
        return {k: table[k].to_numpy() for k in table.column_names if k != "data"}, events, meta
    if path.suffix == ".h5":
        import h5py

        with h5py.File(path) as f:
            cols = {k: f[k][()] for k in f}
            meta = json.loads(f.attrs["metadata"])
            assert f.attrs["kind"] == meta["kind"] and f["data"].attrs["units"] == meta["data_units"]
    else:
        with np.load(path) as z:
            cols = dict(z)
        meta = json.loads(cols.pop("metadata")[()])
    data = cols.pop("data")
    offsets = cols.pop("offsets", None)
    if offsets is None:
        events = list(data.reshape(len(data), -1))
    else:
        events = [data[a:b] for a, b in zip(offsets[:-1], offsets[1:], strict=True)]
    return cols, events, meta


RUN_WD2 = (DATA / "run.wd2").read_bytes()
CASES = {  # kind, file bytes, bytes of its last record, layout
    "wd1": ("WD1", (DATA / "run.wd1").read_bytes(), 1048, "fixed"),
    "wd2": ("WD2", RUN_WD2, len(RUN_WD2) // 10, "fixed"),
    "wd2 mixed sizes": ("WD2", MIXED_WD2, 68, "variable"),
    # Two records' worth of bytes in three: a guess from the first record and the size fails.
    "wd1 sizes": ("WD1", wd1_record(1048) + wd1_record(524, event_counter=5) * 2, 524, "variable"),
}


@pytest.mark.parametrize("suffix,lib", SUFFIXES)
@pytest.mark.parametrize("case", CASES)
def test_each_format_reads_back_exactly_with_metadata(tmp_path, suffix, lib, case):
    pytest.importorskip(lib)
    kind, contents, last, layout = CASES[case]
    inputs = tmp_path / "in"
    inputs.mkdir()
    (inputs / "a.run").write_bytes(contents)
    (inputs / "b.run").write_bytes(contents[:-last])  # one event fewer
    out = tmp_path / ("out" + suffix)
    result = vornkit.convert(inputs, out, step=2)  # a directory, read in chunks of two events
    files = sorted(str(p) for p in inputs.iterdir())
    expected = [(i, j, ev) for i, f in enumerate(files) for j, ev in enumerate(vorn.EventReader(f, kind))]
    cols, events, meta = load(out)
    assert result.events == len(expected) == len(events) and result.files == 2
    assert cols["file"].tolist() == [i for i, _, _ in expected] and cols["entry"].tolist() == [
        j for _, j, _ in expected
    ]
    for name in expected[0][2]:
        if name != "data":
            assert cols[name].tolist() == [ev[name] for _, _, ev in expected], name
    assert [e.tobytes() for e in events] == [ev["data"].tobytes() for _, _, ev in expected]
    assert (meta["kind"], meta["layout"], meta["channels"]) == (kind, layout, 1 if kind == "WD1" else 2)
    assert meta["source_files"] == files and meta["source_sizes"] == [os.path.getsize(f) for f in files]
    assert meta["vorn_version"]


def test_an_empty_wd2_run_converts_as_no_events(tmp_path):
    (tmp_path / "b.wd2").write_bytes(b"")
    assert vornkit.convert([DATA / "run.wd2", tmp_path / "b.wd2"], tmp_path / "out.npz", "WD2").events == 10
    assert (meta := load(tmp_path / "out.npz")[2])["layout"] == "fixed" and meta["channels"] == 2


def test_inputs_of_different_kinds_or_the_output_itself_are_refused(tmp_path):
    wd2 = tmp_path / "b.wd2"
    wd2.write_bytes(MIXED_WD2)
    with pytest.raises(ValueError, match="different kinds"):
        vornkit.convert([DATA / "run.wd1", wd2], tmp_path / "out.npz")
    assert os.listdir(tmp_path) == ["b.wd2"]
    (tmp_path / "link.npz").symlink_to(wd2)  # the output a link to an input: force keeps the run
    with pytest.raises(ValueError, match="the output is the input"):
        vornkit.convert(wd2, tmp_path / "link.npz", "WD2", force=True)
    assert wd2.read_bytes() == MIXED_WD2


def full_disk(*args, **kwargs):
    """iterate's first chunk, then the disk fills."""
    yield next(vornkit.iterate(*args, **kwargs))
    raise OSError(errno.ENOSPC, "No space left on device")


def test_failures_leave_no_output_and_an_existing_one_untouched(tmp_path, monkeypatch):
    src = tmp_path / "bad.wd1"
    src.write_bytes(CORRUPT_WD1)
    for suffix, lib in SUFFIXES:
        pytest.importorskip(lib)
        out = tmp_path / ("out" + suffix)
        with pytest.raises(vornkit.CorruptRecordError):
            vornkit.convert(src, out)
        assert not out.exists()
        out.write_bytes(b"old")
        with pytest.raises(FileExistsError):
            vornkit.convert(src, out, on_corrupt="skip")
        with pytest.raises(vornkit.CorruptRecordError):
            vornkit.convert(src, out, force=True)

        with monkeypatch.context() as m:
            m.setattr(_convert, "iterate", full_disk)
            with pytest.raises(OSError, match="No space"):
                vornkit.convert(src, out, force=True, on_corrupt="skip", step=1)
        assert out.read_bytes() == b"old"
        with pytest.warns(vornkit.CorruptRecordWarning, match="24 damaged bytes") as caught:  # from the reading thread
            assert vornkit.convert(src, out, force=True, on_corrupt="warn").events == 3
        assert [w.filename for w in caught] == [__file__]
        assert [e.size for e in load(out)[1]] == [512, 512, 1]
        assert load(out)[2]["skipped"] == [[[2, 2096, 24]]]  # the span passed over, in the metadata
    assert sorted(os.listdir(tmp_path)) == ["bad.wd1", "out.h5", "out.npz", "out.parquet"]  # no temporary left


def test_a_file_size_limit_in_an_hdf5_write_raises_the_write_error(tmp_path):
    pytest.importorskip("h5py")
    (tmp_path / "run.wd1").write_bytes(wd1_record(2072) * 2000)
    code = """
    import os, resource, sys, vornkit
    resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20,) * 2)
    try:
        vornkit.convert(sys.argv[1], sys.argv[2], "WD1")
    except OSError as e:
        print("OSError", e.errno, flush=True)
    os._exit(0)  # the library a failed write leaves can fault at exit
    """
    done = run_python(code, tmp_path / "run.wd1", tmp_path / "out.h5")
    assert done.stdout == "OSError 27\n" and os.listdir(tmp_path) == ["run.wd1"], done.stderr[-2000:]


def test_cli_refuses_an_existing_output_and_prints_a_summary(tmp_path):
    out = tmp_path / "out.npz"
    shutil.copy(DATA / "run.wd1", tmp_path / "run.wd1")
    run = [sys.executable, "-m", "vornkit", "convert", str(tmp_path / "*.wd1"), str(tmp_path / "run.wd1"), str(out)]
    same = subprocess.run(run, capture_output=True, text=True, env=child_env(), timeout=120)
    assert same.returncode == 1 and "the same file" in same.stderr and not out.exists()
    del run[-2]
    done = subprocess.run(run, capture_output=True, text=True, env=child_env(), timeout=120)
    assert done.returncode == 0 and "16 events from 1 file" in done.stdout
    again = subprocess.run(run, capture_output=True, text=True, env=child_env(), timeout=120)
    assert again.returncode == 2 and again.stderr.count("\n") == 1 and "--force" in again.stderr
    forced = subprocess.run([*run, "--force", "--compression", "deflate"], capture_output=True, env=child_env())
    assert forced.returncode == 0 and len(load(out)[1]) == 16


def test_cli_says_why_a_run_with_a_lost_first_trigger_breaks(tmp_path):
    (tmp_path / "run.wd2").write_bytes(b"".join(wd2_record(c, 64, [0.5] * 128, channel_word=2) for c in (0, 2, 3)))
    run = [sys.executable, "-m", "vornkit", "convert", str(tmp_path / "run.wd2"), str(tmp_path / "out.npz")]
    broken = subprocess.run(run, capture_output=True, text=True, env=child_env(), timeout=120)
    assert broken.returncode == 1 and "corrupt" in broken.stderr and "give --channels 2" in broken.stderr


def test_the_documented_parquet_read_back_gives_the_run(tmp_path, monkeypatch):
    """docs/convert.md's row-group recipe, run on converted sample runs of both kinds (in
    several row groups), gives what arrays() gives."""
    pq = pytest.importorskip("pyarrow.parquet")
    import re

    text = (pathlib.Path(__file__).resolve().parent.parent / "docs" / "convert.md").read_text()
    recipe = next(b for b in re.findall(r"```python\n(.*?)```", text, re.S) if "read_row_group" in b)
    monkeypatch.setattr(_convert, "GROUP_BYTES", 4096)
    for kind in ("WD1", "WD2"):
        run = DATA / f"run.{kind.lower()}"
        copy = shutil.copy(run, tmp_path / run.name)
        out = str(tmp_path / f"{kind}.parquet")
        vornkit.convert([run, copy], out)
        assert pq.ParquetFile(out).num_row_groups > 2
        scope: dict[str, object] = {}
        exec(recipe.replace('"runs.parquet"', repr(out)), scope)
        want = vornkit.arrays(run, kind)
        np.testing.assert_array_equal(scope["data"], np.concatenate([want["data"]] * 2))
        headers = scope["headers"]
        for name in vornkit._format.field_names(kind):
            np.testing.assert_array_equal(headers[name], np.concatenate([want[name]] * 2), err_msg=name)
        assert headers["file"].tolist() == [0] * len(want["data"]) + [1] * len(want["data"])
