#!/usr/bin/env python3
"""Fails when a file under src/ includes a project header its folder may not use.

The folders stand on floors: each may include only the folders named for it
below (and its own). A ui/ folder is a floor of its own above its subsystem's
core, so a core library never reaches a widget. Run from anywhere:
    scripts/check_layers.py [SRC_DIR]
"""
import pathlib
import re
import sys

CORE_LOW = {"base", "platform"}
ENGINES = CORE_LOW | {"ini", "zip", "net", "file_search"}
APP = ENGINES | {"app"}
SUBSYSTEM_CORE = APP | {"backup"}

ALLOWED = {
    "base": set(),
    "platform": {"base"},
    "ini": CORE_LOW,
    "zip": CORE_LOW,
    "net": CORE_LOW,
    "file_search": CORE_LOW,
    "app": CORE_LOW | {"ini"},
    "backup": APP,
    "schedule": SUBSYSTEM_CORE,
    "restore": SUBSYSTEM_CORE,
    "sync": SUBSYSTEM_CORE,
    "transfer": APP,
    "app/ui": APP,
    "backup/ui": SUBSYSTEM_CORE | {"app/ui"},
    "restore/ui": SUBSYSTEM_CORE | {"restore", "app/ui"},
    "sync/ui": SUBSYSTEM_CORE | {"sync", "app/ui", "backup/ui"},
    "transfer/ui": APP | {"transfer", "app/ui"},
    "cli": SUBSYSTEM_CORE | {"schedule", "restore", "sync", "transfer"},
}
# The window program on top may use every folder but the command-line one.
ALLOWED["shell"] = set(ALLOWED) - {"cli"}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def folder_of(rel: pathlib.PurePosixPath) -> str:
    parts = rel.parts[:-1]
    if len(parts) >= 2 and parts[1] == "ui":
        return parts[0] + "/ui"
    return parts[0] if parts else ""


def main() -> int:
    src = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else
                       pathlib.Path(__file__).resolve().parent.parent / "src")
    bad = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cc"):
            continue
        rel = pathlib.PurePosixPath(path.relative_to(src).as_posix())
        mine = folder_of(rel)
        if mine not in ALLOWED:
            bad.append(f"{rel}: folder '{mine}' has no place in the layer table")
            continue
        for n, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
            m = INCLUDE.match(line)
            if not m or not (src / m.group(1)).exists():
                continue  # system headers and headers beside the file
            theirs = folder_of(pathlib.PurePosixPath(m.group(1)))
            if theirs != mine and theirs not in ALLOWED[mine]:
                bad.append(f"{rel}:{n}: {mine} may not include {m.group(1)}")
    for b in bad:
        print(b)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
