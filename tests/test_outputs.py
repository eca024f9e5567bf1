"""How convert writes its output: only through the descriptor it created (a temporary swapped for
a symlink at any step is neither written through nor published), with the mode of the file it
replaces; and how a conversion ends: complete, or the output as it was and nothing left beside it."""

import importlib.util
import os
import pathlib
import shutil
import signal
import subprocess
import sys

import numpy as np
import pytest

import vornkit
from support import SHIM, child_env, wd2_record
from test_convert import SUFFIXES, load
from vornkit import _convert, _follow
from vornkit._read import TEMPORARY, expand_paths

DATA = pathlib.Path(__file__).resolve().parent.parent / "examples" / "data"
HOOKED = ("pwrite", "ftruncate", "fsync", "fchmod", "fchown", "link", "replace", "unlink")


def big_run(path, events, samples=1024):
    """A WD2 run of two channels, `events` records of `samples` samples per channel."""
    rec = bytearray(wd2_record(0, samples, np.linspace(0, 1, 2 * samples), channel_word=2))
    with open(path, "wb") as f:
        for i in range(events):
            rec[:4] = i.to_bytes(4, "little")
            f.write(rec)


def temporaries(directory):
    return [n for n in os.listdir(directory) if TEMPORARY.fullmatch(n)]


@pytest.mark.parametrize("unnamed", [True, False], ids=["unnamed", "named"])
@pytest.mark.parametrize("suffix, lib", SUFFIXES)
def test_a_temporary_swapped_for_a_symlink_is_never_written_through_or_published(
    tmp_path, monkeypatch, suffix, lib, unnamed
):
    pytest.importorskip(lib)
    monkeypatch.setattr(_convert, "TMPFILE", unnamed and getattr(_convert, "TMPFILE", False), raising=False)
    outdir = tmp_path / "out"
    outdir.mkdir()
    victim = tmp_path / "victim"
    victim.write_bytes(b"private")
    victim.chmod(0o600)
    out = outdir / ("run" + suffix)
    steps, swapped = [0], []

    def attack():
        # Each hooked call is a step; at step `at`, every temporary becomes a link to the victim.
        steps[0] += 1
        if steps[0] != at:
            return
        for name in os.listdir(outdir):  # whatever its name
            if name == out.name or (outdir / name).is_symlink():
                continue
            os.unlink(outdir / name)
            os.symlink(victim, outdir / name)
            swapped.append(name)

    for name in HOOKED:
        real = getattr(os, name)

        def hooked(*args, _real=real, **kwargs):
            attack()
            return _real(*args, **kwargs)

        monkeypatch.setattr(os, name, hooked)
    for force in (False, True):
        at = 1
        while True:
            steps[0], swapped[:] = 0, []
            if force:
                out.write_bytes(b"old")
            try:
                vornkit.convert(DATA / "run.wd2", out, force=force)
            except OSError as e:
                assert swapped and "replaced by another file" in str(e), e
            assert victim.read_bytes() == b"private" and victim.stat().st_mode & 0o777 == 0o600
            assert not out.is_symlink()
            if out.exists() and out.read_bytes() != b"old":
                assert len(load(out)[1]) == 10
            for name in os.listdir(outdir):  # only OUT, and the attacker's own links
                assert name == out.name or (outdir / name).is_symlink()
                if name != out.name:
                    os.unlink(outdir / name)
            if not force:
                out.unlink(missing_ok=True)
            if steps[0] < at:  # a conversion with no step left to attack
                break
            at += 1
        assert at > 3


def test_a_replaced_output_keeps_its_mode_and_a_new_one_gets_the_umask(tmp_path):
    out = tmp_path / "run.npz"
    old = os.umask(0o027)
    try:
        vornkit.convert(DATA / "run.wd1", out)
        assert out.stat().st_mode & 0o777 == 0o640
        out.chmod(0o600)
        vornkit.convert(DATA / "run.wd1", out, force=True)
        assert out.stat().st_mode & 0o777 == 0o600
    finally:
        os.umask(old)


# A conversion in a child that says when it writes its first bytes, then waits for its standard
# input to close: a signal sent meanwhile comes in the middle of the writing library's work.
_HELD = """
import signal, sys
signal.signal(signal.SIGINT, signal.default_int_handler)
from vornkit import _convert, cli
_convert.TMPFILE = sys.argv.pop(1) == "unnamed"
write = _convert._Sink.write
said = []
def held(self, data):
    if not said:
        said.append(1)
        print("writing", flush=True)
        sys.stdin.readline()
    return write(self, data)
_convert._Sink.write = held
if sys.argv[1] == "api":  # convert() called as a library: SIGTERM ends the process as it would have
    _convert.convert(sys.argv[2], sys.argv[3], force=True)
    sys.exit(0)
sys.exit(cli.main(sys.argv[1:]))
"""


def held_convert(*args, unnamed=True):
    """The convert command in a child (see _HELD), once it has begun writing."""
    command = list(map(str, args)) if args[0] == "api" else ["convert", *map(str, args)]
    proc = subprocess.Popen(
        [sys.executable, "-c", _HELD, "unnamed" if unnamed else "named", *command],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=child_env(),
    )
    assert proc.stdout.readline() == "writing\n", proc.communicate()[1]
    return proc


