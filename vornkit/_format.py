"""Recognising an event file from its first bytes: other formats by magic number, the WD2
channel count as the reader works it out, and whether the first records hold together."""

from __future__ import annotations

import dataclasses
import errno
import os
import stat
import struct

KINDS = ("WD1", "WD2")
WD1_HEADER = 24
WD2_BASE_HEADER = 24
WD2_WORD_HEADER = 28
MAX_BLOCK = 0x7FFFFFFF  # a sample block above this many bytes is a corrupt record
_WALK_RECORDS = 16  # records checked when recognising a file
_TRUSTED = 2  # whole records after which a bad header is the file's fault, not the layout's

_WD1 = struct.Struct("<6i")
_WD2 = struct.Struct("<IQIQ")
_WORD = struct.Struct("<i")

# First bytes of files that are often mistaken for runs, and what to do about them.
_MAGIC = (
    (b"\x1f\x8b\x08", "gzip-compressed data", "decompress it first (gunzip)"),
    (b"\x28\xb5\x2f\xfd", "zstd-compressed data", "decompress it first (zstd -d)"),
    (b"\xfd7zXZ\x00", "xz-compressed data", "decompress it first (unxz)"),
    (b"BZh", "bzip2-compressed data", "decompress it first (bunzip2)"),
    (b"PK\x03\x04", "a zip archive (or .npz)", "extract the run from it first"),
    (b"\x89HDF\r\n\x1a\n", "an HDF5 file", "read it with h5py"),
    (b"PAR1", "a Parquet file", "read it with pyarrow or pandas"),
    (b"\x93NUMPY", "a NumPy .npy file", "read it with numpy.load"),
)


class FormatError(ValueError):
    """The file is not a WD1/WD2 event file (compressed, another format, or unrecognised)."""

    def __init__(self, message: str, path: str) -> None:
        super().__init__(f"{path}: {message}")
        self.path = path


@dataclasses.dataclass(frozen=True)
class Probe:
    """The WD2 channel count the reader will use, and why."""

    channels: int
    reason: str
    suspect_channels: int | None = None  # the count the file more likely has, when they differ

    @property
    def header_bytes(self) -> int:
        return WD2_WORD_HEADER if self.channels >= 2 else WD2_BASE_HEADER


def block_bytes(channels: int, samples: int) -> int | None:
    """Bytes of a WD2 sample block, or None when it cannot be a real block."""
    if channels < 0 or channels * samples > MAX_BLOCK // 4:
        return None
    return channels * samples * 4


