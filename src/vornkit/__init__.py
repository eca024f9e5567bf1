"""vornkit: what one does with WD1/WD2 event files, in one call, on top of vorn's decoder.

- arrays(path, kind, start=, stop=, columns=): a run (or a slice of it) as NumPy arrays,
  samples in one 2-D/3-D block; a slice does not read what lies before it (typed: WD1Arrays,
  WD2Arrays; iterate's chunks WD1Chunk, WD2Chunk; events yield vorn's WD1Event, WD2Event)
- iterate(paths, kind, step=...): the same in chunks across many files; to_dataframe(...)
- dask(paths, kind, step=...): a campaign of files as lazy dask arrays; dask_dataframe(...)
- events(path, kind, on_corrupt=...): event dicts whose errors name the file, event and offset
- scan(path, kind=None): what a file holds and what is wrong with it, before reading it
- follow(path, kind): events of a run while it is being written; of a directory of runs
  or a pattern, file after file as the acquisition goes on
- convert(paths, out): runs written as one Parquet, HDF5 or .npz dataset (docs/convert.md)
- python -m vornkit info|convert|follow: the same from the command line

Every record is read by the compiled core (vornkit._core) straight into NumPy columns,
with the interpreter lock released; channels= gives a WD2 channel count, on_corrupt="skip"
or "warn" reads on past damaged records.
"""

from ._arrays import arrays, iterate, to_dataframe
from ._convert import ConvertResult, convert
from ._dask import dask, dask_dataframe
from ._format import FormatError
from ._layouts import Kind, WD1Arrays, WD1Chunk, WD2Arrays, WD2Chunk
from ._read import (
    CorruptRecordError,
    CorruptRecordWarning,
    FileChangedError,
    FileChangedWarning,
    FormatWarning,
    NewerRunWarning,
    ReadError,
    events,
    follow,
)
from ._scan import ScanReport, scan

__all__ = [
    "ConvertResult",
    "CorruptRecordError",
    "CorruptRecordWarning",
    "FileChangedError",
    "FileChangedWarning",
    "FormatError",
    "FormatWarning",
    "Kind",
    "NewerRunWarning",
    "ReadError",
    "ScanReport",
    "WD1Arrays",
    "WD1Chunk",
    "WD2Arrays",
    "WD2Chunk",
    "arrays",
    "convert",
    "dask",
    "dask_dataframe",
    "events",
    "follow",
    "iterate",
    "scan",
    "to_dataframe",
]
