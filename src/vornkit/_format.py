"""Recognising an event file: other formats by magic number, the WD2 channel count as the
core's probe settles it, and whether the first records hold together under a layout."""

from __future__ import annotations

import contextvars
import dataclasses
import errno
import os
import stat
from typing import Any

from ._layouts import FIELDS, KINDS, WD2_WORD_HEADER, Kind

try:
    from . import _core
except ImportError:  # a build tree: beside vorn on sys.path
    try:
        import _core  # type: ignore[import-not-found, no-redef, unused-ignore]
    except ImportError as e:
        raise ImportError(
            f"vornkit's compiled reader (_core) is not beside {os.path.dirname(__file__)}: install vorn "
            "(pip install .), or put its build directory on sys.path (docs/install.md)"
        ) from e

__all__ = [
    "KINDS",
    "FormatError",
    "Probe",
    "Walk",
    "_core",
    "check_channels",
    "check_kind",
    "is_regular",
    "open_core",
    "option",
    "probe",
    "walk",
]

MAX_BLOCK = 0x7FFFFFFF  # a sample block above this many bytes is a corrupt record
_U32 = 0xFFFFFFFF
_WALK_RECORDS = 16  # records checked when recognising a file
_TRUSTED = 2  # whole records after which a bad header is the file's fault, not the layout's

# First bytes of files that are often mistaken for runs, and what to do about them.
_MAGIC = (
    (b"\x1f\x8b\x08", "gzip-compressed data", "decompress it first (gunzip)"),
    (b"\x28\xb5\x2f\xfd", "zstd-compressed data", "decompress it first (zstd -d)"),
    (b"\xfd7zXZ\x00", "xz-compressed data", "decompress it first (unxz)"),
    (b"BZh", "bzip2-compressed data", "decompress it first (bunzip2)"),
    (b"PK\x03\x04", "a zip archive (or .npz)", "extract the run from it first"),
    (b"7z\xbc\xaf\x27\x1c", "a 7z archive", "extract the run from it first"),
    (b"Rar!\x1a\x07", "a RAR archive", "extract the run from it first"),
    (b"\x89HDF\r\n\x1a\n", "an HDF5 file", "read it with h5py"),
    (b"PAR1", "a Parquet file", "read it with pyarrow or pandas"),
    (b"\x93NUMPY", "a NumPy .npy file", "read it with numpy.load"),
    (b"\x7fELF", "an executable or shared library (ELF)", ""),
    (b"\x89PNG\r\n\x1a\n", "a PNG image", ""),
    (b"\xff\xd8\xff", "a JPEG image", ""),
    (b"GIF8", "a GIF image", ""),
    (b"%PDF-", "a PDF document", ""),
)
_HEAD = 512  # bytes read for the magic numbers (a tar header names itself at 257)
_TEXT = frozenset(range(0x20, 0x7F)) | {0x09, 0x0A, 0x0D}

# Set while the command line runs, so that advice names its options instead of keywords.
_COMMAND_LINE: contextvars.ContextVar[bool] = contextvars.ContextVar("vornkit_command_line", default=False)


def option(keyword: str, flag: str) -> str:
    """Advice naming a setting: the keyword form for Python callers (`channels=2`), the
    option form while the command line runs (`--channels 2`)."""
    return flag if _COMMAND_LINE.get() else keyword


def command_line() -> contextvars.Token[bool]:
    """From here on in this context, messages name the command line's options."""
    return _COMMAND_LINE.set(True)


class FormatError(ValueError):
    """The file is not a WD1/WD2 event file, or not one of the kind asked for (compressed,
    another format, records that do not hold together). `path` names the file; `reason` is the
    message without it."""

    path: str
    reason: str

    def __init__(self, reason: str, path: str) -> None:
        super().__init__(f"{path}: {reason}")
        self.reason = reason
        self.path = path

    def __reduce__(self) -> tuple[Any, ...]:  # pickled whole (a process pool, a dask worker), notes kept
        return type(self), (self.reason, self.path), self.__dict__


