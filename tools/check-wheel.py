"""Checks that each wheel holds only what it should: the extension module built for the
wheel's own platform, the stubs and any other package's files as copies of source files,
the licence and the metadata.

    python3 tools/check-wheel.py WHEEL...
"""

import base64
import csv
import email.parser
import hashlib
import io
import pathlib
import re
import subprocess
import sys
import zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
VERSION = re.search(r"version:\s*'([^']+)'", (ROOT / "meson.build").read_text()).group(1)
# ELF class, machine and the extension suffix's architecture for each wheel architecture.
ARCH = {"x86_64": (2, 62, "x86_64"), "i686": (1, 3, "i386")}
DIST_INFO_FILES = {"METADATA", "WHEEL", "RECORD", "entry_points.txt", "licenses/LICENSE"}
REQUIRED = {"vorn-stubs/__init__.pyi", "vorn-stubs/py.typed"}


def tracked_files():
    out = subprocess.run(["git", "ls-files"], cwd=ROOT, capture_output=True, text=True, check=True)
    return out.stdout.split()


def check(path, tracked):
    """The problems found in the wheel at `path`, as strings."""
    problems = []
    _, version, pytag, abitag, plats = path.name.removesuffix(".whl").split("-")
    if version != VERSION:
        problems.append(f"version {version}, meson.build says {VERSION}")
    arches = {re.fullmatch(r"manylinux_\d+_\d+_(\w+)", p) for p in plats.split(".")}
    if None in arches or len({m.group(1) for m in arches}) != 1:
        return problems + [f"platform tag {plats} is not one manylinux architecture"]
    elf_class, machine, so_arch = ARCH[next(iter(arches)).group(1)]
    suffix = f".cpython-{pytag.removeprefix('cp')}-{so_arch}-linux-gnu.so"
    modules = {"vorn" + suffix, "vornkit/_core" + suffix}  # vorn, and vornkit's compiled reader
    dist_info = f"vorn-{version}.dist-info/"

    with zipfile.ZipFile(path) as zf:
        files = {n: zf.read(n) for n in zf.namelist() if not n.endswith("/")}
    record = list(csv.reader(io.StringIO(files.get(dist_info + "RECORD", b"").decode())))
    if {row[0] for row in record} != set(files):
        problems.append("RECORD does not list exactly the wheel's files")
    for name, digest, _ in record:
        if digest:
            actual = base64.urlsafe_b64encode(hashlib.sha256(files.get(name, b"")).digest()).rstrip(b"=")
            if digest != "sha256=" + actual.decode():
                problems.append(f"{name}: hash differs from RECORD")

    for name, data in files.items():
        if name.startswith(dist_info):
            if name.removeprefix(dist_info) not in DIST_INFO_FILES:
                problems.append(f"unexpected metadata file {name}")
        elif name in modules:
            if data[:4] != b"\x7fELF" or data[4] != elf_class or int.from_bytes(data[18:20], "little") != machine:
                problems.append(f"{name} is not an ELF module for this platform")
        elif "/" in name:
            # A package file: the same bytes as the source file it was installed from.
            top = name.split("/")[0]
            if f"{top}/__init__.py" not in files and f"{top}/__init__.pyi" not in files:
                problems.append(f"{name} is outside a package")
            # vorn's stubs are installed as vorn-stubs/ from src/vorn/, the rest under their own name.
            source = name.replace("vorn-stubs/", "vorn/", 1)
            sources = [t for t in tracked if t == source or t.endswith("/" + source)]
            if not any((ROOT / t).read_bytes() == data for t in sources):
                problems.append(f"{name} is no copy of a source file")
        else:
            problems.append(f"unexpected file {name}")
    # every module of vornkit, none left out of meson.build
    package = {t.removeprefix("src/") for t in tracked if t.startswith("src/vornkit/")}
    for name in REQUIRED | package | modules | {dist_info + "licenses/LICENSE"}:
        if name not in files:
            problems.append(f"missing {name}")
    if files.get(dist_info + "licenses/LICENSE", b"") != (ROOT / "LICENSE").read_bytes():
        problems.append("the licence differs from LICENSE")

    meta = email.parser.BytesParser().parsebytes(files.get(dist_info + "METADATA", b""))
    if (meta["Name"], meta["Version"], meta["License-Expression"]) != ("vorn", VERSION, "MIT"):
        problems.append(f"METADATA: {meta['Name']} {meta['Version']} {meta['License-Expression']}")
    if "numpy>=1.26" not in meta.get_all("Requires-Dist", []):
        problems.append("METADATA does not require numpy>=1.26")
    wheel = email.parser.BytesParser().parsebytes(files.get(dist_info + "WHEEL", b""))
    if wheel["Root-Is-Purelib"] != "false" or set(wheel.get_all("Tag", [])) != {
        f"{pytag}-{abitag}-{p}" for p in plats.split(".")
    }:
        problems.append("WHEEL: not a platform wheel with the file name's tags")
    return problems


def main(paths):
    tracked = tracked_files()
    failed = False
    for path in map(pathlib.Path, paths):
        problems = check(path, tracked)
        print(f"{path.name}: {'ok' if not problems else 'FAILED'}")
        for p in problems:
            print("   ", p)
        failed |= bool(problems)
    return 1 if failed or not paths else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
