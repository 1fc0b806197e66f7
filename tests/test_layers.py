"""The layering of the sources: a folder of src/ includes only from the folders below it,
and the CRDT, protocol and store subsystems never include one another."""

import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"

# Each folder's level: a folder may include from lower levels only. The format folders
# stand on the tree types and the record reading; the generic document readers stand on
# the formats.
LEVELS = {
    "util": 0,
    "format/tree": 1,
    "format/record": 2,
    "format/json": 3,
    "format/msgpack": 4,  # its transcoder reads JSON text
    "format/cbor": 4,
    "format": 5,
    "value": 6,
    "diff": 7,
    "codec": 8,
    "crdt": 9,
    "crdt/reducer": 10,
    "message": 9,
    "client": 10,
    "store": 9,
    "api": 11,
    "bridge": 12,
    "oracle": 12,  # a private test module of the development build, beside the binding
    "lib": 13,
}
# Subsystems that never include one another.
SEPARATE = [{"crdt", "crdt/reducer"}, {"message", "client"}, {"store"}]


def includes():
    """(folder, included folder, file, line) for each include of another folder of src/."""
    if not SRC.is_dir():
        pytest.skip("needs the source tree")
    for path in sorted(SRC.rglob("*")):
        if path.suffix not in (".hpp", ".cpp"):
            continue
        folder = path.parent.relative_to(SRC).as_posix()
        for number, line in enumerate(path.read_text().splitlines(), 1):
            m = re.match(r'#include "([^"]+)/[^/"]+"', line)
            if m and m.group(1) != folder:
                yield folder, m.group(1), path.relative_to(SRC).as_posix(), number


def test_every_folder_has_a_level():
    folders = {p.parent.relative_to(SRC).as_posix() for p in SRC.rglob("*.[ch]pp")}
    assert folders - set(LEVELS) == set()


def test_folders_include_only_from_below():
    upward = [f"{file}:{line}: {src} -> {dst}" for src, dst, file, line in includes()
              if LEVELS[dst] >= LEVELS[src]]
    assert upward == []


def test_subsystems_do_not_include_one_another():
    crossing = [f"{file}:{line}: {src} -> {dst}" for src, dst, file, line in includes()
                if any(src in group and dst not in group and any(dst in other for other in SEPARATE)
                       for group in SEPARATE)]
    assert crossing == []
