"""Checked by mypy and pyright, never run: an analysis script whose results carry their types per
kind, and kinds that are neither layout refused: each marked line must be an error for both
checkers (mypy --strict and pyproject.toml's pyright settings fail on an ignore that hides nothing)."""

from collections.abc import Iterator
from typing import Any, assert_type

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
    assert_type(vornkit.arrays(path, "WD1", columns=["event_counter"]), dict[str, NDArray[Any]])
    assert_type(vornkit.arrays(path, "WD1", library="ak"), Any)
    return float(run["data"].mean())


def many_files(paths: list[str]) -> None:
    chunks = vornkit.iterate(paths, "WD1", step="10 MB")
    assert_type(chunks, Iterator[WD1Chunk])
    for chunk in chunks:
        assert_type(chunk["data"], NDArray[np.uint16])
        assert_type(chunk["file"], NDArray[np.str_])
    assert_type(next(vornkit.iterate(paths, "WD2")), WD2Chunk)
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
    assert_type(next(vornkit.follow(path, "WD1", idle_timeout=5.0)), WD1Event)
    assert_type(next(vornkit.follow(path=path, kind="WD2")), WD2Event)


def refused(path: str, name: str) -> None:
    vornkit.arrays(path, "WD3")  # type: ignore[call-overload]  # pyright: ignore[reportCallIssue, reportArgumentType]
    vornkit.arrays(path, name)  # type: ignore[call-overload]  # pyright: ignore[reportCallIssue, reportArgumentType]
    vornkit.iterate(path, "wd1")  # type: ignore[call-overload]  # pyright: ignore[reportCallIssue, reportArgumentType]
    vornkit.events(path, "WD3")  # type: ignore[call-overload]  # pyright: ignore[reportCallIssue, reportArgumentType]
    vornkit.follow(path, "WD3")  # type: ignore[call-overload]  # pyright: ignore[reportCallIssue, reportArgumentType]
    vornkit.events(path, "WD1", chanels=2)  # type: ignore[call-overload]  # pyright: ignore[reportCallIssue]
    vornkit.to_dataframe(path, "WD3")  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    vornkit.scan(path, "WD3")  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
