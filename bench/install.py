"""Installs benchmark requirement files into the running interpreter's venv and records the outcome.

    VENV/bin/python bench/install.py REQUIREMENTS.txt...

Each requirement line is installed on its own from wheels only (the machine cannot build the peers'
Rust or C++ sources), so one missing wheel does not stop the rest. A line may end in pip options of
its own (only `--no-deps`: a data package whose code is never imported needs none of its
dependencies). The result for every line, installed or not and why, goes to VENV/.bench-install.json,
which the driver reads to decide where each library runs and to report the ones that could not be
installed. Nothing is reinstalled while
the requirement files and the interpreter stay the same.
"""

from __future__ import annotations

import hashlib
import json
import re
import subprocess
import sys
import sysconfig
from pathlib import Path

STATUS_FILE = ".bench-install.json"


def status_path(prefix: str | Path = sys.prefix) -> Path:
    return Path(prefix) / STATUS_FILE


def interpreter_tag() -> str:
    free_threaded = sysconfig.get_config_var("Py_GIL_DISABLED")
    return f"cp{sys.version_info.major}{sys.version_info.minor}{'t' if free_threaded else ''}"


def requirement_lines(paths: list[Path]) -> list[str]:
    lines = []
    for path in paths:
        for line in path.read_text().splitlines():
            line = line.split("#", 1)[0].strip()
            if line:
                lines.append(line)
    return lines


# Options a requirement line may carry after the requirement, passed to its own pip call.
LINE_OPTIONS = ("--no-deps",)


def split_options(line: str) -> tuple[str, list[str]]:
    """(requirement, pip options) of one requirement line."""
    words = line.split()
    options = [w for w in words if w.startswith("--")]
    unknown = sorted(set(options) - set(LINE_OPTIONS))
    if unknown:
        raise ValueError(f"{line!r}: only {', '.join(LINE_OPTIONS)} may follow a requirement, not {unknown}")
    return " ".join(w for w in words if not w.startswith("--")), options


def distribution(requirement: str) -> str:
    return re.split(r"[\s\[<>=!~;]", requirement, maxsplit=1)[0].lower()


def why_not(stderr: str) -> str:
    errors = [line.strip() for line in stderr.splitlines() if line.startswith("ERROR:")]
    if any("No matching distribution" in e for e in errors):
        return f"no wheel for {interpreter_tag()} on the package index"
    return errors[-1] if errors else (stderr.strip().splitlines() or ["pip failed"])[-1]


def main() -> int:
    paths = [Path(p) for p in sys.argv[1:]]
    lines = requirement_lines(paths)
    stamp = hashlib.sha256(
        json.dumps([sys.executable, lines, [p.read_text() for p in paths]]).encode()
    ).hexdigest()
    out = status_path()
    status = json.loads(out.read_text()) if out.exists() else {}
    if status.get("stamp") == stamp:
        return 0
    packages = {}
    for line in lines:
        requirement, options = split_options(line)
        name = distribution(requirement)
        print(f"bench: installing {requirement} for {interpreter_tag()} (wheels only)", file=sys.stderr)
        done = subprocess.run(
            [sys.executable, "-m", "pip", "install", "-q", "--only-binary=:all:", *options, requirement],
            capture_output=True,
            text=True,
        )
        if done.returncode == 0:
            packages[name] = {"installed": True}
        else:
            reason = why_not(done.stderr)
            print(f"bench: {name} is not installable for {interpreter_tag()}: {reason}", file=sys.stderr)
            packages[name] = {"installed": False, "reason": reason}
    status = {"interpreter": interpreter_tag(), "packages": packages, "stamp": stamp}
    out.write_text(json.dumps(status, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
