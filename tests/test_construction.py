"""The module object, the EventReader type, argument binding and opening files."""

import os
import pathlib
import subprocess
import sys
import weakref

import pytest

import vorn
from support import open_fds, run_python, wd1_record, wd2_file, wd2_record

ER = vorn.EventReader


def test_module_attributes():
    assert vorn.__all__ == ["EventReader"]
    assert vorn.__doc__ == ""
    assert ER.__module__ == "builtins"
    assert ER.__name__ == ER.__qualname__ == "EventReader"
    assert ER.__text_signature__ == "(path, reader_type)"
    assert not any(name.startswith("Panic") for name in dir(vorn))


def test_reinitialisation_returns_the_same_module():
    import importlib.util

    spec = importlib.util.find_spec("vorn")
    again = importlib.util.module_from_spec(spec)
    assert again is vorn


def test_type_is_closed(write):
    with pytest.raises(TypeError):
        type("Sub", (ER,), {})
    r = ER(write(b""), "WD1")
    with pytest.raises(AttributeError):
        r.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(r)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "EventReader.__new__() missing 2 required positional arguments: 'path' and 'reader_type'"),
        (("f.bin",), {}, "EventReader.__new__() missing 1 required positional argument: 'reader_type'"),
        ((), {"reader_type": "WD1"}, "EventReader.__new__() missing 1 required positional argument: 'path'"),
        (("f.bin", "WD1", 0), {}, "EventReader.__new__() takes 2 positional arguments but 3 were given"),
        (("a", "b", "c", "d"), {"x": 1}, "EventReader.__new__() takes 2 positional arguments but 4 were given"),
        (("f.bin", "WD1"), {"mode": "r"}, "EventReader.__new__() got an unexpected keyword argument 'mode'"),
        # Keywords are checked before missing arguments, in the order given.
        (("f.bin",), {"path": "g.bin"}, "EventReader.__new__() got multiple values for argument 'path'"),
        (
            (),
            {"path": "f", "bogus": 1, "reader_type": 2},
            "EventReader.__new__() got an unexpected keyword argument 'bogus'",
        ),
        (
            ("f", "WD1"),
            {"reader_type": "WD1", "mode": 1},
            "EventReader.__new__() got multiple values for argument 'reader_type'",
        ),
        # Conversions come last: path first, then reader_type.
        ((pathlib.Path("f.bin"), "WD1"), {}, "argument 'path': 'PosixPath' object cannot be converted to 'str'"),
        ((b"f.bin", None), {}, "argument 'reader_type': 'NoneType' object cannot be converted to 'str'"),
        (("f.bin", None), {}, "argument 'reader_type': 'NoneType' object cannot be converted to 'str'"),
        ((None,), {"reader_type": 3}, "argument 'path': 'NoneType' object cannot be converted to 'str'"),
    ],
)
def test_argument_binding_messages(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        ER(*args, **kwargs)
    assert str(info.value) == message


def test_keywords_and_str_subclasses_are_accepted(write):
    path = write(wd1_record(24))

    class S(str):
        pass

    for r in (
        ER(path=path, reader_type="WD1"),
        ER(path, reader_type="WD1"),
        ER(S(path), S("WD1")),
        ER.__new__(ER, path, "WD1"),
    ):
        assert type(r) is ER
        assert len(list(r)) == 1


def test_any_path_the_file_system_encodes_opens_and_a_bad_reader_type_raises(tmp_path, write):
    # A name that is not UTF-8 (as os.fsdecode gives it, or as bytes) opens like any other.
    raw = os.fsencode(str(tmp_path)) + b"/run\xff.wd1"
    with open(raw, "wb") as f:
        f.write(wd1_record(24))
    for path in (os.fsdecode(raw), raw):
        assert len(list(ER(path, "WD1"))) == 1
    with pytest.raises(FileNotFoundError):
        ER(os.fsdecode(raw) + "x", "WD1")
    for path in ("a\0b", b"a\0b"):
        with pytest.raises(OSError) as info:
            ER(path, "WD1")
        assert info.value.args == ("file name contained an unexpected NUL byte",)
    with pytest.raises(UnicodeEncodeError):
        ER(write(b""), "WD\udc80")


@pytest.mark.parametrize(
    "make_path, cls, message",
    [
        (lambda d: str(d / "missing.bin"), FileNotFoundError, "No such file or directory (os error 2)"),
        (lambda d: str(d / "file" / "x"), NotADirectoryError, "Not a directory (os error 20)"),
        (lambda d: str(d / "loop"), OSError, "Too many levels of symbolic links (os error 40)"),
    ],
)
@pytest.mark.parametrize("reader_type", ["WD1", "WD2", "XYZ"])
def test_open_errors_pick_their_class_before_the_type_check(tmp_path, make_path, cls, message, reader_type):
    (tmp_path / "file").write_bytes(b"")
    os.symlink("loop", tmp_path / "loop")
    with pytest.raises(OSError) as info:
        ER(make_path(tmp_path), reader_type)
    e = info.value
    assert type(e) is cls
    assert e.args == (message,) and str(e) == message
    assert e.errno is None and e.strerror is None and e.filename is None


def test_permission_denied(tmp_path):
    path = tmp_path / "secret.bin"
    path.write_bytes(b"")
    path.chmod(0)
    code = (
        "import os, sys, vorn\n"
        "if os.getuid() == 0: os.setuid(65534)\n"
        "try: vorn.EventReader(sys.argv[1], 'WD1')\n"
        "except PermissionError as e: print(repr(e.args), e.errno)\n"
    )
    tmp_path.chmod(0o755)
    out = run_python(code, path)
    if "Permission denied" not in out.stdout and "No module named" in out.stderr:
        pytest.skip("the module is not readable by an unprivileged user here")
    assert out.stdout.strip() == "('Permission denied (os error 13)',) None", out.stderr


@pytest.mark.parametrize("reader_type", ["wd1", "WD1 ", "", "WD3", "WD\x001", "WD"])
def test_unknown_reader_type_closes_the_file(write, reader_type):
    path = write(wd1_record(24))
    before = open_fds()
    with pytest.raises(ValueError) as info:
        ER(path, reader_type)
    assert str(info.value) == f"unknown reader type '{reader_type}', expected 'WD1' or 'WD2'"
    assert open_fds() == before


def test_directory(tmp_path):
    assert type(ER(str(tmp_path), "WD1")) is ER
    with pytest.raises(OSError) as info:
        ER(str(tmp_path), "WD2")
    assert type(info.value) is OSError  # the probe's errors are always plain OSError
    assert info.value.args == ("Is a directory (os error 21)",)


@pytest.mark.parametrize(
    "data",
    [
        b"",
        b"\x01" * 27,
        wd2_file(1),  # one record: the probe needs the second header
        wd2_file(2, samples=4)[:60],  # cut inside the skipped samples
        wd2_file(2, samples=4)[:70],  # cut inside the second header
    ],
)
def test_files_too_short_to_probe(write, data):
    path = write(data)
    before = open_fds()
    with pytest.raises(OSError) as info:
        ER(path, "WD2")
    assert type(info.value) is OSError
    assert info.value.args == ("failed to fill whole buffer",)
    assert open_fds() == before
    assert type(ER(path, "WD1")) is ER


def test_pipe_as_wd2_cannot_seek_back(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    writer = subprocess.Popen([sys.executable, "-c", f"open({str(fifo)!r}, 'wb').write({wd2_file(3)!r})"])
    try:
        with pytest.raises(OSError) as info:
            ER(str(fifo), "WD2")
    finally:
        writer.wait(timeout=30)
    assert type(info.value) is OSError
    assert info.value.args == ("Illegal seek (os error 29)",)


@pytest.mark.parametrize("first_sample", [1.5, 0.0, -1.0, 1e30, float("nan")])
def test_probe_opens_one_channel_files_whatever_the_first_sample(write, first_sample):
    # The first sample's bits stand where a channel word would be; no open may fail on it.
    data = b"".join(wd2_record(i, 100, [first_sample] + [float(i)] * 99) for i in range(3))
    events = list(ER(write(data), "WD2"))
    assert [e["event_counter"] for e in events] == [0, 1, 2]
    assert all(e["channels"] == 1 and e["data"].shape == (100,) for e in events)


def test_second_interpreter_is_refused():
    interpreters = pytest.importorskip("_testcapi")
    if not hasattr(interpreters, "run_in_subinterp"):
        pytest.skip("no legacy sub-interpreter runner")
    code = (
        "import _testcapi, vorn, os\n"
        "r, w = os.pipe()\n"
        "rc = _testcapi.run_in_subinterp(f'''\n"
        "import os\n"
        "try:\n"
        "    import vorn\n"
        "    os.write({w}, b'imported')\n"
        "except ImportError as e:\n"
        "    os.write({w}, ('ImportError: ' + str(e)).encode())\n"
        "''')\n"
        "print(os.read(r, 200).decode())\n"
    )
    out = run_python(code)
    assert out.stdout.startswith("ImportError: "), out.stdout + out.stderr
    assert "sub-interpreters" in out.stdout


def test_numpy_is_not_imported_by_import_or_construction(write):
    path = write(wd1_record(24))
    code = f"import sys, vorn\nr = vorn.EventReader({path!r}, 'WD1')\nprint('numpy' in sys.modules)\n"
    out = run_python(code)
    assert out.stdout.strip() == "False", out.stderr


def test_entry_point_is_the_only_exported_symbol():
    import shutil

    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", vorn.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in out.stdout.splitlines()] == ["PyInit_vorn"]
