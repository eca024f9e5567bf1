"""vornkit.dask and dask_dataframe: a campaign equals arrays() file by file, on threads and on a local
cluster; sizes known before reading; only the needed partitions and columns are read; damage and change."""

import os
import pickle
import warnings

import numpy as np
import pytest

import vornkit
from support import child_env, run_python, wd1_record, wd2_file, wd2_record
from vornkit import _dask, _read

dask = pytest.importorskip("dask")
pytest.importorskip("dask.array")
pytest.importorskip("dask.dataframe")


def wd1_run(n, samples, first=0):
    return b"".join(wd1_record(24 + 2 * samples, event_counter=first + i, timestamp=7 * i) for i in range(n))


@pytest.fixture
def campaign(tmp_path):
    """Same-shape runs of different lengths, WD1 (one empty, one of a single record) and WD2."""
    (tmp_path / "wd1").mkdir()
    (tmp_path / "wd2").mkdir()
    runs = {
        "wd1/a.wd1": wd1_run(7, 6),
        "wd1/b.wd1": wd1_run(1, 6, first=40),
        "wd1/c.wd1": b"",
        "wd1/d.wd1": wd1_run(12, 6, first=5),
        "wd2/a.wd2": wd2_file(9, samples=3, channels=2),
        "wd2/b.wd2": wd2_file(4, samples=3, channels=2, first_counter=100),
    }
    for name, data in runs.items():
        (tmp_path / name).write_bytes(data)
    return tmp_path


def no_warning():
    return warnings.catch_warnings(action="error")


def check_against_arrays(got, paths, kind, shaped=True):
    """`got` (computed) holds every file's arrays() end to end, with file and entry."""
    pos = 0
    for path in paths:
        want = vornkit.arrays(path, kind)
        n = len(want["data"]) if "offsets" not in want else len(want["offsets"]) - 1
        for key in want:
            if key not in ("data", "offsets"):
                np.testing.assert_array_equal(got[key][pos : pos + n], want[key], err_msg=key)
        assert got["file"][pos : pos + n].tolist() == [path] * n
        assert got["entry"][pos : pos + n].tolist() == list(range(n))
        if shaped and n:
            np.testing.assert_array_equal(got["data"][pos : pos + n], want["data"])
        elif n:
            ends = got["offsets"][pos : pos + n + 1]
            flat = want["data"].reshape(-1)
            np.testing.assert_array_equal(got["data"][ends[0] : ends[-1]], flat)
            np.testing.assert_array_equal(np.diff(ends), np.diff(want.get("offsets", ends - ends[0])))
        pos += n
    assert pos == len(got["entry"])


def test_an_empty_wd2_run_is_no_events_and_keeps_the_shape(tmp_path):
    (tmp_path / "a.wd2").write_bytes(wd2_file(3, samples=5, channels=2))
    (tmp_path / "b.wd2").write_bytes(b"")  # a run stopped before its first record
    assert vornkit.dask(tmp_path, "WD2")["data"].compute(scheduler="threads").shape == (3, 2, 5)
    assert len(vornkit.dask_dataframe(tmp_path, "WD2").compute(scheduler="threads")) == 3


@pytest.fixture
def cluster():  # closed after its test: a client left active makes dask warn at every compute
    distributed = pytest.importorskip("distributed")
    with pytest.MonkeyPatch.context() as env:
        env.setenv("PYTHONPATH", child_env()["PYTHONPATH"])  # the workers import this vornkit and core
        with distributed.LocalCluster(processes=True, n_workers=2, host="127.0.0.1") as c, distributed.Client(c) as cl:
            yield cl


@pytest.mark.parametrize("scheduler", ["threads", "distributed"])
def test_campaign_equals_arrays_file_by_file(campaign, request, scheduler):
    client = request.getfixturevalue("cluster") if scheduler == "distributed" else None
    for kind, paths, step in [
        ("WD1", str(campaign / "wd1"), 5),
        ("WD1", str(campaign / "wd1" / "[ad].wd1"), "100 B"),
        ("WD2", [campaign / "wd2" / "a.wd2", campaign / "wd2" / "b.wd2"], 4),
    ]:
        d = vornkit.dask(paths, kind, step=step)
        files = _read.expand_paths(paths, kind)
        assert "offsets" not in d and d["data"].ndim == (2 if kind == "WD1" else 3)
        pickle.loads(pickle.dumps(d["data"].__dask_graph__()))
        got = dask.compute(d, scheduler=None if client else "threads")[0]
        check_against_arrays(got, files, kind)
    assert _read.expand_paths(str(campaign / "wd1"), "WD1")[-1].endswith("d.wd1")
    with pytest.raises(FileNotFoundError):
        vornkit.dask(str(campaign / "wd2" / "*.wd1"), "WD1")


