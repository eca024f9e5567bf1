"""Checked by mypy and pyright, never run: which event type a reader yields, and a union of
both narrowed by a key that only one layout has."""

from typing import TYPE_CHECKING, assert_type

import vorn

if TYPE_CHECKING:
    from vorn import WD1Event, WD2Event


def reader_types(path: str, kind: str) -> None:
    assert_type(next(vorn.EventReader(path, "WD1")), "WD1Event")
    assert_type(next(vorn.EventReader(path, "WD2")), "WD2Event")
    assert_type(next(vorn.EventReader(path, kind)), "WD1Event | WD2Event")


def board_or_samples(ev: "WD1Event | WD2Event") -> int:
    if "board_id" in ev:
        assert_type(ev, "WD1Event")
        return ev["board_id"]
    assert_type(ev, "WD2Event")
    return ev["samples"]
