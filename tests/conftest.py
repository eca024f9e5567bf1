"""Fixtures shared by the tests (helpers live in support.py)."""

import pytest


@pytest.fixture
def write(tmp_path):
    """write(bytes, name="f.bin") -> str path of a new file with those bytes."""

    def _write(data, name="f.bin"):
        path = tmp_path / name
        path.write_bytes(data)
        return str(path)

    return _write
