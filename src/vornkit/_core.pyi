"""vornkit's compiled reader: records of a WD1/WD2 file straight into NumPy columns, with
the interpreter lock released while reading and decoding (private: use vornkit's calls)."""

import os
from collections.abc import Sequence
from typing import Literal

import numpy as np

Stop = Literal["limit", "end", "corrupt", "error"]

class Reader:
    """One event file read in runs of records into columns.

    path: opened read-only (a regular file, a FIFO or a pipe). kind: "WD1" or "WD2".
    channels: the WD2 channel count; None runs the probe on the file's first two headers
    (at offset 0, whatever `offset` is). offset/event: the byte offset of the first record
    to read (a record boundary) and its index. columns: the header fields, "data" and
    "offset" to read (None: every field and "data"); without "data" the sample blocks are
    skipped (a seek where the file allows). recover: after a corrupt header, or one out of step with the run, find the
    next record boundary where consecutive headers chain with the run and go on there
    (records in `skipped`); without it a corrupt header stops the read (status "corrupt").

    Raises the OSError subclass for the error number (errno and filename set) when the file
    cannot be opened; for WD2 without `channels`, plain OSError (errno None, filename set)
    when the file is too short for the probe, or the error of the seek back (a pipe);
    ValueError for a bad argument. After close() every attribute that reads the file's state
    (offset, event, pending, skipped) raises ValueError.
    """

    path: str
    kind: str
    channels: int  # the WD2 channel count in use (1 for WD1)
    header_bytes: int  # 24, or 28 for WD2 with channel words
    # The probe's view of the first two headers read with channel words:
    # (counter, samples, period, word) of each; None when channels was given, the file is
    # too short for a second header, or the first word cannot be a channel count.
    probe: tuple[tuple[int, int, int, int], tuple[int, int, int, int]] | None
    offset: int  # byte offset of the next record (of the one pending, if any)
    event: int  # index of the next record
    pending: int  # bytes of a partial record at `offset` read so far, or of damage when `resyncing`
    resyncing: bool  # recovering: the bytes from `offset` on are damage with no record boundary found after it
    # Why the last read stopped. After "corrupt" (recover=False) the next read goes on after
    # the corrupt header, as vorn does. A recovering reader that finds no boundary after
    # damage (fewer than three chained headers left, or a file still being written) ends
    # with the damage as `pending` and looks again at the next read.
    status: Stop
    skipped: list[tuple[int, int, int]]  # damage passed over: (next event, byte offset, bytes), all so far

    def __init__(
        self,
        path: str | os.PathLike[str],
        kind: str,
        *,
        channels: int | None = None,
        offset: int = 0,
        event: int = 0,
        columns: Sequence[str] | None = None,
        recover: bool = False,
    ) -> None: ...
    def read(self, max_events: int = -1, max_bytes: int = -1) -> dict[str, np.ndarray]:
        """Reads up to `max_events` records and about `max_bytes` record bytes (-1: no limit).

        A byte limit stops before a record that would pass it (the first record always comes).
        Returns the asked header columns (native dtypes of the field table), "n_samples"
        (int64, each record's samples, all channels; with "data" read and every record of one
        size, a read-only array of one value repeated) and, when asked, "offset" (int64, each
        record's byte offset) and "data": every sample end to end (uint16 or float32).
        `status` says why it stopped. A read error after some records returns them with
        status "error" and raises at the next call; with none, it raises at once (the
        OSError subclass, errno and filename set). A signal handler that raises (Ctrl-C)
        ends the call with its exception; the records of that call are kept, and the next
        call returns them with the records it reads.
        """
    def close(self) -> None:
        """Closes the file; later reads raise ValueError."""
    def fileno(self) -> int: ...
    def __enter__(self) -> Reader: ...
    def __exit__(self, *exc: object) -> None: ...

def features(
    data: np.ndarray,
    n_samples: np.ndarray,
    channels: int,
    *,
    baseline: tuple[int, int | None] = (0, 64),
    gate: tuple[int, int | None] | None = ...,
    negative: bool = True,
    saturation: tuple[float, float] | None = None,
    threshold: float | None = None,
    cfd: float | None = None,
) -> dict[str, np.ndarray]:
    """Pulse features of each event and channel of a chunk, the lock released while computed.

    data: every sample end to end (uint16 or float32), n_samples: each record's samples (all
    channels, multiples of `channels`), as Reader.read() returns them. Windows are sample
    ranges (start, stop) of each channel's record, clipped to it (stop None: its end); the
    gate defaults to (baseline stop, None). negative: the signal is baseline - sample.
    saturation: (low, high), a sample at or below low or at or above high saturates.
    Returns flat arrays of events x channels values: "baseline", "rms", "amplitude", "peak"
    (int64, -1 without an amplitude), "integral", and "saturated" (bool), "t_threshold",
    "t_cfd" with their options. Empty windows give NaN (see src/core/features.hpp).
    """
