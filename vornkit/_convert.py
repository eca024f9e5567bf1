"""`vornkit convert`: a run written as arrays to Parquet, HDF5 or .npz."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Iterator, Mapping
from typing import Any

import numpy as np

from ._arrays import arrays, iterate
from ._format import FormatError, check_kind
from ._read import ReadError

FORMATS = {".npz": "npz", ".parquet": "parquet", ".pq": "parquet", ".h5": "hdf5", ".hdf5": "hdf5"}


def _flat(chunk: Mapping[str, Any]) -> tuple[np.ndarray, np.ndarray]:
    """A chunk's samples end to end and its event offsets, whatever its layout."""
    data = chunk["data"]
    if "offsets" in chunk:
        return data, chunk["offsets"]
    per = int(np.prod(data.shape[1:]))
    return data.reshape(-1), np.arange(data.shape[0] + 1, dtype=np.int64) * per


def _write_parquet(chunks: Iterator[Mapping[str, Any]], out: str) -> None:
    try:
        import pyarrow as pa  # type: ignore[import-untyped, import-not-found, unused-ignore]
        import pyarrow.parquet as pq  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        raise SystemExit("writing Parquet needs pyarrow: pip install pyarrow (or vorn[kit])") from None
    writer = None
    try:
        for chunk in chunks:
            data, offsets = _flat(chunk)
            columns = {k: pa.array(v) for k, v in chunk.items() if k not in ("data", "offsets", "file", "entry")}
            columns["data"] = pa.LargeListArray.from_arrays(pa.array(offsets), pa.array(data))
            table = pa.table(columns)
            if writer is None:
                writer = pq.ParquetWriter(out, table.schema)
            writer.write_table(table)
    finally:
        if writer is not None:
            writer.close()


def _write_hdf5(chunks: Iterator[Mapping[str, Any]], out: str, kind: str) -> None:
    """Header columns as 1-D datasets; `data` events x samples (x channels) while all events
    share a shape, else flat `data` plus `offsets`. Every dataset grows chunk by chunk."""
    try:
        import h5py  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        raise SystemExit("writing HDF5 needs h5py: pip install h5py (or vorn[kit])") from None
    with h5py.File(out, "w") as f:
        f.attrs["kind"] = kind
        shape: tuple[int, ...] | None = None  # of one event, while the data is kept in blocks
        for chunk in chunks:
            for name, column in chunk.items():
                if name in ("data", "offsets", "file", "entry"):
                    continue
                _append(f, name, column)
            data = chunk["data"]
            if "data" not in f and "offsets" not in chunk:
                shape = data.shape[1:]
            if shape is not None and ("offsets" in chunk or data.shape[1:] != shape):
                _to_flat(f, shape)
                shape = None
            if shape is not None:
                _append(f, "data", data)
            else:
                flat, offsets = _flat(chunk)
                base = int(f["offsets"][-1]) if "offsets" in f else 0
                _append(f, "offsets", (offsets if "offsets" not in f else offsets[1:]) + base)
                _append(f, "data", flat)
            del data, chunk


def _append(f: Any, name: str, values: np.ndarray) -> None:
    if name not in f:
        f.create_dataset(name, data=values, maxshape=(None, *values.shape[1:]), chunks=True)
        return
    ds = f[name]
    n = ds.shape[0]
    ds.resize(n + values.shape[0], axis=0)
    ds[n:] = values


def _to_flat(f: Any, shape: tuple[int, ...]) -> None:
    """Rewrites the blocked `data` as flat samples plus `offsets`, a block of events at a time."""
    old = f["data"]
    per = int(np.prod(shape))
    f.move("data", "data_blocked")
    step = max(1, (16 << 20) // max(1, per * old.dtype.itemsize))
    _append(f, "offsets", np.zeros(1, np.int64))
    for i in range(0, old.shape[0], step):
        block = old[i : i + step]
        _append(f, "data", block.reshape(-1))
        _append(f, "offsets", int(f["offsets"][-1]) + per * np.arange(1, block.shape[0] + 1, dtype=np.int64))
    del f["data_blocked"]


def run(args: argparse.Namespace) -> int:
    """The `convert` command: writes a run to OUT's format."""
    fmt = FORMATS.get(os.path.splitext(args.out)[1].lower())
    if fmt is None:
        print(f"vornkit convert: OUT must end in one of {', '.join(FORMATS)}", file=sys.stderr)
        return 2
    progress = args.progress if args.progress is not None else sys.stderr.isatty()
    if progress:
        try:
            import tqdm  # type: ignore[import-untyped, import-not-found, unused-ignore]  # noqa: F401
        except ImportError:
            progress = False  # a bar only when tqdm is there
    try:
        kind, _, _ = check_kind(args.file, args.kind, args.channels)
        if fmt == "npz":  # .npz members are written whole, so the run is held once in memory
            np.savez(args.out, **arrays(args.file, kind, channels=args.channels, progress=progress))
            return 0
        chunks = iterate(args.file, kind, step=args.step, channels=args.channels, progress=progress)
        if fmt == "parquet":
            _write_parquet(chunks, args.out)
        else:
            _write_hdf5(chunks, args.out, kind)
    except (FormatError, OSError, ReadError, ValueError) as e:
        print(f"vornkit convert: {e}", file=sys.stderr)
        return 1
    return 0