def wd1_record_bytes(event_size: int) -> int | None:
    """Bytes a WD1 record with this size word spans, or None for a corrupt size."""
    if event_size < 23:
        return None
    return WD1_HEADER + 2 * max(0, (event_size - 24) // 2)


def magic(head: bytes) -> tuple[str, str] | None:
    """(what the file is, what to do) when its first bytes name another format."""
    for prefix, what, hint in _MAGIC:
        if head.startswith(prefix):
            return what, hint
    return None


def is_regular(path: str | os.PathLike[str]) -> bool:
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return False


class Head:
    """Random access to a regular file's bytes for header reads (never used on pipes)."""

    def __init__(self, path: str) -> None:
        self.fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
        self.size = os.fstat(self.fd).st_size

    def read(self, offset: int, n: int) -> bytes:
        return os.pread(self.fd, n, offset) if offset < self.size else b""

    def close(self) -> None:
        os.close(self.fd)

    def __enter__(self) -> Head:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def probe(head: Head) -> Probe | None:
    """The channel count the reader settles on, or None when the file is too short for it."""
    first = head.read(0, WD2_WORD_HEADER)
    if len(first) < WD2_WORD_HEADER:
        return None
    c1, _, s1, p1 = _WD2.unpack_from(first)
    k1 = _WORD.unpack_from(first, 24)[0]
    skip = block_bytes(k1, s1) if k1 >= 1 else None
    if skip is None:
        return Probe(1, f"the first word after the header ({k1}) cannot be a channel count: no channel words")
    second = head.read(WD2_WORD_HEADER + skip, WD2_WORD_HEADER)
    if len(second) < WD2_WORD_HEADER:
        return None
    c2, _, s2, p2 = _WD2.unpack_from(second)
    k2 = _WORD.unpack_from(second, 24)[0]
    if (c2, s2, p2, k2) == ((c1 + 1) & 0xFFFFFFFF, s1, p1, k1):
        if k1 == 1:
            return Probe(1, "the first two headers agree on channel word 1: one channel")
        return Probe(k1, f"the first two headers agree: counters {c1}, {c2}, {s1} samples, channel word {k1}")
    disagree = [name for name, a, b in (("event counter", (c1 + 1) & 0xFFFFFFFF, c2), ("samples", s1, s2),
                                        ("sampling period", p1, p2), ("channel word", k1, k2)) if a != b]
    reason = f"the first two headers disagree ({', '.join(disagree)}): one channel"
    suspect = None
    if k1 >= 2 and walk(head, "WD2", Probe(k1, "")).fits:
        suspect = k1
        if disagree == ["event counter"]:
            reason = (f"the first two event counters are not consecutive ({c1}, {c2}), so the file reads as one "
                      f"channel; its records fit {k1} channels")
        else:
            reason += f"; its records fit {k1} channels"
    return Probe(1, reason, suspect)


@dataclasses.dataclass(frozen=True)
class Walk:
    """How the first records hold together under one layout."""

    fits: bool
    records: int  # whole records walked
    why: str = ""


def walk(head: Head, kind: str, wd2: Probe | None = None) -> Walk:
    """Follows record sizes from offset 0 for up to a few records, checking each header."""
    offset = records = 0
    prev_size = prev_period = None
    while records < _WALK_RECORDS:
        left = head.size - offset
        if left == 0:
            return Walk(records > 0, records, "" if records else "empty file")
        if kind == "WD1":
            raw = head.read(offset, WD1_HEADER)
            if len(raw) < WD1_HEADER:
                return Walk(records > 0, records, "ends in a partial header")
            size = wd1_record_bytes(_WD1.unpack_from(raw)[0])
            if size is None:
                size = _WD1.unpack_from(raw)[0]
                return Walk(records >= _TRUSTED, records, f"record size word {size} at offset {offset}")
            if size > left:
                # A cut last record is fine when it looks like the ones before it.
                return Walk(records > 0 and size == prev_size, records, f"a record of {size} bytes runs past the end")
            prev_size = size
        else:
            assert wd2 is not None
            raw = head.read(offset, wd2.header_bytes)
            if len(raw) < wd2.header_bytes:
                return Walk(records > 0, records, "ends in a partial header")
            _, _, samples, period = _WD2.unpack_from(raw)
            block = block_bytes(wd2.channels, samples)
            if block is None:
                return Walk(records >= _TRUSTED, records, f"sample count {samples} at offset {offset}")
            size = wd2.header_bytes + block
            # Counters may skip or repeat in a sound file (scan reports that); the period may not change.
            if prev_period is not None and period != prev_period:
                return Walk(records >= _TRUSTED, records, f"the sampling period changes at offset {offset}")
            if size > left:
                return Walk(records > 0, records, f"a record of {size} bytes runs past the end")
            prev_period = period
        offset += size
        records += 1
    return Walk(True, records)


@dataclasses.dataclass(frozen=True)
class Recognised:
    """What the first bytes of a regular file say."""

    kind: str | None  # the layout the first records fit, None when neither or both
    probe: Probe | None  # WD2 channel count (None: too short for the probe)
    fits: dict[str, Walk]
    foreign: tuple[str, str] | None  # another format's magic number


def recognise(path: str) -> Recognised:
    with Head(path) as head:
        foreign = magic(head.read(0, 8))
        wd2 = probe(head)
        fits = {"WD1": walk(head, "WD1"),
                "WD2": walk(head, "WD2", wd2) if wd2 is not None else Walk(False, 0, "too short for WD2")}
        if wd2 is not None and wd2.suspect_channels:
            fits["WD2"] = walk(head, "WD2", Probe(wd2.suspect_channels, ""))
    good = [k for k in KINDS if fits[k].fits]
    if len(good) == 2:  # both fit: the one with more whole records wins, WD1 on a tie
        good = ["WD2"] if fits["WD2"].records > fits["WD1"].records else ["WD1"]
    return Recognised(good[0] if good else None, wd2, fits, foreign)


def check_kind(path: str, kind: str | None) -> tuple[str, Recognised | None, list[str]]:
    """The kind to read `path` as and warnings about it; FormatError when it cannot be read.

    Pipes and missing files are left to the reader (reading them here would take their bytes)."""
    if kind is not None and kind not in KINDS:
        raise ValueError(f"kind must be 'WD1' or 'WD2', not {kind!r}")
    if not is_regular(path) or os.path.getsize(path) == 0:
        if kind is None:
            if stat.S_ISDIR(os.stat(path).st_mode):  # os.stat: FileNotFoundError etc. naming the path
                raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
            raise FormatError("cannot recognise the format of an empty file or a pipe; give kind='WD1' or 'WD2'",
                              path)
        return kind, None, []
    rec = recognise(path)
    given_fits = kind is not None and rec.fits[kind].fits
    if rec.foreign is not None and not given_fits:
        what, hint = rec.foreign
        raise FormatError(f"{what}, not a WD1/WD2 event file: {hint}", path)
    warnings = []
    if kind is None:
        if rec.kind is None:
            raise FormatError("neither WD1 nor WD2 records: " + "; ".join(
                f"as {k}, {rec.fits[k].why}" for k in KINDS), path)
        kind = rec.kind
    elif not given_fits and rec.kind is not None and rec.kind != kind:
        warnings.append(f"the first records do not fit {kind} ({rec.fits[kind].why}) but fit {rec.kind}: "
                        f"the events read as {kind} are garbage")
    if kind == "WD2" and rec.probe is not None and rec.probe.suspect_channels:
        warnings.append(rec.probe.reason)
    return kind, rec, warnings
