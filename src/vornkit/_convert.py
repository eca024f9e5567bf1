"""`convert`: one or many runs written as one dataset to Parquet, HDF5 or .npz, through a
temporary file that replaces the output only once it is complete. Layouts: docs/convert.md."""

from __future__ import annotations

import argparse
import dataclasses
import errno
import functools
import importlib.metadata
import io
import json
import math
import os
import queue
import secrets
import signal
import stat
import sys
import threading
import time
import traceback
import zipfile
from collections.abc import Callable, Generator, Iterable, Iterator
from typing import IO, Any

import numpy as np

from ._arrays import _parse_step, iterate
from ._format import FormatError, check_channels, check_kind, check_kind_name, field_names, open_core
from ._layouts import SAMPLE_DTYPE, Kind, column_dtypes
from ._read import (
    TEMPORARY,
    FormatWarning,
    OnCorrupt,
    PathLike,
    ReadError,
    Source,
    check_on_corrupt,
    deferred,
    expand_paths,
    warn,
)

__all__ = ["ConvertResult", "convert"]

FORMATS = {".npz": "npz", ".parquet": "parquet", ".pq": "parquet", ".h5": "hdf5", ".hdf5": "hdf5"}
COMPRESSIONS = {
    "parquet": ("none", "snappy", "gzip", "brotli", "lz4", "zstd"),
    "hdf5": ("none", "gzip", "lzf"),
    "npz": ("none", "deflate"),
}
HDF5_CHUNK = 256 << 10  # bytes of an HDF5 chunk of `data`: (32, 2, 1024) for two channels of 1024 floats
GROUP_BYTES = 64 << 20  # sample bytes of a Parquet row group
TMPFILE = hasattr(os, "O_TMPFILE")  # an unnamed output file, linked in when complete (Linux)
WRITEBACK_BYTES = 32 << 20  # written bytes after which their writeback to disk is started
READ_BYTES = 16 << 20  # sample bytes read at once by default (a chunk in hand, one ahead, one being read)
UNITS = {"WD1": "ADC counts", "WD2": "V"}
PERIOD_UNIT = "as written in the record headers"


@dataclasses.dataclass(frozen=True)
class ConvertResult:
    """What `convert` wrote: the output, its format, events, input files, bytes in and out, seconds."""

    path: str
    format: str
    events: int
    files: int
    bytes_in: int
    bytes_out: int
    seconds: float

    def summary(self) -> str:
        """The one line the command prints."""
        return (
            f"{self.path}: {self.events} events from {self.files} file{'s' if self.files != 1 else ''}, "
            f"{self.bytes_in / 1e6:.1f} MB in, {self.bytes_out / 1e6:.1f} MB out ({self.format}), "
            f"{self.seconds:.2f} s"
        )


