"""Checked by mypy and pyright, never run: an analysis script whose results carry their types per
kind, and kinds that are neither layout refused: each marked line must be an error for both
checkers (mypy --strict and pyproject.toml's pyright settings fail on an ignore that hides nothing)."""

from collections.abc import Iterator
from typing import Any, assert_type

import dask.array as da
import numpy as np
import pandas as pd
from numpy.typing import NDArray

import vornkit
from vorn import WD1Event, WD2Event
from vornkit import Kind, WD1Arrays, WD1Chunk, WD2Arrays, WD2Chunk


def arrays(path: str, kind: Kind) -> float:
    run = vornkit.arrays(path, "WD2", start=10, stop=20)
    assert_type(run, WD2Arrays)
    assert_type(run["sampling_period"], NDArray[np.uint64])
    if "offsets" in run:  # events of different sizes: samples end to end
        assert_type(run["offsets"], NDArray[np.int64])
    assert_type(vornkit.arrays(path, "WD1")["board_id"], NDArray[np.int32])
    assert_type(vornkit.arrays(path, kind), WD1Arrays | WD2Arrays)
    times = vornkit.arrays(path, "WD1", columns=["event_counter"])
    assert_type(times, vornkit.WD1Columns)
    if "event_counter" in times:  # every key optional: the columns asked
        assert_type(times["event_counter"], NDArray[np.int32])
    assert_type(vornkit.arrays(path, "WD2", columns=["timestamp"]).get("timestamp"), NDArray[np.uint64] | None)
    assert_type(vornkit.arrays(path, kind, columns=["data"]), vornkit.WD1Columns | vornkit.WD2Columns)
    assert_type(vornkit.arrays(path, "WD1", library="ak"), Any)
    return float(run["data"].mean())


def many_files(paths: list[str]) -> None:
    chunks = vornkit.iterate(paths, "WD1", step="10 MB")
    assert_type(chunks, Iterator[WD1Chunk])
    for chunk in chunks:
        assert_type(chunk["data"], NDArray[np.uint16])
        assert_type(chunk["file"], NDArray[np.str_])
    assert_type(next(vornkit.iterate(paths, "WD2")), WD2Chunk)
    heads = next(vornkit.iterate(paths, "WD2", columns=["samples"]))
    assert_type(heads, vornkit.WD2ColumnChunk)
    assert_type(heads["entry"], NDArray[np.int64])
    assert_type(vornkit.to_dataframe(paths, "WD2"), pd.DataFrame)
    feats = vornkit.features(paths, "WD2", cfd=0.5)
    assert_type(feats, vornkit.WD2Features)
    assert_type(feats["amplitude"], NDArray[np.float64])
    assert_type(feats["peak"], NDArray[np.int64])
    assert_type(vornkit.features(paths, "WD1")["board_id"], NDArray[np.int32])
    assert_type(vornkit.features(paths, "WD1", library="pd"), pd.DataFrame)


def events(path: str, kind: Kind) -> None:
    assert_type(next(vornkit.events(path, "WD1")), WD1Event)
    assert_type(next(vornkit.events(path, kind, on_corrupt="skip")), WD1Event | WD2Event)
    assert_type(next(vornkit.follow(path, "WD1", idle_timeout=5.0)), vornkit.WD1FollowEvent)
    assert_type(next(vornkit.follow(path=path, kind="WD2")), vornkit.WD2FollowEvent)
    for ev in vornkit.follow("/data/runs", "WD2", idle_timeout=600):  # the README's snippet
        assert_type(ev["file"], str)
        assert_type(ev["event_counter"], int)
    assert_type(next(vornkit.follow(path, kind)), vornkit.WD1FollowEvent | vornkit.WD2FollowEvent)


def campaign(paths: list[str]) -> None:
    run = vornkit.dask(paths, "WD1", step="64 MB")
    assert_type(run, vornkit.WD1DaskArrays)
    assert_type(run["data"], da.Array)
    assert_type(vornkit.dask(paths, "WD2")["sampling_period"], da.Array)
    vornkit.dask(paths, "WD2")["board_id"]  # type: ignore[typeddict-item]  # pyright: ignore[reportGeneralTypeIssues]
    heads = vornkit.dask(paths, "WD1", columns=["timestamp"])
    assert_type(heads, vornkit.WD1DaskColumns)
    assert_type(heads["entry"], da.Array)


def refused(path: str, name: str) -> None:
    vornkit.arrays(path, "WD3")  # type: ignore[call-overload]  # pyright: ignore[reportCallIssue, reportArgumentType]
    vornkit.arrays(path, name)  # type: ignore[call-overload]  # pyright: ignore[reportCallIssue, reportArgumentType]
    vornkit.iterate(path, "wd1")  # type: ignore[call-overload]  # pyright: ignore[reportCallIssue, reportArgumentType]
    vornkit.events(path, "WD3")  # type: ignore[call-overload]  # pyright: ignore[reportCallIssue, reportArgumentType]
    vornkit.follow(path, "WD3")  # type: ignore[call-overload]  # pyright: ignore[reportCallIssue, reportArgumentType]
    vornkit.events(path, "WD1", chanels=2)  # type: ignore[call-overload]  # pyright: ignore[reportCallIssue]
    vornkit.to_dataframe(path, "WD3")  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    vornkit.scan(path, "WD3")  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