def mount_small(tmp_path):
    """A 2 MB tmpfs, or None where it cannot be mounted (not root)."""
    if os.geteuid() != 0 or shutil.which("mount") is None:
        return None
    mnt = tmp_path / "small"
    mnt.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", str(mnt)]).returncode != 0:
        mnt.rmdir()
        return None
    return mnt


def test_every_conversion_ends_complete_or_with_the_output_as_it_was(tmp_path):
    run = tmp_path / "run.wd2"
    big_run(run, 2000)  # 16 MB
    small = mount_small(tmp_path)
    try:
        for suffix, lib in SUFFIXES:
            if importlib.util.find_spec(lib) is None:
                continue
            ends(tmp_path, run, small, suffix)
    finally:
        if small is not None:
            subprocess.run(["umount", str(small)], check=True)
    if small is None:
        pytest.skip("the full-disk case needs root (a small tmpfs); the others passed")


def ends(tmp_path, run, small, suffix):
    base = ["run.wd2"] + (["small"] if small else [])
    if small is not None:
        # A full disk: one line, status 1, the old output kept, nothing beside it.
        out = small / ("out" + suffix)
        out.write_bytes(b"old")
        cmd = [sys.executable, "-m", "vornkit", "convert", str(run), str(out), "--force"]
        full = subprocess.run(cmd, capture_output=True, text=True, env=child_env(), timeout=300)
        assert full.returncode == 1 and full.stderr.count("\n") == 1, full.stderr[-3000:]
        assert "No space left on device" in full.stderr and len(full.stderr) < 300
        assert os.listdir(small) == [out.name] and out.read_bytes() == b"old"
        out.unlink()

    # A read error in the middle (the fault shim, where built): the same.
    out = tmp_path / ("out" + suffix)
    if SHIM.exists():
        out.write_bytes(b"old")
        env = child_env(
            LD_PRELOAD=f"{os.environ.get('LD_PRELOAD', '')} {SHIM}".strip(),
            VORN_FAULT_PATH=os.path.realpath(run),
            VORN_FAULT_EIO_AFTER=str(5 << 20),
            VORN_FAULT_EIO_TIMES=str(1 << 30),
        )
        cmd = [sys.executable, "-m", "vornkit", "convert", str(run), str(out), "--force"]
        bad = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=300)
        assert bad.returncode == 1 and bad.stderr.count("\n") == 1, bad.stderr[-3000:]
        assert "Input/output error" in bad.stderr and "left as it was" in bad.stderr
        assert sorted(os.listdir(tmp_path)) == sorted(base + [out.name]) and out.read_bytes() == b"old"

    # Ctrl-C and SIGTERM in the middle of the writing library's work, over no output or an old one.
    for sig, status, word in ((signal.SIGINT, 130, "interrupted"), (signal.SIGTERM, 143, "terminated")):
        for unnamed in (True, False):
            for old in (None, b"old"):
                out.unlink(missing_ok=True)
                if old is not None:
                    out.write_bytes(old)
                proc = held_convert(run, out, "--force", unnamed=unnamed)
                proc.send_signal(sig)
                _, err = proc.communicate(timeout=300)
                assert proc.returncode == status and err.count("\n") == 1 and word in err, err[-3000:]
                assert len(err) < 200
                assert sorted(os.listdir(tmp_path)) == sorted(base + ([out.name] if old else []))
                assert old is None or out.read_bytes() == old
    out.write_bytes(b"old")
    proc = held_convert("api", run, out, unnamed=False)
    proc.send_signal(signal.SIGTERM)
    _, err = proc.communicate(timeout=300)
    assert proc.returncode == -signal.SIGTERM and err == "" and out.read_bytes() == b"old"
    assert sorted(os.listdir(tmp_path)) == sorted(base + [out.name])
    out.unlink()

    # kill -9 leaves a named temporary; the next conversion there removes it with a warning, and
    # leaves one of a process still running (this one's parent).
    proc = held_convert(run, out, unnamed=False)
    left = temporaries(tmp_path)
    proc.kill()
    proc.communicate(timeout=60)
    assert len(left) == 1 and TEMPORARY.fullmatch(left[0])["pid"] == str(proc.pid)
    alive = tmp_path / f".other.npz~vorn-{os.getppid()}-0.part"
    alive.write_bytes(b"")
    cmd = [sys.executable, "-m", "vornkit", "convert", str(tmp_path / "*.wd2"), str(out)]
    done = subprocess.run(cmd, capture_output=True, text=True, env=child_env(), timeout=300)
    assert done.returncode == 0 and left[0] in done.stderr and "removed" in done.stderr, done.stderr
    assert done.stderr.count("\n") == 1 and "2000 events from 1 file" in done.stdout
    assert sorted(os.listdir(tmp_path)) == sorted(base + [alive.name, out.name])
    assert len(load(out)[1]) == 2000
    alive.unlink()
    out.unlink()


def test_temporaries_are_never_taken_as_runs(tmp_path):
    shutil.copy(DATA / "run.wd1", tmp_path / "run.wd1")
    (tmp_path / ".out.h5~vorn-123-ab12.part").write_bytes(bytes(2000))
    assert expand_paths(tmp_path) == [str(tmp_path / "run.wd1")]
    with pytest.raises(FileNotFoundError):
        expand_paths(str(tmp_path / ".*"))
    assert _follow.listing(str(tmp_path / ".*"))() == []