@dataclasses.dataclass
class _Plan:
    """What a header-only pass over the inputs found, before anything is written."""

    kind: Kind
    files: list[str]
    sizes: list[int]
    channels: int  # the WD2 channel count of every input (1 for WD1)
    counts: list[np.ndarray]  # per file, each event's samples (all channels)
    shape: tuple[int, ...] | None  # one event's shape when all share it, else None (flat with offsets)
    period: int | None  # the first WD2 event's sampling period
    predicted: bool = False  # some counts are predicted from a first record and the file's size
    # per file, the damaged spans passed over: (next event, byte offset, bytes)
    skipped: list[list[tuple[int, int, int]]] = dataclasses.field(default_factory=list)

    @property
    def events(self) -> int:
        return sum(len(c) for c in self.counts)

    @property
    def dtype(self) -> np.dtype:
        return SAMPLE_DTYPE[self.kind].newbyteorder("=")

    def event_bytes(self) -> int:
        """Sample bytes of an average event (at least 1)."""
        total = sum(int(c.sum()) for c in self.counts)
        return max(1, total * self.dtype.itemsize // max(1, self.events))

    def metadata(self) -> dict[str, Any]:
        return {
            "kind": self.kind,
            "events": self.events,
            "channels": self.channels,
            "layout": "fixed" if self.shape is not None else "variable",
            "event_shape": list(self.shape) if self.shape is not None else None,
            "data_dtype": str(self.dtype),
            "data_units": UNITS[self.kind],
            "sampling_period": self.period,
            "sampling_period_unit": PERIOD_UNIT if self.kind == "WD2" else None,
            "source_files": self.files,
            "source_sizes": self.sizes,
            "skipped": [[list(span) for span in spans] for spans in self.skipped] or [[] for _ in self.files],
            "vorn_version": _version(),
        }


@functools.cache
def _version() -> str:
    try:
        return importlib.metadata.version("vorn")
    except importlib.metadata.PackageNotFoundError:  # a source tree
        return "unknown"


def _inputs(paths: PathLike | Iterable[PathLike], kind: Kind | None) -> list[str]:
    """The input files (see expand_paths), each a regular file given once."""
    files = expand_paths(paths, kind)
    if not files:
        raise ValueError("no input files")
    seen: dict[str, str] = {}
    for f in files:
        if not stat.S_ISREG(os.stat(f).st_mode):  # read twice: a pipe would not be
            raise ValueError(f"{f}: not a regular file")
        real = os.path.realpath(f)
        if real in seen:
            raise ValueError(f"{f}: the same file as {seen[real]}, given twice")
        seen[real] = f
    return files


class _Mispredicted(Exception):
    """A predicted plan does not hold: the file's records are not all of its first record's size."""


def _predict(
    path: str, kind: Kind, channels: int | None, fields: list[str]
) -> tuple[np.ndarray, int, int | None] | None:
    """(counts, channel count, first period) of a file that divides into records of its first
    record's size (above zero samples) if all are of that size, which the writing pass checks;
    else None."""
    if os.path.getsize(path) == 0:  # an empty run (WD2: no records to find the channel count from)
        return None
    with open_core(path, kind, channels=channels, columns=fields) as r:
        first = r.read(1)
        header, nch = r.header_bytes, r.channels
    if not len(first["n_samples"]) or int(first["n_samples"][0]) == 0:
        return None
    per = int(first["n_samples"][0])
    record = header + per * SAMPLE_DTYPE[kind].itemsize
    size = os.path.getsize(path)
    if size % record:
        return None
    period = int(first["sampling_period"][0]) if fields else None
    return np.full(size // record, per, np.int64), nch, period


def _plan(
    files: list[str], kind: Kind | None, channels: int | None, on_corrupt: OnCorrupt, predict: bool = False
) -> _Plan:
    """Recognises the inputs' kind and reads their headers: event counts, shapes, channel counts.
    predict: a file of whole records of its first record's size is taken to hold only such
    records without reading its headers (the writing pass raises _Mispredicted if not)."""
    kinds, notes = {}, {}
    for f in files:
        kinds[f], _, notes[f] = check_kind(f, kind, channels)
    if kind is None and len(set(kinds.values())) > 1:
        listed = ", ".join(f"{f} ({k})" for f, k in kinds.items())
        raise ValueError(f"the inputs are of different kinds: {listed}")
    kind = kinds[files[0]]
    fields = ["sampling_period"] if kind == "WD2" else []
    counts, chans, period, predicted = [], {}, None, False
    skipped: list[list[tuple[int, int, int]]] = []
    for f in files:
        guess = _predict(f, kind, channels, fields) if predict else None
        if guess is not None:
            skipped.append([])
            counts.append(guess[0])
            chans[f] = guess[1]
            period = guess[2] if period is None else period
            predicted = True
            continue
        # Damage is reported by the writing pass: this one only skips it (or stops, as that will).
        src = Source(f, kind, fields=fields, data=False, channels=channels, check=False, trailing=False,
                     on_corrupt="raise" if on_corrupt == "raise" else "skip", empty_run=True)  # fmt: skip
        try:
            parts = []
            for part in src.chunks():
                parts.append(part)
                _check_signals()
            skipped.append([(e, o, n) for e, o, n in src.reader.skipped])
        except ReadError:
            # What the first records said (a lost first WD2 trigger) is why the headers break: say it.
            for note in notes[f]:
                warn(f"{f}: {note}", FormatWarning)
            raise
        finally:
            src.close()
        n = np.concatenate([p["n_samples"] for p in parts]) if parts else np.empty(0, np.int64)
        if period is None and fields and parts:
            period = int(parts[0]["sampling_period"][0])
        counts.append(n)
        if len(n):  # an empty run has no channel count of its own
            chans[f] = src.channels
    if len(set(chans.values())) > 1:
        listed = ", ".join(f"{f} ({c})" for f, c in chans.items())
        raise ValueError(f"the inputs have different channel counts: {listed}; give channels= (--channels)")
    nch = next(iter(chans.values()), channels or 1) if kind == "WD2" else 1
    sizes = {int(c.min()) for c in counts if len(c)} | {int(c.max()) for c in counts if len(c)}
    shape: tuple[int, ...] | None = None
    if len(sizes) == 1 and (per := sizes.pop()) > 0:  # events without samples: the variable layout
        shape = (per,) if kind == "WD1" else (nch, per // nch)
    return _Plan(kind, files, [os.path.getsize(f) for f in files], nch, counts, shape, period, predicted, skipped)


def _chunk_shape(shape: tuple[int, ...], itemsize: int, events: int) -> tuple[int, ...] | None:
    """HDF5 chunks of about HDF5_CHUNK bytes along events: (k, *shape); an event larger than that
    is cut along its trailing axes. None when the dataset is empty."""
    if events == 0 or 0 in shape:
        return None
    per = math.prod(shape) * itemsize
    if per <= HDF5_CHUNK:
        return (min(events, HDF5_CHUNK // per), *shape)
    dims = [1, *shape]
    for i in range(1, len(dims)):  # leading axes to 1 until the rest fits, the last cut
        if math.prod(dims[i:]) * itemsize > HDF5_CHUNK:
            dims[i] = 1 if i < len(dims) - 1 else max(1, HDF5_CHUNK // itemsize)
    return tuple(dims)


def _check_compression(fmt: str, compression: str | None) -> str | None:
    if compression is None or compression == "none":
        return None
    if compression not in COMPRESSIONS[fmt]:
        raise ValueError(f"compression for {fmt} must be one of {', '.join(COMPRESSIONS[fmt])}, not {compression!r}")
    return compression


def _default_step(plan: _Plan, fmt: str) -> int:
    """Events per chunk read: about READ_BYTES, and for HDF5 a whole number of its chunks."""
    n = max(1, READ_BYTES // plan.event_bytes())
    if fmt == "hdf5" and plan.shape is not None:
        chunks = _chunk_shape(plan.shape, plan.dtype.itemsize, max(1, plan.events))
        if chunks is not None:
            n = max(chunks[0], n // chunks[0] * chunks[0])
    return n


class _Chunks:
    """The writing pass: iterate's chunks with `file` as an index into the inputs, checked against the plan."""

    def __init__(self, plan: _Plan, step: int | str, channels: int | None, on_corrupt: OnCorrupt, progress: bool):
        self.plan, self.step, self.channels, self.on_corrupt, self.progress = plan, step, channels, on_corrupt, progress
        self.index = {f: i for i, f in enumerate(plan.files)}

    def __iter__(self) -> Iterator[dict[str, Any]]:
        seen = [0] * len(self.plan.files)
        p = self.plan
        chunks = iterate(
            p.files, p.kind, step=self.step, channels=self.channels, on_corrupt=self.on_corrupt, progress=self.progress
        )
        ahead = _ahead(chunks)
        try:
            for chunk in ahead:
                i = self.index[str(chunk["file"][0])]
                n = len(chunk["entry"])
                counts = self.plan.counts[i][seen[i] : seen[i] + n]
                if len(counts) != n or not np.array_equal(counts, np.diff(_flat(chunk)[1])):
                    if self.plan.predicted:
                        raise _Mispredicted
                    raise ReadError(f"{self.plan.files[i]} changed while being converted")
                seen[i] += n
                chunk["file"] = np.full(n, i, np.int32)
                _check_signals()
                yield chunk
        finally:
            ahead.close()  # the reading thread stopped now, not when a traceback holding it goes
        if seen != [len(c) for c in self.plan.counts]:
            if self.plan.predicted:
                raise _Mispredicted
            raise ReadError("an input changed while being converted: fewer events than its headers said")


def _ahead(items: Iterator[Any]) -> Generator[Any, None, None]:
    """The items of a generator made in a thread, one ahead of the caller: reading a chunk (the core
    releases the interpreter lock) overlaps writing the one before. The thread's warnings are given
    in the caller's thread, before the item they came with. Closing this closes `items`."""
    box: queue.Queue[tuple[str, Any, list[tuple[str, type[Warning]]]]] = queue.Queue(maxsize=1)
    stop = threading.Event()

    def make() -> None:
        pending: list[tuple[str, type[Warning]]] = []
        deferred.sink = pending

        def put(what: str, value: Any) -> bool:
            notes = pending[:]
            pending.clear()
            while not stop.is_set():
                try:
                    box.put((what, value, notes), timeout=0.05)
                    return True
                except queue.Full:
                    pass
            return False

        try:
            for item in items:
                if not put("item", item):
                    return
                del item
            put("end", None)
        except BaseException as e:  # noqa: BLE001  (handed to the caller's thread)
            put("error", e)
        finally:
            close = getattr(items, "close", None)  # a generator: its files closed in this thread
            if close is not None:
                close()

    worker = threading.Thread(target=make, name="vornkit-convert-reader", daemon=True)
    worker.start()
    try:
        while True:
            try:
                what, value, notes = box.get(timeout=0.05)
            except queue.Empty:
                _check_signals()  # a signal noted while the reading thread reads
                continue
            for message, category in notes:
                warn(message, category)
            if what == "end":
                return
            if what == "error":
                raise value
            yield value
            del value
    finally:
        stop.set()
        worker.join()


def _guarded(chunks: Iterator[dict[str, Any]], sink: _Sink) -> Generator[dict[str, Any], None, None]:
    """The chunks; a failure to read one (or a signal) makes the sink discard what the writing
    library writes while it is closed on the way out."""
    try:
        yield from chunks
    except BaseException:
        sink.discard = True
        raise
    finally:
        close = getattr(chunks, "close", None)
        if close is not None:
            close()


def _flat(chunk: dict[str, Any]) -> tuple[np.ndarray, np.ndarray]:
    """A chunk's samples end to end and where each event's begin (events + 1), whatever its layout."""
    data = chunk["data"]
    if "offsets" in chunk:
        return data, chunk["offsets"]
    per = math.prod(data.shape[1:])
    return data.reshape(-1), np.arange(data.shape[0] + 1, dtype=np.int64) * per


def _header_names(kind: str) -> list[str]:
    return ["file", "entry", *field_names(kind)]


def _column_dtypes(kind: str) -> dict[str, np.dtype]:
    """The dtype of each column beside `data`."""
    out: dict[str, np.dtype] = {"file": np.dtype(np.int32), "entry": np.dtype(np.int64)}
    out.update(column_dtypes(kind))
    return out


def _bounds(plan: _Plan) -> np.ndarray:
    """Where each event's samples begin in the flat layout, and the end (events + 1, int64)."""
    bounds = np.zeros(plan.events + 1, np.int64)
    if plan.events:
        np.cumsum(np.concatenate(plan.counts), out=bounds[1:])
    return bounds


def _write_parquet(plan: _Plan, chunks: Iterable[dict[str, Any]], out: _Sink, compression: str | None) -> None:
    try:
        import pyarrow as pa  # type: ignore[import-untyped, import-not-found, unused-ignore]
        import pyarrow.parquet as pq  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        raise ImportError("writing Parquet needs pyarrow: pip install pyarrow (or vorn[kit])") from None
    sample = pa.from_numpy_dtype(plan.dtype)
    if plan.shape is None:  # events x samples, or x channels x samples, of varying length
        data_type = pa.large_list(sample) if plan.kind == "WD1" else pa.list_(pa.large_list(sample), plan.channels)
    else:
        data_type = pa.list_(sample, plan.shape[-1])
        if plan.kind == "WD2":
            data_type = pa.list_(data_type, plan.channels)
    dtypes = _column_dtypes(plan.kind)
    names = _header_names(plan.kind)
    schema = pa.schema(
        [pa.field(n, pa.from_numpy_dtype(dtypes[n])) for n in names] + [pa.field("data", data_type)],
        metadata={"vornkit": json.dumps(plan.metadata())},
    )

    def data_array(chunk: dict[str, Any]) -> Any:
        data = chunk["data"]
        if plan.shape is not None:
            arr = pa.FixedSizeListArray.from_arrays(pa.array(data.reshape(-1)), plan.shape[-1])
            return pa.FixedSizeListArray.from_arrays(arr, plan.channels) if plan.kind == "WD2" else arr
        data, offsets = _flat(chunk)
        if plan.kind == "WD1":
            return pa.LargeListArray.from_arrays(pa.array(offsets), pa.array(data))
        # Each event's block cut into its channels: offsets every len/channels samples.
        per_channel = np.repeat(np.diff(offsets) // plan.channels, plan.channels)
        inner = np.zeros(per_channel.size + 1, np.int64)
        np.cumsum(per_channel, out=inner[1:])
        lists = pa.LargeListArray.from_arrays(pa.array(inner), pa.array(data))
        return pa.FixedSizeListArray.from_arrays(lists, plan.channels)

    rows = max(1, GROUP_BYTES // plan.event_bytes())
    pending: list[Any] = []
    # Dictionaries for the header columns only: trying them on the samples costs five times the write.
    with pq.ParquetWriter(out, schema, compression=compression or "none", use_dictionary=names) as writer:
        # A failure inside: the writer is closed with the sink discarding (see _Sink).
        for chunk in chunks:
            columns = [pa.array(chunk[n]) for n in names] + [data_array(chunk)]
            pending.append(pa.RecordBatch.from_arrays(columns, schema=schema))
            if sum(b.num_rows for b in pending) >= rows:  # whole row groups of about GROUP_BYTES
                writer.write_table(pa.Table.from_batches(pending), row_group_size=rows)
                pending = []
        if pending or plan.events == 0:
            writer.write_table(pa.Table.from_batches(pending, schema=schema), row_group_size=rows)


def _write_hdf5(plan: _Plan, chunks: Iterable[dict[str, Any]], out: _Sink, compression: str | None) -> None:
    try:
        import h5py  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        raise ImportError("writing HDF5 needs h5py: pip install h5py (or vorn[kit])") from None
    n = plan.events
    item = plan.dtype.itemsize

    def filters_of(ds: Any) -> bool:
        return bool(ds.compression or ds.shuffle or ds.fletcher32 or ds.scaleoffset is not None)

    # A chunk cache that holds the chunks a read cut at a file boundary leaves half written.
    def fill(f: Any) -> None:

        def dataset(name: str, shape: tuple[int, ...], dtype: np.dtype, chunks: tuple[int, ...] | None) -> Any:
            filters = {"compression": compression, "shuffle": True} if compression and chunks else {}
            return f.create_dataset(name, shape=shape, dtype=dtype, chunks=chunks, **filters)

        dtypes = _column_dtypes(plan.kind)
        cols = {k: dataset(k, (n,), dt, _chunk_shape((), dt.itemsize, n)) for k, dt in dtypes.items()}
        if plan.shape is not None:
            data = dataset("data", (n, *plan.shape), plan.dtype, _chunk_shape(plan.shape, item, n))
            data.attrs["dims"] = "events, samples" if plan.kind == "WD1" else "events, channels, samples"
        else:
            total = sum(int(c.sum()) for c in plan.counts)
            data = dataset("data", (total,), plan.dtype, _chunk_shape((), item, total))
            data.attrs["dims"] = "samples of all events end to end (see offsets)"
            offsets = dataset("offsets", (n + 1,), np.dtype(np.int64), _chunk_shape((), 8, n + 1))
            offsets[:] = _bounds(plan)
        data.attrs["units"] = UNITS[plan.kind]
        for key, value in plan.metadata().items():
            if value is None:
                continue
            if key == "source_files":
                value = np.array(value, dtype=h5py.string_dtype())
            if key == "skipped":  # ragged: as JSON (and in `metadata`)
                value = json.dumps(value)
            f.attrs[key] = value
        f.attrs["metadata"] = json.dumps(plan.metadata())
        # Whole chunks of unfiltered samples are written as they are, past the chunk cache and
        # the selection machinery (what a slice write of the same bytes costs several times over).
        direct = data.chunks[0] if plan.shape is not None and data.chunks and not filters_of(data) else 0
        at = pos = 0  # events and samples written
        for chunk in chunks:
            k = len(chunk["entry"])
            for name, ds in cols.items():
                ds[at : at + k] = chunk[name]
            block = chunk["data"]
            if direct and data.chunks[1:] == plan.shape:
                _put_chunks(data, block, at, direct)
            elif plan.shape is not None:
                data[at : at + k] = block
            else:
                flat = _flat(chunk)[0]
                data[pos : pos + flat.size] = flat
                pos += flat.size
            at += k

    f = h5py.File(out, "w", rdcc_nbytes=8 * HDF5_CHUNK, rdcc_nslots=1009)
    try:
        fill(f)
    except BaseException as e:
        # A failed write (a full disk), or a signal between two writes: the datasets the
        # traceback's frames hold are released while the file is open, then the file is closed
        # with the sink discarding, which leaves the library nothing to write at exit.
        traceback.clear_frames(e.__traceback__)
        out.discard = True
        f.close()
        raise
    f.close()


def _put_chunks(data: Any, block: np.ndarray, at: int, per: int) -> None:
    """Writes events at..at+len(block) of an unfiltered dataset chunked `per` events at a time
    along its first axis only: the whole chunks among them directly, the ends as slices."""
    end = at + len(block)
    a = min(end, -(-at // per) * per)  # the first chunk boundary at or after `at`
    b = max(a, end // per * per)  # the last at or before the end
    if a > at:
        data[at:a] = block[: a - at]
    zeros = (0,) * (block.ndim - 1)
    for c in range(a, b, per):
        data.id.write_direct_chunk((c, *zeros), np.ascontiguousarray(block[c - at : c - at + per]))
    if end > b:
        data[b:end] = block[b - at :]


def _npy_member(zf: zipfile.ZipFile, name: str, shape: tuple[int, ...], dtype: np.dtype) -> IO[bytes]:
    """A zip member open for writing with the .npy header of an array of this shape and dtype."""
    member = zf.open(name + ".npy", "w", force_zip64=True)
    header = {"descr": np.lib.format.dtype_to_descr(dtype), "fortran_order": False, "shape": shape}
    np.lib.format.write_array_header_2_0(member, header)  # type: ignore[no-untyped-call, unused-ignore]
    return member


def _write_npz(plan: _Plan, chunks: Iterable[dict[str, Any]], out: _Sink, compression: str | None) -> None:
    method = zipfile.ZIP_DEFLATED if compression == "deflate" else zipfile.ZIP_STORED
    n = plan.events
    header: dict[str, list[np.ndarray]] = {k: [] for k in _header_names(plan.kind)}
    with zipfile.ZipFile(out, "w", compression=method, allowZip64=True) as zf:
        # The samples streamed first; the header columns, small, are kept until then.
        total = sum(int(c.sum()) for c in plan.counts)
        shape = (n, *plan.shape) if plan.shape is not None else (total,)
        with _npy_member(zf, "data", shape, plan.dtype) as member:
            for chunk in chunks:
                for k, parts in header.items():
                    parts.append(chunk[k])
                member.write(np.ascontiguousarray(chunk["data"]).reshape(-1).data)
        dtypes = _column_dtypes(plan.kind)
        for k, parts in header.items():
            with zf.open(k + ".npy", "w", force_zip64=True) as member:
                np.lib.format.write_array(member, np.concatenate(parts) if parts else np.empty(0, dtypes[k]))
        if plan.shape is None:
            with zf.open("offsets.npy", "w", force_zip64=True) as member:
                np.lib.format.write_array(member, _bounds(plan))
        with zf.open("metadata.npy", "w") as member:
            np.lib.format.write_array(member, np.array(json.dumps(plan.metadata())))


WRITERS: dict[str, Callable[[_Plan, Iterable[dict[str, Any]], _Sink, str | None], None]] = {
    "parquet": _write_parquet,
    "hdf5": _write_hdf5,
    "npz": _write_npz,
}


class _Sink(io.RawIOBase):
    """The output's descriptor as a file object for the writing libraries. Every write is whole
    or raises; the first write error is kept (`error`, named by the output), and once `discard`
    is set writes and truncations do nothing, so a library closed after a failure has nothing
    left that can fail again."""

    def __init__(self, fd: int, name: str) -> None:
        super().__init__()
        self.fd, self.name, self.pos = fd, name, 0
        self.error: OSError | None = None
        self.discard = False
        self.end = self.started = 0  # the furthest byte written; where writeback was last started

    def _writeback(self) -> None:
        """Starts writing to disk what was written since the last time (without waiting), every
        WRITEBACK_BYTES: the sync before the rename then waits for the last part only."""
        if self.end - self.started >= WRITEBACK_BYTES:
            _start_writeback(self.fd, self.started, self.end - self.started)
            self.started = self.end

    def readable(self) -> bool:
        return True

    def writable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def fileno(self) -> int:
        return self.fd

    def tell(self) -> int:
        return self.pos

    def seek(self, pos: int, whence: int = os.SEEK_SET) -> int:
        if whence == os.SEEK_CUR:
            pos += self.pos
        elif whence == os.SEEK_END:
            pos += os.fstat(self.fd).st_size
        self.pos = pos
        return pos

    def readinto(self, buf: Any) -> int:
        view = memoryview(buf).cast("B")
        n = os.preadv(self.fd, [view], self.pos)
        self.pos += n
        return n

    def write(self, data: Any) -> int:
        view = memoryview(data).cast("B")
        size = view.nbytes
        if self.discard:
            self.pos += size
            return size
        done = 0
        try:
            while done < size:
                done += os.pwrite(self.fd, view[done:], self.pos + done)
        except OSError as e:
            self.error = self.error or OSError(e.errno, e.strerror, self.name)
            self.discard = True  # the library's attempts to finish the file are to no purpose now
            raise self.error from None
        self.pos += size
        if self.pos > self.end:
            self.end = self.pos
            self._writeback()
        return size

    def truncate(self, size: int | None = None) -> int:
        size = self.pos if size is None else size
        if not self.discard:
            os.ftruncate(self.fd, size)
        return size

    def flush(self) -> None:
        pass

    def close(self) -> None:  # the descriptor is the _Output's
        super().close()


@functools.cache
def _sync_file_range() -> Any:
    """libc's sync_file_range (Linux), or None."""
    if not sys.platform.startswith("linux"):
        return None
    import ctypes

    try:
        libc = ctypes.CDLL(None, use_errno=True)
        func = libc.sync_file_range
    except (OSError, AttributeError):
        return None
    func.argtypes = [ctypes.c_int, ctypes.c_int64, ctypes.c_int64, ctypes.c_uint]
    func.restype = ctypes.c_int
    return func


def _start_writeback(fd: int, offset: int, nbytes: int) -> None:
    """Starts writing a range of the file to disk, not waiting for it (where the system can)."""
    func = _sync_file_range()
    if func is not None:
        func(fd, offset, nbytes, 2)  # SYNC_FILE_RANGE_WRITE; a failure only leaves the work to fsync


def _umask() -> int:
    try:
        with open("/proc/self/status", encoding="ascii") as f:
            for line in f:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError):
        pass
    mask = os.umask(0o022)  # not thread-safe, hence the above first
    os.umask(mask)
    return mask


def _started(pid: int) -> float | None:
    """When process `pid` started (seconds since the epoch), None if it is not running; a
    process that cannot be looked into counts as started long ago."""
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return None
    except PermissionError:
        pass
    try:
        with open(f"/proc/{pid}/stat", encoding="ascii", errors="replace") as f:
            ticks = int(f.read().rsplit(")", 1)[1].split()[19])
        with open("/proc/stat", encoding="ascii") as f:
            boot = next(int(line.split()[1]) for line in f if line.startswith("btime "))
        return boot + ticks / os.sysconf("SC_CLK_TCK")
    except (OSError, ValueError, IndexError, StopIteration):
        return 0.0


def _remove_stale(directory: str) -> None:
    """Removes the temporaries in `directory` that conversions which ended without cleaning up
    left (their process gone, or the pid now another process's, started after the file), each
    with a warning."""
    try:
        names = os.listdir(directory)
    except OSError:
        return
    for name in names:
        m = TEMPORARY.fullmatch(name)
        if m is None or int(m["pid"]) == os.getpid():
            continue
        path = os.path.join(directory, name)
        try:
            st = os.lstat(path)
        except FileNotFoundError:
            continue
        started = _started(int(m["pid"]))
        if started is not None and started <= st.st_mtime + 1:
            continue  # a conversion still running
        try:
            os.unlink(path)
        except FileNotFoundError:
            continue
        except OSError as e:
            warn(f"{path}: a temporary left by an ended conversion, not removed: {e.strerror}", UserWarning)
            continue
        warn(f"{path}: a temporary left by an ended conversion (process {m['pid']}): removed", UserWarning)


class _Hijacked(OSError):
    """The temporary's name came to name another file while the output was written."""


class _Output:
    """The file a conversion writes, held by its descriptor from creation to publication.

    Made where the file system can as an unnamed file in OUT's directory (O_TMPFILE), linked
    in only when complete; elsewhere created exclusively (O_EXCL | O_NOFOLLOW) under a hidden
    temporary name. Either way it is written, synced and checked through the descriptor,
    never opened again by a name someone else could swap, and every name is taken relative
    to the directory opened first. It gets the mode (and owner, where allowed) of the OUT it
    replaces, else the one the umask gives a new file."""

    def __init__(self, out: str) -> None:
        path = os.path.abspath(out)
        directory, self.base = os.path.split(path)
        self.out = out
        self.name: str | None = None  # its temporary name in the directory, while it has one
        self.fd = -1
        self.dirfd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        try:
            try:
                st = os.stat(self.base, dir_fd=self.dirfd)
                old = st if stat.S_ISREG(st.st_mode) else None
            except OSError:
                old = None
            if TMPFILE and os.path.isdir("/proc/self/fd"):
                try:
                    self.fd = os.open(".", os.O_TMPFILE | os.O_RDWR | os.O_CLOEXEC, 0o600, dir_fd=self.dirfd)
                except OSError as e:
                    if e.errno not in (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL):
                        raise
            if self.fd < 0:
                flags = os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
                self.fd = self._named(lambda name: os.open(name, flags, 0o600, dir_fd=self.dirfd))
            if old is not None:
                try:
                    os.fchown(self.fd, old.st_uid, old.st_gid)
                except OSError:
                    pass  # not ours to give: the mode is kept all the same
                os.fchmod(self.fd, stat.S_IMODE(old.st_mode))
            else:
                os.fchmod(self.fd, 0o666 & ~_umask())
            self.ident = os.fstat(self.fd)
        except BaseException:
            self.discard()
            raise

    def _named(self, make: Callable[[str], int | None]) -> Any:
        """make(name) for a new temporary name, until one is free; the name is kept."""
        while True:
            name = f".{self.base}~vorn-{os.getpid()}-{secrets.token_hex(4)}.part"
            try:
                result = make(name)
            except FileExistsError:
                continue
            self.name = name
            return result

    def _ours(self, name: str) -> bool:
        try:
            return os.path.samestat(os.lstat(name, dir_fd=self.dirfd), self.ident)
        except OSError:
            return False

    def _hijacked(self) -> OSError:
        return _Hijacked(errno.EEXIST, "the temporary was replaced by another file while converting", self.out)

    def _appeared(self) -> OSError:
        return FileExistsError(errno.EEXIST, "appeared while converting", self.out)

    def publish(self, force: bool) -> None:
        """Syncs the file and puts it in place of OUT (with force; else only while OUT is absent),
        then syncs the directory. Raises, OUT left as it was, if its name came to name another file."""
        os.fsync(self.fd)
        d = self.dirfd
        if self.name is None:  # unnamed: linked in through the descriptor
            proc = f"/proc/self/fd/{self.fd}"
            if not force:
                try:
                    os.link(proc, self.base, dst_dir_fd=d, follow_symlinks=True)
                except FileExistsError:
                    raise self._appeared() from None
                self._sync_dir()
                return
            self._named(lambda name: os.link(proc, name, dst_dir_fd=d, follow_symlinks=True))
        assert self.name is not None
        if not self._ours(self.name):
            raise self._hijacked()
        if force:
            os.replace(self.name, self.base, src_dir_fd=d, dst_dir_fd=d)
            self.name = None
        else:
            try:  # fails if OUT appeared meanwhile
                os.link(self.name, self.base, src_dir_fd=d, dst_dir_fd=d, follow_symlinks=False)
            except FileExistsError:
                raise self._appeared() from None
        if not self._ours(self.base):  # swapped between the check and the rename: taken back
            try:
                if not force or stat.S_ISLNK(os.lstat(self.base, dir_fd=d).st_mode):
                    os.unlink(self.base, dir_fd=d)
            except OSError:
                pass
            raise self._hijacked()
        if self.name is not None:
            os.unlink(self.name, dir_fd=d)
            self.name = None
        self._sync_dir()

    def _sync_dir(self) -> None:
        try:
            os.fsync(self.dirfd)
        except OSError:
            pass  # a directory that cannot be synced (some file systems): the rename is done anyway

    def discard(self) -> None:
        """Removes the temporary (its name, if it still names this file) and closes it."""
        if self.name is not None and self._ours(self.name):
            try:
                os.unlink(self.name, dir_fd=self.dirfd)
            except OSError:
                pass
        self.name = None
        self.close()

    def close(self) -> None:
        """Closes the file and the directory."""
        for fd in (self.fd, self.dirfd):
            if fd >= 0:
                os.close(fd)
        self.fd = self.dirfd = -1


class _Terminated(BaseException):
    """SIGTERM, held until the output was cleaned up."""


class _Signals:
    """Ctrl-C and SIGTERM held while a conversion writes: the handler only notes the signal,
    and `check` raises it (KeyboardInterrupt, _Terminated) between two writes, where the
    writing library is in a state it can be closed from. Only in the main thread, and only
    where the handlers are Python's defaults; restored on exit."""

    def __init__(self) -> None:
        self.pending: int | None = None
        self.saved: dict[int, Any] = {}

    def __enter__(self) -> _Signals:
        if threading.current_thread() is threading.main_thread():
            for signum, default in ((signal.SIGINT, signal.default_int_handler), (signal.SIGTERM, signal.SIG_DFL)):
                if signal.getsignal(signum) is default:
                    self.saved[signum] = signal.signal(signum, self._note)
        return self

    def _note(self, signum: int, frame: Any) -> None:
        if self.pending is None:
            self.pending = signum

    def check(self) -> None:
        if self.pending is None:
            return
        signum, self.pending = self.pending, None
        if signum == signal.SIGTERM:
            raise _Terminated
        raise KeyboardInterrupt

    def __exit__(self, *exc: object) -> None:
        for signum, handler in self.saved.items():
            signal.signal(signum, handler)
        self.saved.clear()


_signals: _Signals | None = None  # the conversion running in the main thread


def _check_signals() -> None:
    """Raises the signal held for the conversion of the main thread, in that thread only."""
    if _signals is not None and threading.current_thread() is threading.main_thread():
        _signals.check()


def convert(
    paths: PathLike | Iterable[PathLike],
    out: PathLike,
    kind: Kind | None = None,
    *,
    force: bool = False,
    on_corrupt: OnCorrupt = "raise",
    channels: int | None = None,
    compression: str | None = None,
    step: int | str | None = None,
    progress: bool = False,
    features: dict[str, Any] | None = None,
) -> ConvertResult:
    """Writes the events of one or many WD1/WD2 files as one dataset to `out`.

    The format comes from out's suffix: .parquet/.pq (pyarrow), .h5/.hdf5 (h5py) or .npz.
    paths: a file, a directory (its regular, non-hidden files, by name), a glob pattern, or
    a list of these; all must be regular files of one kind (None: recognised from the first
    records, and inputs of different kinds are refused) and, for WD2, one channel count.
    Events are stored in input order with `file` (the input's index in the metadata's
    `source_files`) and `entry` (the event's index in its file), as `iterate` yields them.
    When every event has one shape `data` is events x samples (WD1, uint16) or events x
    channels x samples (WD2, float32), else the events' samples of varying length (see
    docs/convert.md for each format's layout, metadata and how to read it back).

    The output is written through one descriptor to a file in out's directory (unnamed where
    the file system allows, else a hidden temporary ".OUT~vorn-PID-TAG.part"), synced, and
    renamed to `out` only when complete; it is never opened again by name, so a file swapped
    in under that name is neither written to nor published. Replacing `out` keeps its mode
    (and owner, where allowed); a new `out` gets the umask's mode. On any failure (a full
    disk, a read error, Ctrl-C, SIGTERM) the temporary is removed and `out` is left as it
    was; in the main thread Ctrl-C and SIGTERM are held until the writing library can be
    closed, then raise KeyboardInterrupt or end the process as SIGTERM would. Temporaries
    that ended conversions left in out's directory are removed with a warning. An existing
    `out` raises FileExistsError unless force=True; an `out` that is one of the inputs (a
    link to one included) raises ValueError even then.

    compression: Parquet "snappy" (None: none), "gzip", "brotli", "lz4" or "zstd"; HDF5
    "gzip" or "lzf" (with the shuffle filter); .npz "deflate". step: events (int) or bytes
    ("16 MB") read at once (None: about 16 MB, whole HDF5 chunks), reading the next while
    one is written; memory stays a few chunks (Parquet: a row group of about 64 MB; .npz
    also keeps the header columns). on_corrupt, channels and progress are those
    of `iterate`; the inputs' headers are read once first, so damage with "raise" fails
    before anything is written. Returns a ConvertResult (its summary() is one line).

    features: write the pulse features instead of the samples, computed with these options
    of `vornkit.features` ({} for its defaults): Parquet one row per event and channel (a
    `channel` column), HDF5 and .npz one array per column, (events, channels) for WD2.
    """
    t0 = time.perf_counter()
    out = os.fspath(out)
    fmt = FORMATS.get(os.path.splitext(out)[1].lower())
    if fmt is None:
        raise ValueError(f"{out}: the output must end in one of {', '.join(FORMATS)}")
    if kind is not None:
        check_kind_name(kind)
        channels = check_channels(kind, channels)
    check_on_corrupt(on_corrupt)
    codec = _check_compression(fmt, compression)
    if step is not None:
        _parse_step(step)
    if os.path.lexists(out) and not force:
        raise FileExistsError(errno.EEXIST, "exists (force=True or --force replaces it)", out)
    files = _inputs(paths, kind)
    try:
        target = os.stat(out)  # through a link: the file that would be replaced
    except OSError:
        target = None
    if target is not None:
        for f in files:
            if os.path.samestat(os.stat(f), target):
                raise ValueError(f"{out}: the output is the input {f}: replacing it would destroy the run")

    if features is not None:
        opts = (fmt, kind, force, on_corrupt, channels, codec, step, progress, features, t0)
        return convert_features(files, out, *opts)[0]

    def write(plan: _Plan, output: _Output) -> None:
        chunks = _Chunks(plan, step if step is not None else _default_step(plan, fmt), channels, on_corrupt, progress)
        sink = _Sink(output.fd, out)
        reading = _guarded(iter(chunks), sink)
        try:
            WRITERS[fmt](plan, reading, sink, codec)
        except BaseException:
            if sink.error is not None:  # the write error itself, not what a library made of it
                raise sink.error from None
            raise
        finally:
            close = getattr(reading, "close", None)  # the reading thread stopped before anything else
            if close is not None:
                close()
        if sink.error is not None:  # a failure a library reported no further
            raise sink.error

    global _signals
    held = _Signals() if _signals is None else None
    if held is not None:
        _signals = held.__enter__()
    try:
        _remove_stale(os.path.dirname(os.path.abspath(out)))
        # Runs of same-size records (the usual case) are written without a header pass first; damage
        # stops them while writing. With skip/warn every header is read first (warnings come once).
        plan = _plan(files, kind, channels, on_corrupt, predict=on_corrupt == "raise")
        _check_signals()
        output = _Output(out)
        try:
            try:
                write(plan, output)
            except _Mispredicted:  # records of another size after all: read the headers, write again
                os.ftruncate(output.fd, 0)
                plan = _plan(files, kind, channels, on_corrupt)
                write(plan, output)
            _check_signals()
            output.publish(force)
            size = os.fstat(output.fd).st_size
        except BaseException:
            output.discard()
            raise
        output.close()
    except _Terminated:
        if held is None:  # the command's: it says so and exits
            raise
        held.__exit__()
        _signals = None
        os.kill(os.getpid(), signal.SIGTERM)  # the death the signal would have been, now that nothing is left
        raise
    finally:
        if held is not None:
            held.__exit__()
            _signals = None
    return ConvertResult(out, fmt, plan.events, len(files), sum(plan.sizes), size, time.perf_counter() - t0)


def _left(out: str, force: bool) -> str:
    return f"{out} left as it was" if force and os.path.lexists(out) else "nothing written"


def convert_features(
    files: list[str],
    out: str,
    fmt: str,
    kind: Kind | None,
    force: bool,
    on_corrupt: OnCorrupt,
    channels: int | None,
    codec: str | None,
    step: int | str | None,
    progress: bool,
    options: dict[str, Any],
    t0: float,
) -> tuple[ConvertResult, dict[str, np.ndarray]]:
    """convert(features=...): the feature table of the inputs, written as `fmt` through a temporary; and the table."""
    from ._features import features as compute_table

    features: Any = compute_table

    plan = _plan(files, kind, channels, on_corrupt, predict=True)  # the kind and channel count, checked
    extra = {"step": step} if step is not None else {}
    table: dict[str, np.ndarray] = dict(
        features(files, plan.kind, channels=channels, on_corrupt=on_corrupt, progress=progress, **extra, **options)
    )
    index = {f: i for i, f in enumerate(files)}
    table["file"] = np.fromiter((index[f] for f in table["file"]), np.int32, len(table["file"]))
    meta: dict[str, Any] = {
        "kind": plan.kind,
        "table": "features",
        "events": int(len(table["entry"])),
        "channels": plan.channels,
        "features": {k: v for k, v in options.items()},
        "sampling_period": plan.period,
        "source_files": files,
        "source_sizes": plan.sizes,
        "vorn_version": _version(),
    }
    output = _Output(out)  # written through its descriptor, as the samples are
    try:
        sink = _Sink(output.fd, out)
        try:
            _write_feature_table(fmt, table, plan.channels, meta, sink, codec)
        except BaseException:
            if sink.error is not None:
                raise sink.error from None
            raise
        if sink.error is not None:
            raise sink.error
        output.publish(force)
        size = os.fstat(output.fd).st_size
    except BaseException:
        output.discard()
        raise
    output.close()
    took = time.perf_counter() - t0
    result = ConvertResult(out, fmt, meta["events"], len(files), sum(plan.sizes), size, took)
    table["file"] = np.array(files, dtype=object)[table["file"]]
    return result, table


def _write_feature_table(
    fmt: str, table: dict[str, np.ndarray], channels: int, meta: dict[str, Any], out: Any, codec: str | None
) -> None:
    """The feature table written as `fmt` to `out`, a file object over the output's descriptor."""
    text = json.dumps(meta)
    if fmt == "parquet":
        try:
            import pyarrow as pa  # type: ignore[import-untyped, import-not-found, unused-ignore]
            import pyarrow.parquet as pq  # type: ignore[import-untyped, import-not-found, unused-ignore]
        except ImportError:
            raise ImportError("writing Parquet needs pyarrow: pip install pyarrow (or vorn[kit])") from None
        n = len(table["entry"])
        per = channels if meta["kind"] == "WD2" else 1
        cols = {k: (v.reshape(-1) if v.ndim == 2 else np.repeat(v, per)) for k, v in table.items()}
        cols["channel"] = np.tile(np.arange(per, dtype=np.int32), n)
        arrow = pa.table({k: pa.array(v) for k, v in cols.items()}).replace_schema_metadata({"vornkit": text})
        pq.write_table(arrow, out, compression=codec or "none")
    elif fmt == "hdf5":
        try:
            import h5py  # type: ignore[import-untyped, import-not-found, unused-ignore]
        except ImportError:
            raise ImportError("writing HDF5 needs h5py: pip install h5py (or vorn[kit])") from None
        with h5py.File(out, "w") as f:
            for k, v in table.items():
                f.create_dataset(k, data=v, compression=codec)
            f.attrs["vornkit"] = text
    else:
        method = zipfile.ZIP_DEFLATED if codec == "deflate" else zipfile.ZIP_STORED
        with zipfile.ZipFile(out, "w", compression=method, allowZip64=True) as zf:
            for k, v in [*table.items(), ("metadata", np.array(text))]:
                with zf.open(k + ".npy", "w", force_zip64=True) as member:
                    np.lib.format.write_array(member, v)


def feature_options(args: argparse.Namespace) -> dict[str, Any]:
    """The options of `vornkit.features` given on the command line (--baseline, --gate, ...)."""
    options: dict[str, Any] = {"polarity": args.polarity}
    if args.baseline is not None:
        options["baseline"] = args.baseline
    if args.gate is not None:
        options["gate"] = args.gate
    for name in ("saturation", "threshold", "cfd"):
        if getattr(args, name) is not None:
            options[name] = getattr(args, name)
    return options


def run(args: argparse.Namespace) -> int:
    """The `convert` command: exit status 0 with a summary line, 2 when OUT exists, 1 on failure,
    130 on Ctrl-C, 143 on SIGTERM; a failure is one line on standard error."""
    global _signals
    held = _signals = _Signals().__enter__()  # from here on: a signal ends the command with its message
    try:
        progress = args.progress if args.progress is not None else sys.stderr.isatty()
        if progress:
            try:
                import tqdm  # type: ignore[import-untyped, import-not-found, unused-ignore]  # noqa: F401
            except ImportError:
                progress = False  # a bar only when tqdm is there
        _check_signals()
        result = convert(
            args.file,
            args.out,
            args.kind,
            force=args.force,
            on_corrupt=args.on_corrupt,
            channels=args.channels,
            compression=args.compression,
            step=args.step,
            progress=progress,
            features=feature_options(args) if args.features else None,
        )
    except FileExistsError as e:
        if e.filename == args.out:
            print(f"vornkit convert: {args.out} exists: give --force to replace it", file=sys.stderr)
            return 2
        print(f"vornkit convert: {e}", file=sys.stderr)
        return 1
    except (FormatError, OSError, ReadError, ValueError, ImportError) as e:
        left = "" if isinstance(e, FileExistsError) else f"; {_left(args.out, args.force)}"
        if isinstance(e, OSError) and e.strerror and e.filename == args.out:
            print(f"vornkit convert: {args.out}: {e.strerror}{left}", file=sys.stderr)
        else:
            print(f"vornkit convert: {e}{left}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"vornkit convert: interrupted; {_left(args.out, args.force)}", file=sys.stderr)
        return 130
    except _Terminated:
        print(f"vornkit convert: terminated; {_left(args.out, args.force)}", file=sys.stderr)
        return 128 + signal.SIGTERM
    finally:
        held.__exit__()
        _signals = None
    print(result.summary())
    return 0