def check_kind_name(kind: str) -> None:
    if kind not in KINDS:
        raise ValueError(f"{option('kind', '--kind')} must be 'WD1' or 'WD2', not {kind!r}")


def check_channels(kind: str, channels: int | None) -> int | None:
    """The channel count to give the core: None (WD1, or the WD2 probe) or a count >= 1."""
    if channels is None:
        return None
    name = option("channels", "--channels")
    if isinstance(channels, bool) or not isinstance(channels, int) or channels < 1:
        raise ValueError(f"{name} must be {option('None or ', '')}a count >= 1, not {channels!r}")
    if kind == "WD1":
        if channels != 1:
            raise ValueError(
                f"a WD1 record has one channel: {name} must be {option('None or ', 'left out or ')}1, not {channels}"
            )
        return None
    return channels


@dataclasses.dataclass(frozen=True)
class Probe:
    """The WD2 channel count the reader uses, and why."""

    channels: int
    reason: str
    suspect_channels: int | None = None  # the count the file more likely has, when they differ


def block_bytes(channels: int, samples: int) -> int | None:
    """Bytes of a WD2 sample block, or None when it cannot be a real block."""
    if channels < 0 or channels * samples > MAX_BLOCK // 4:
        return None
    return channels * samples * 4


def magic(head: bytes) -> tuple[str, str] | None:
    """(what the file is, what to do) when its first bytes name another format."""
    for prefix, what, hint in _MAGIC:
        if head.startswith(prefix):
            return what, hint
    if head[257:262] == b"ustar":
        return "a tar archive", "extract the run from it first"
    if len(head) >= WD2_WORD_HEADER and _TEXT.issuperset(head):
        # Neither layout starts with text: as WD1 the size word would be at least 538 MB and
        # the board, pattern and channel words as large; as WD2 the sample count is impossible.
        return "a text file", ""
    return None


def is_regular(path: str | os.PathLike[str]) -> bool:
    """A regular file (not a FIFO, a device or a directory), following links."""
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return False


def probe_too_short(e: OSError) -> bool:
    """The core's OSError for a WD2 file too short for the probe (no error number)."""
    return type(e) is OSError and e.errno is None


def open_core(path: str, kind: str, **options: Any) -> _core.Reader:
    """A core reader; a WD2 file too short for the channel probe raises an OSError that says so,
    naming the file (still a plain OSError without an error number, as follow expects)."""
    try:
        return _core.Reader(path, kind, **options)
    except OSError as e:
        if not probe_too_short(e):
            raise
        try:
            size = f"{os.path.getsize(path)} bytes"
        except OSError:
            size = "too short"
        raise OSError(
            f"{path}: {size}: the WD2 channel count is found from the first two records, and the file does not "
            f"hold two yet; give {option('channels=', '--channels')} to read it"
        ) from None


def explain(reader: _core.Reader, path: str | None) -> Probe:
    """Why `reader` (opened without `channels`) uses its channel count, from the probe's view;
    with a path, whether the records fit the count the first header names."""
    view = reader.probe
    if view is None:
        return Probe(reader.channels, "the first word after the header cannot be a channel count: no channel words")
    (c1, s1, p1, k1), (c2, s2, p2, k2) = view
    if k1 < 1 or block_bytes(k1, s1) is None:
        return Probe(
            reader.channels, f"the first word after the header ({k1}) cannot be a channel count: no channel words"
        )
    if (c2, s2, p2, k2) == ((c1 + 1) & _U32, s1, p1, k1):
        if k1 == 1:
            return Probe(reader.channels, "the first two headers agree on channel word 1: one channel")
        return Probe(
            reader.channels, f"the first two headers agree: counters {c1}, {c2}, {s1} samples, channel word {k1}"
        )
    disagree = [
        name
        for name, a, b in (
            ("event counter", (c1 + 1) & _U32, c2),
            ("samples", s1, s2),
            ("sampling period", p1, p2),
            ("channel word", k1, k2),
        )
        if a != b
    ]
    reason = f"the first two headers disagree ({', '.join(disagree)}): one channel"
    suspect = None
    if k1 >= 2 and path is not None and walk(path, "WD2", k1).fits:
        suspect = k1
        if disagree == ["event counter"]:
            reason = (
                f"the first two event counters are not consecutive ({c1}, {c2}), so the file reads as one "
                f"channel; its records fit {k1} channels"
            )
        else:
            reason += f"; its records fit {k1} channels"
        reason += ": give " + option(f"channels={k1}", f"--channels {k1}")
    return Probe(reader.channels, reason, suspect)