def test_shapes_differing_give_flat_data_with_offsets(tmp_path):
    mixed = b"".join(wd1_record(s, event_counter=i) for i, s in enumerate([24, 30, 1048, 23, 25, 64]))
    wd2_three = b"".join(wd2_record(i, 2, np.arange(6) + i, channel_word=3) for i in range(4))
    for kind, runs in [
        ("WD1", {"a.wd1": wd1_run(5, 4), "b.wd1": mixed, "c.wd1": wd1_run(3, 9)}),
        ("WD2", {"a.wd2": wd2_file(3, samples=5, channels=1), "b.wd2": wd2_three}),  # 1 and 3 channels
    ]:
        for name, data in runs.items():
            (tmp_path / name).write_bytes(data)
        paths = [str(tmp_path / name) for name in runs]
        d = vornkit.dask(paths, kind, step=2)
        assert d["data"].ndim == 1 and d["offsets"].shape == (len(d["entry"]) + 1,)
        check_against_arrays(dask.compute(d, scheduler="threads")[0], paths, kind, shaped=False)
    w = vornkit.dask([tmp_path / "a.wd1", tmp_path / "c.wd1"], "WD1", columns=["event_counter"])
    assert "data" not in w and w["n_samples"].compute().tolist() == [4] * 5 + [9] * 3


def test_sizes_are_known_and_only_needed_partitions_and_columns_are_read(campaign, monkeypatch):
    calls = []

    def recording(path, kind, **kw):
        calls.append((os.path.basename(path), kw["start"], kw["stop"], list(kw["columns"])))
        return vornkit.arrays(path, kind, **kw)

    monkeypatch.setattr(_dask, "arrays", recording)
    d = vornkit.dask(campaign / "wd1", "WD1", step=4)
    assert not calls  # the survey reads headers through the core, not arrays()
    assert d["data"].shape == (20, 6) and d["data"].chunks[0] == (4, 3, 1, 4, 4, 4)
    assert d["timestamp"].sum().compute(scheduler="threads") == 7 * (21 + 0 + 66)
    assert calls and all("data" not in c[3] for c in calls)
    calls.clear()
    row = d["data"][13].compute(scheduler="threads")
    assert calls == [("d.wd1", 4, 8, ["data"])]
    np.testing.assert_array_equal(row, vornkit.arrays(campaign / "wd1" / "d.wd1", "WD1")["data"][5])

    frame = vornkit.dask_dataframe(campaign / "wd1", "WD1", step=4)
    assert frame.divisions == (0, 4, 7, 8, 12, 16, 19)
    calls.clear()
    ids = frame[["file", "entry"]].compute(scheduler="threads")
    assert ids["entry"].tolist() == [*range(7), 0, *range(12)]
    assert not calls or not hasattr(frame, "expr")  # columns not read: with the query planner (dask-expr)
    whole = frame.compute(scheduler="threads")
    want = vornkit.to_dataframe(_read.expand_paths(campaign / "wd1", "WD1"), "WD1")
    assert whole.drop(columns="file").reset_index(drop=True).equals(want.drop(columns="file"))
    assert whole["file"].astype(str).tolist() == want["file"].astype(str).tolist()
    with pytest.raises(ValueError, match="header columns only"):
        vornkit.dask_dataframe(campaign / "wd1", "WD1", columns=["data"])


def test_damage_and_change(tmp_path):
    good = wd1_run(6, 4)
    path = tmp_path / "r.wd1"
    path.write_bytes(good[: 3 * 32] + b"\xff" * 24 + good[3 * 32 :])  # a corrupt header after event 2
    with pytest.raises(vornkit.CorruptRecordError):  # as arrays() would, not a silently short campaign
        vornkit.dask(path, "WD1", step=2)
    for on_corrupt in ("skip", "warn"):
        with pytest.warns(vornkit.CorruptRecordWarning) if on_corrupt == "warn" else no_warning():
            d = vornkit.dask(path, "WD1", step=2, on_corrupt=on_corrupt)
        with no_warning():  # warned once, at the survey
            got = d["data"].compute(scheduler="threads")
        np.testing.assert_array_equal(got, vornkit.arrays(path, "WD1", on_corrupt="skip")["data"])

    # Same-size records then a smaller one: counted by the walk, not taken for a partial record.
    path.write_bytes(good + wd1_record(26, event_counter=6))
    got = dask.compute(vornkit.dask(path, "WD1", step=4), scheduler="threads")[0]
    check_against_arrays(got, [str(path)], "WD1", shaped=False)

    path.write_bytes(good)
    d = vornkit.dask(path, "WD1", step=4)
    path.write_bytes(good[: 5 * 32])
    with pytest.raises(vornkit.FileChangedError, match="1 events where 2"):
        d["data"].compute(scheduler="threads")
    path.write_bytes(good[:64] + wd1_run(4, 5, first=2))  # as many events, other sizes
    with pytest.raises(vornkit.FileChangedError, match="samples where"):
        d["data"].compute(scheduler="threads")


def test_vornkit_imports_without_dask_and_names_the_extra():
    code = """
import sys, vornkit
assert "dask" not in sys.modules, "importing vornkit imported dask"
sys.modules["dask"] = None  # as if not installed
for call in (vornkit.dask, vornkit.dask_dataframe):
    try:
        call("x.wd1", "WD1")
    except ImportError as e:
        print(e)
"""
    done = run_python(code)
    assert done.returncode == 0 and done.stdout.count("pip install vorn[dask]") == 2, done.stderr
