"""The development set-up: pyproject.toml's dependency groups and .ci/run's stage list."""

import os
import re
import subprocess
import tomllib
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def _name(requirement):
    return re.match(r"[A-Za-z0-9_.-]+", requirement).group().lower()


def _group(groups, name):
    """The requirements of a group, its included groups' too."""
    out = set()
    for item in groups[name]:
        out |= _group(groups, item["include-group"]) if isinstance(item, dict) else {item}
    return out


def test_dev_group_covers_every_group_and_extra():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())
    groups = project["dependency-groups"]
    dev = {_name(r) for r in _group(groups, "dev")}
    # numpy1 pins the oldest NumPy, which dev (NumPy >= 2 to build) cannot hold.
    for name in set(groups) - {"dev", "numpy1"}:
        assert {_name(r) for r in _group(groups, name)} <= dev, name
    # Every optional library users can ask for is installed, so that its tests run in CI.
    for extra, requirements in project["project"]["optional-dependencies"].items():
        assert {_name(r) for r in requirements} <= dev, extra


def test_ci_run_lists_stages_that_it_can_run():
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # bash is no sanitized program
    script = ROOT / ".ci" / "run"
    listed = subprocess.run(["/bin/bash", script, "--list"], check=True, capture_output=True, text=True, env=env).stdout
    names = [line.split()[0] for line in listed.splitlines()]
    assert names[0] == "setup" and len(names) == len(set(names)) >= 13
    defined = set(re.findall(r"^stage_(\w+)\(\)", script.read_text(), re.M))
    assert {n.replace("-", "_") for n in names} == defined
    unknown = subprocess.run(["/bin/bash", script, "lint", "no-such-stage"], capture_output=True, text=True, env=env)
    assert unknown.returncode == 2 and "no-such-stage" in unknown.stderr


def test_meson_installs_every_vornkit_file():
    # A module left out of install_sources is missing from the wheel, and `import vornkit` fails there.
    installed = set(re.findall(r"'(src/vornkit/[^']+)'", (ROOT / "meson.build").read_text()))
    package = {
        f"src/vornkit/{p.name}" for p in (ROOT / "src/vornkit").iterdir() if p.suffix in (".py", ".pyi", ".typed")
    }
    assert "src/vornkit/_dask.py" in package and package <= installed
