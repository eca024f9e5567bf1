"""Type stubs for vorn: a streaming reader of WD1/WD2 event files."""

from typing import Generic, Literal, TypedDict, TypeVar, final, overload, type_check_only

import numpy as np
from numpy.typing import NDArray

__all__ = ["EventReader"]

@type_check_only
@final
class WD1Event(TypedDict):
    """One WD1 event: six signed 32-bit header values and uint16 samples."""

    event_size: int
    board_id: int
    pattern: int
    board_channel: int
    event_counter: int
    timestamp: int
    data: NDArray[np.uint16]

@type_check_only
@final
class WD2Event(TypedDict):
    """One WD2 event: unsigned counters and times, and float32 samples of all channels."""

    event_counter: int
    timestamp: int
    samples: int
    sampling_period: int
    channels: int
    data: NDArray[np.float32]

_Event = TypeVar("_Event", WD1Event, WD2Event, WD1Event | WD2Event)

@final
class EventReader(Generic[_Event]):
    """EventReader(path, reader_type): iterate over the events of a WD1 or WD2 file."""

    @overload
    def __new__(cls, path: str, reader_type: Literal["WD1"]) -> EventReader[WD1Event]: ...
    @overload
    def __new__(cls, path: str, reader_type: Literal["WD2"]) -> EventReader[WD2Event]: ...
    @overload
    def __new__(cls, path: str, reader_type: str) -> EventReader[WD1Event | WD2Event]: ...
    def __iter__(self) -> EventReader[_Event]: ...
    def __next__(self) -> _Event: ...
