"""vornkit.features against the NumPy reference (feature_reference.py): random records of
both layouts, then the sample runs read every way a run is read."""

import os
import tempfile

import numpy as np
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import vornkit
from feature_reference import features as reference
from support import record, wd2_record

EXAMPLES = int(os.environ.get("VORN_HYPOTHESIS_EXAMPLES", "150"))
RUNS = {"WD1": "examples/data/run.wd1", "WD2": "examples/data/run.wd2"}
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXACT = ("amplitude", "peak", "saturated", "t_threshold", "t_cfd")


def assert_features(got, want, data_scale):
    """Integers and the baseline-derived values exactly (NaN equal), float64 sums within a few ulps."""
    for key in EXACT:
        if key not in want:
            continue
        if key in ("t_threshold", "t_cfd"):  # one division, rounded as the platform's floats round it
            np.testing.assert_array_max_ulp(np.asarray(got[key]), np.asarray(want[key]), maxulp=4)
        else:
            np.testing.assert_array_equal(got[key], want[key], err_msg=key)
    for key in ("baseline", "rms", "integral"):
        g, w = np.asarray(got[key]), want[key]
        same = (g == w) | (np.isnan(g) & np.isnan(w))
        with np.errstate(invalid="ignore"):
            close = np.abs(g - w) <= 4 * np.finfo(np.float64).eps * data_scale[key]
        assert np.all(same | close), (key, g[~(same | close)], w[~(same | close)])