def probe(path: str) -> Probe | None:
    """The channel count the reader settles on, or None when the file is too short for it."""
    try:
        reader = _core.Reader(path, "WD2", columns=[])
    except OSError as e:
        if probe_too_short(e):
            return None
        raise
    with reader:
        return explain(reader, path)


@dataclasses.dataclass(frozen=True)
class Walk:
    """How the first records hold together under one layout."""

    fits: bool
    records: int  # whole records walked
    why: str = ""
    broken: bool = False  # the headers read contradict the layout (not just a short file)


def walk(path: str, kind: str, channels: int | None = None) -> Walk:
    """Reads the headers of the first few records under one layout (WD2: `channels`) and checks them."""
    names = ["offset"]
    try:
        with _core.Reader(path, kind, channels=channels, columns=names) as reader:
            cols = reader.read(_WALK_RECORDS)
            status, offset, pending = reader.status, reader.offset, reader.pending
    except OSError as e:
        return Walk(False, 0, str(e))
    n = len(cols["n_samples"])  # the core took only records that hold together (a new run too)
    if status == "corrupt":
        what = "record size word" if kind == "WD1" else "sample count"
        return Walk(n >= _TRUSTED, n, f"an impossible {what} at offset {offset}", broken=n < _TRUSTED)
    if status == "error":
        return Walk(n >= _TRUSTED, n, f"a read error at offset {offset}")
    if n == _WALK_RECORDS:
        return Walk(True, n)
    if pending:
        # A cut last record is fine after records that hold together.
        return Walk(n >= _TRUSTED, n, f"the record at offset {offset} runs past the end")
    return Walk(n > 0, n, "" if n else "empty file")


@dataclasses.dataclass(frozen=True)
class Recognised:
    """What the first bytes of a regular file say."""

    kind: Kind | None  # the layout the first records fit, None when neither or both
    probe: Probe | None  # WD2 channel count (None: too short for the probe)
    fits: dict[str, Walk]
    foreign: tuple[str, str] | None  # another format's magic number
    head: bytes = b""  # the first bytes


def recognise(path: str, channels: int | None = None) -> Recognised:
    """Which layout the first records of a regular file fit; WD2 with `channels` if given."""
    with open(path, "rb") as f:
        head = f.read(_HEAD)
    foreign = magic(head)
    wd2 = (
        Probe(channels, f"given ({option('channels=', '--channels ')}{channels})")
        if channels is not None
        else probe(path)
    )
    fits = {
        "WD1": walk(path, "WD1"),
        "WD2": walk(path, "WD2", wd2.suspect_channels or wd2.channels)
        if wd2 is not None
        else Walk(False, 0, "too short for WD2"),
    }
    good: list[Kind] = [k for k in KINDS if fits[k].fits]
    if len(good) == 2:  # both fit: the one with more whole records wins, WD1 on a tie
        good = ["WD2"] if fits["WD2"].records > fits["WD1"].records else ["WD1"]
    return Recognised(good[0] if good else None, wd2, fits, foreign, head)


