"""Each layout's header fields, written once: name, byte offset in the record, NumPy dtype.

vornkit's columns, the benchmark, the examples and the tests' record writers all take them
from here (the decoder core has the same table in C++)."""

from typing import Literal, NotRequired, Required, TypedDict

import numpy as np
from numpy.typing import NDArray

Kind = Literal["WD1", "WD2"]  # the two layouts; anything else is refused
KINDS: tuple[Kind, ...] = ("WD1", "WD2")

# (name, byte offset, little-endian dtype), in file order.
FIELDS: dict[str, tuple[tuple[str, int, str], ...]] = {
    "WD1": (
        ("event_size", 0, "<i4"),
        ("board_id", 4, "<i4"),
        ("pattern", 8, "<i4"),
        ("board_channel", 12, "<i4"),
        ("event_counter", 16, "<i4"),
        ("timestamp", 20, "<i4"),
    ),
    "WD2": (
        ("event_counter", 0, "<u4"),
        ("timestamp", 4, "<u8"),
        ("samples", 12, "<u4"),
        ("sampling_period", 16, "<u8"),
        ("channels", 24, "<i4"),
    ),
}
SAMPLE_DTYPE: dict[str, np.dtype] = {"WD1": np.dtype("<u2"), "WD2": np.dtype("<f4")}
WD1_HEADER = 24
WD2_HEADER = 24  # without the channel word
WD2_WORD_HEADER = 28  # with it


class WD1Arrays(TypedDict):
    """What `arrays(path, "WD1")` returns: one int32 array per header field and the uint16
    samples, events x samples, or end to end with `offsets` when events differ in size."""

    event_size: NDArray[np.int32]
    board_id: NDArray[np.int32]
    pattern: NDArray[np.int32]
    board_channel: NDArray[np.int32]
    event_counter: NDArray[np.int32]
    timestamp: NDArray[np.int32]
    data: NDArray[np.uint16]
    offsets: NotRequired[NDArray[np.int64]]


class WD2Arrays(TypedDict):
    """What `arrays(path, "WD2")` returns: one array per header field and the float32 samples,
    events x channels x samples, or end to end with `offsets` when events differ in size."""

    event_counter: NDArray[np.uint32]
    timestamp: NDArray[np.uint64]
    samples: NDArray[np.uint32]
    sampling_period: NDArray[np.uint64]
    channels: NDArray[np.int32]
    data: NDArray[np.float32]
    offsets: NotRequired[NDArray[np.int64]]


class WD1Chunk(WD1Arrays):
    """A chunk of `iterate(paths, "WD1")`: WD1Arrays, the file of each event and its index there."""

    file: NDArray[np.str_]
    entry: NDArray[np.int64]


class WD2Chunk(WD2Arrays):
    """A chunk of `iterate(paths, "WD2")`: WD2Arrays, the file of each event and its index there."""

    file: NDArray[np.str_]
    entry: NDArray[np.int64]


class WD1Columns(TypedDict, total=False):
    """What `arrays(path, "WD1", columns=[...])` returns: the columns asked for, each with its
    dtype, and `n_samples` when "data" is not asked (`offsets` with mixed record sizes)."""

    event_size: NDArray[np.int32]
    board_id: NDArray[np.int32]
    pattern: NDArray[np.int32]
    board_channel: NDArray[np.int32]
    event_counter: NDArray[np.int32]
    timestamp: NDArray[np.int32]
    data: NDArray[np.uint16]
    offsets: NDArray[np.int64]
    n_samples: NDArray[np.int64]


class WD2Columns(TypedDict, total=False):
    """What `arrays(path, "WD2", columns=[...])` returns: the columns asked for, each with its
    dtype, and `n_samples` when "data" is not asked (`offsets` with mixed record sizes)."""

    event_counter: NDArray[np.uint32]
    timestamp: NDArray[np.uint64]
    samples: NDArray[np.uint32]
    sampling_period: NDArray[np.uint64]
    channels: NDArray[np.int32]
    data: NDArray[np.float32]
    offsets: NDArray[np.int64]
    n_samples: NDArray[np.int64]


class WD1ColumnChunk(WD1Columns):
    """A chunk of `iterate(paths, "WD1", columns=[...])`: WD1Columns, each event's file and index there."""

    file: Required[NDArray[np.str_]]
    entry: Required[NDArray[np.int64]]


class WD2ColumnChunk(WD2Columns):
    """A chunk of `iterate(paths, "WD2", columns=[...])`: WD2Columns, each event's file and index there."""

    file: Required[NDArray[np.str_]]
    entry: Required[NDArray[np.int64]]


class WD1FollowEvent(TypedDict):
    """An event of `follow(path, "WD1")`: vorn's WD1Event keys and `file`, the path of its run."""

    event_size: int
    board_id: int
    pattern: int
    board_channel: int
    event_counter: int
    timestamp: int
    data: NDArray[np.uint16]
    file: str


class WD2FollowEvent(TypedDict):
    """An event of `follow(path, "WD2")`: vorn's WD2Event keys and `file`, the path of its run."""

    event_counter: int
    timestamp: int
    samples: int
    sampling_period: int
    channels: int
    data: NDArray[np.float32]
    file: str


def header_dtype(kind: str, channel_word: bool = True) -> np.dtype:
    """A record header as one structured NumPy dtype (WD2 without the channel word: channel_word=False)."""
    fields = [f for f in FIELDS[kind] if channel_word or f[0] != "channels" or kind == "WD1"]
    return np.dtype(
        {
            "names": [f[0] for f in fields],
            "formats": [f[2] for f in fields],
            "offsets": [f[1] for f in fields],
            "itemsize": WD1_HEADER if kind == "WD1" else WD2_WORD_HEADER if channel_word else WD2_HEADER,
        }
    )


def column_dtypes(kind: str) -> dict[str, np.dtype]:
    """The dtype of each header column, in file order (little-endian, native on every target)."""
    return {name: np.dtype(dt) for name, _, dt in FIELDS[kind]}