def scales(data, n_samples, channels, base):
    """Magnitudes the float64 sums are within ulps of: the largest |sample| and |baseline|, times the samples summed."""
    with np.errstate(all="ignore"):
        top = float(np.nanmax(np.abs(np.where(np.isinf(data), 0, data)), initial=0.0))
        b = float(np.nanmax(np.abs(np.where(np.isinf(base), 0, base)), initial=0.0))
    n = max([int(k) // channels for k in n_samples] + [1])
    return {"baseline": top * n, "rms": 2 * (top + b) * n, "integral": (top + b) * n}


floats32 = st.one_of(
    st.floats(-1e4, 1e4, width=32),
    st.floats(width=32, allow_nan=True, allow_infinity=True),
    st.sampled_from([0.0, -0.0, np.inf, -np.inf, np.nan, 3.4e38]),
)
window = st.tuples(st.integers(0, 40), st.one_of(st.none(), st.integers(0, 48)))


@st.composite
def runs(draw):
    kind = draw(st.sampled_from(["WD1", "WD2"]))
    channels = 1 if kind == "WD1" else draw(st.integers(1, 8))
    sizes = draw(st.lists(st.one_of(st.integers(0, 4), st.integers(0, 40)), min_size=1, max_size=6))
    if kind == "WD1":
        blocks = [np.array(draw(st.lists(st.integers(0, 65535), min_size=s, max_size=s)), np.uint16) for s in sizes]
    else:
        blocks = [
            np.array(draw(st.lists(floats32, min_size=s * channels, max_size=s * channels)), np.float32) for s in sizes
        ]
    b0, b1 = draw(st.tuples(st.integers(0, 40), st.integers(0, 48)))
    options = dict(
        baseline=(b0, b1),
        gate=draw(st.one_of(st.none(), window)),
        polarity=draw(st.sampled_from(["negative", "positive"])),
        saturation=draw(
            st.one_of(st.none(), st.integers(0, 65535), st.tuples(st.integers(0, 9), st.integers(60000, 65535)))
        ),
        threshold=draw(st.one_of(st.none(), st.floats(-1e3, 1e4))),
        cfd=draw(st.one_of(st.none(), st.floats(0.01, 1.0))),
    )
    return kind, channels, blocks, options


def write_run(path, kind, channels, blocks):
    with open(path, "wb") as f:
        for i, block in enumerate(blocks):
            if kind == "WD1":
                f.write(record("WD1", block, event_counter=i))
            else:
                word = channels if channels >= 2 else None
                f.write(wd2_record(i, block.size // channels, block, channel_word=word))


@settings(max_examples=EXAMPLES, deadline=None)
@given(runs(), st.integers(1, 4))
# A record whose samples hold a row of zeros where a header of no samples could start.
@example(
    run=("WD2", 1, [np.array([0, 0, 0, 0, 0, 1], dtype=np.float32)], dict(baseline=(0, 0), polarity="negative")),
    step=1,
)
def test_features_equal_the_reference(run, step):
    """Mixed and tiny records, 1-8 channels, windows inside, across and past the records, NaN
    and infinities: features() of the written file, in chunks of `step` events, is the reference."""
    kind, channels, blocks, options = run
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "run." + kind.lower())
        write_run(path, kind, channels, blocks)
        got = vornkit.features(path, kind, channels=channels if kind == "WD2" else None, step=step, **options)
    data = np.concatenate(blocks)
    counts = [b.size for b in blocks]
    base = np.asarray(got["baseline"]).reshape(len(blocks), channels)
    want = reference(data, counts, channels, base=base, **options)
    want_base = reference(data, counts, channels, **options)
    want["baseline"], want["rms"] = want_base["baseline"], want_base["rms"]
    shaped = {k: np.asarray(v).reshape(len(blocks), channels) for k, v in got.items() if k in want}
    assert_features(shaped, want, scales(data.astype(np.float64), counts, channels, base))
    np.testing.assert_array_equal(got["n_samples"], counts)
    np.testing.assert_array_equal(got["entry"], np.arange(len(blocks)))
    assert got["amplitude"].shape == ((len(blocks),) if kind == "WD1" else (len(blocks), channels))


OPTIONS = [
    dict(),
    dict(baseline=(0, 20), gate=(90, 140), polarity="positive", saturation=(10, 4000), threshold=0.01, cfd=0.3),
    dict(baseline=(200, 10_000), threshold=50.0, cfd=0.5, saturation=8100),
]


def arrays_reference(kind, options, **read):
    run = vornkit.arrays(os.path.join(ROOT, RUNS[kind]), kind, **read)
    data = run["data"]
    channels = 1 if kind == "WD1" else data.shape[1]
    counts = [data[0].size] * len(data)
    return reference(data.reshape(-1), counts, channels, **options), data, counts, channels


@pytest.mark.parametrize("kind", ["WD1", "WD2"])
@pytest.mark.parametrize("options", OPTIONS)
def test_sample_runs_every_way(kind, options):
    """The sample runs: features() over steps, compute() on iterate's chunks, and the
    reference on arrays() agree."""
    want, data, counts, channels = arrays_reference(kind, options)
    base = reference(data.reshape(-1), counts, channels, **options)["baseline"]
    scale = scales(data.reshape(-1).astype(np.float64), counts, channels, base)
    path = os.path.join(ROOT, RUNS[kind])
    for step in (1, 3, "4 MB"):
        got = vornkit.features(path, kind, step=step, **options)
        assert_features({k: v.reshape(len(counts), channels) for k, v in got.items() if k in want}, want, scale)
    parts = [vornkit._features.compute(c, kind, channels, **options) for c in vornkit.iterate(path, kind, step=4)]
    joined = {k: np.concatenate([p[k] for p in parts]).reshape(len(counts), channels) for k in parts[0]}
    assert joined.keys() == want.keys()
    assert_features(joined, want, scale)


def test_many_files_and_frame(tmp_path):
    """A campaign of both sample runs' copies with other sizes: file, entry and header columns
    line up, and library="pd" has one row per event and channel."""
    pd = pytest.importorskip("pandas")
    paths = []
    for i, n in enumerate([7, 0, 3]):
        p = tmp_path / f"r{i}.wd2"
        blocks = [np.arange(3 * (5 + k + i), dtype=np.float32) for k in range(n)]
        write_run(p, "WD2", 3, blocks)
        paths.append(str(p))
    got = vornkit.features(str(tmp_path), "WD2", baseline=(0, 2), channels=3)
    assert got["file"].tolist() == [paths[0]] * 7 + [paths[2]] * 3
    assert got["entry"].tolist() == [*range(7), *range(3)]
    assert got["amplitude"].shape == (10, 3)
    assert got["samples"].tolist() == [5 + k for k in range(7)] + [7 + k for k in range(3)]
    frame = vornkit.features(paths, "WD2", baseline=(0, 2), channels=3, library="pd")
    assert len(frame) == 30 and frame["channel"].tolist()[:4] == [0, 1, 2, 0]
    assert isinstance(frame["file"].dtype, pd.CategoricalDtype)
    np.testing.assert_array_equal(frame["integral"].to_numpy(), got["integral"].reshape(-1))
    empty = vornkit.features(paths[1], "WD2", channels=3)
    assert empty["amplitude"].shape == (0, 3) and empty["file"].shape == (0,)


def test_bad_options():
    path = os.path.join(ROOT, RUNS["WD1"])
    for bad, error in [
        (dict(baseline=(-1, 4)), ValueError),
        (dict(baseline=(0, None)), ValueError),
        (dict(gate=(0, 1, 2)), TypeError),
        (dict(polarity="up"), ValueError),
        (dict(cfd=1.5), ValueError),
        (dict(library="ak"), ValueError),
    ]:
        with pytest.raises(error):
            vornkit.features(path, "WD1", **bad)


def test_long_records_sum_exactly(tmp_path):
    """Records longer than the integer lanes hold (16 x 65537 samples), at the top code."""
    blocks = [
        np.full(1_100_003, 65535, np.uint16),
        np.r_[np.zeros(70_000, np.uint16), np.full(70_000, 65535, np.uint16)],
    ]
    path = tmp_path / "long.wd1"
    write_run(path, "WD1", 1, blocks)
    options = dict(baseline=(0, 150_000), gate=(0, None), polarity="positive")
    got = vornkit.features(str(path), "WD1", **options)
    want = reference(np.concatenate(blocks), [b.size for b in blocks], 1, **options)
    for key in ("baseline", "rms", "integral", "peak"):
        np.testing.assert_array_equal(got[key], want[key].reshape(-1), err_msg=key)


@pytest.mark.parametrize("kind", ["WD1", "WD2"])
def test_dask_features(kind):
    """dask_features: known divisions, and the rows of features(library="pd")."""
    pytest.importorskip("dask.dataframe")
    path = os.path.join(ROOT, RUNS[kind])
    lazy = vornkit.dask_features(path, kind, step=3, threshold=0.05, cfd=0.5)
    assert lazy.known_divisions and lazy.npartitions > 2
    got = lazy.compute()
    want = vornkit.features(path, kind, threshold=0.05, cfd=0.5, library="pd")
    assert list(got.columns) == list(want.columns)
    assert got.index.tolist() == want["entry"].tolist()
    for name in want.columns:
        np.testing.assert_array_equal(got[name].to_numpy(), want[name].to_numpy(), err_msg=name)


@pytest.mark.parametrize("suffix", [".npz", ".parquet"])
def test_convert_features_and_command(tmp_path, suffix, capsys):
    """convert --features writes the table features() gives; `vornkit features` prints a line per channel."""
    from vornkit.cli import main

    if suffix == ".parquet":
        pytest.importorskip("pyarrow")
    path = os.path.join(ROOT, RUNS["WD2"])
    out = str(tmp_path / ("f" + suffix))
    assert main(["convert", "--features", "--baseline", "0:32", "--saturation", "0.3", path, out]) == 0
    want = vornkit.features(path, "WD2", baseline=(0, 32), saturation=0.3)
    if suffix == ".npz":
        with np.load(out) as z:
            for name in ("amplitude", "saturated", "entry", "event_counter"):
                np.testing.assert_array_equal(z[name], want[name], err_msg=name)
            assert z["file"].tolist() == [0] * 10
    else:
        import pyarrow.parquet as pq

        table = pq.read_table(out)
        assert table.num_rows == 20 and table.column("channel").to_pylist()[:2] == [0, 1]
        np.testing.assert_array_equal(table.column("integral").to_numpy(), want["integral"].reshape(-1))
    capsys.readouterr()
    assert main(["features", path, "--saturation", "0.3"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert [line.split(":")[0] for line in lines] == ["channel 0", "channel 1"]
    assert "10 events" in lines[0] and "saturated" in lines[0]
    assert main(["features", path, "-o", out]) == 2  # exists, no --force