def _not_a_run(rec: Recognised, kind: str, channels: int | None, recover: bool) -> str | None:
    """Why a file whose first records do not fit `kind` is not a run of it, or None when it may
    be one still being written (its first record not whole yet) or, when reading on past damage,
    one whose first records are damaged."""
    walked = rec.fits[kind]
    other = "WD2" if kind == "WD1" else "WD1"
    # Zeros fit WD2 (empty records with period 0) and a record of zero samples starts with them:
    # only records with a sampling period, or a WD1 size word, say the file is the other layout.
    telling = int.from_bytes(rec.head[16:24], "little") != 0 if other == "WD2" else any(rec.head[:4])
    if rec.fits[other].fits and rec.fits[other].records >= _TRUSTED and telling:
        return f"the first records do not fit {kind} ({walked.why}) but are {other} records: give " + option(
            f"kind='{other}'", f"--kind {other}"
        )
    if recover or not walked.broken:
        return None
    if kind == "WD2" and channels is not None:
        return f"the first records do not hold together as WD2 with {channels} channel(s) ({walked.why}): " + option(
            "check channels=", "check --channels"
        )
    return f"the first records do not hold together as {kind} ({walked.why})" + option(
        "; if it is a run whose first records are damaged, on_corrupt='skip' reads on past them", ""
    )


def check_kind(
    path: str, kind: Kind | None, channels: int | None = None, *, read: str | None = None
) -> tuple[Kind, Recognised | None, list[str]]:
    """The kind to read `path` as and warnings about it; FormatError when it cannot be read.

    read: the on_corrupt of the read that follows. A file that is not a run of `kind` is then
    refused too: its first records are another layout's, or (on_corrupt="raise") they
    contradict `kind`. A few headers are read, never the whole file; an empty file or one whose
    first record is not whole yet passes. Without `read` (scan) those are warnings.
    Pipes and missing files are left to the reader (reading them here would take their bytes)."""
    if kind is not None:
        check_kind_name(kind)
        channels = check_channels(kind, channels)
    elif channels is not None:
        check_channels("WD2", channels)  # the message names the setting, not the core's argument
    if not is_regular(path) or os.path.getsize(path) == 0:
        if kind is None:
            if stat.S_ISDIR(os.stat(path).st_mode):  # os.stat: FileNotFoundError etc. naming the path
                raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
            raise FormatError(
                "cannot recognise the format of an empty file or a pipe; give "
                + option("kind='WD1' or 'WD2'", "--kind WD1 or --kind WD2"),
                path,
            )
        return kind, None, []
    rec = recognise(path, channels)
    given_fits = kind is not None and rec.fits[kind].fits
    if rec.foreign is not None and not (given_fits or (kind is None and rec.kind is not None)):
        what, hint = rec.foreign
        raise FormatError(f"{what}, not a WD1/WD2 event file" + (f": {hint}" if hint else ""), path)
    if kind is not None and read is not None and not given_fits:
        why = _not_a_run(rec, kind, channels, read != "raise")
        if why is not None:
            raise FormatError(why, path)
    warnings = []
    if kind is None:
        if rec.kind is None:
            raise FormatError(
                "neither WD1 nor WD2 records: " + "; ".join(f"as {k}, {rec.fits[k].why}" for k in KINDS), path
            )
        kind = rec.kind
    elif not given_fits and rec.kind is not None and rec.kind != kind:
        warnings.append(
            f"the first records do not fit {kind} ({rec.fits[kind].why}) but fit {rec.kind}: "
            f"the events read as {kind} are garbage"
        )
    elif not given_fits and kind == "WD2" and channels is not None:
        warnings.append(
            f"the first records do not fit {channels} channel(s) ({rec.fits[kind].why}): "
            + option("check channels=", "check --channels")
        )
    if kind == "WD2" and channels is not None and channels >= 2:
        with _core.Reader(path, "WD2", channels=channels, columns=["channels"]) as reader:
            words = reader.read(1)["channels"]
        if len(words) and int(words[0]) != channels:
            warnings.append(
                f"the first record's channel word is {int(words[0])}, not "
                f"{option('channels=', '--channels ')}{channels}: the events read are garbage"
            )
    if kind == "WD2" and rec.probe is not None and rec.probe.suspect_channels:
        warnings.append(rec.probe.reason)
    return kind, rec, warnings


def field_names(kind: str) -> list[str]:
    """The header fields of a layout, in file order."""
    return [name for name, _, _ in FIELDS[kind]]
