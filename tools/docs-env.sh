#!/usr/bin/env bash
# Installs the documentation toolchain (the `docs` extra of pyproject.toml) into a virtual environment
# that tools/dev-env.sh made, once per change of that list.
#
#   tools/docs-env.sh VENV_DIR
set -euo pipefail

venv=$1
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

extra=$("$venv/bin/python" -c 'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["docs"]))')
stamp="$venv/.docs-requirements.sha256"
sum=$(printf '%s\n' "$extra" | sha256sum | cut -d' ' -f1)
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$sum" ]; then
    echo "docs-env: installing the docs extra into $venv" >&2
    printf '%s\n' "$extra" > "$venv/.docs-requirements.txt"
    # Wheels where there are (the standard interpreter has them all); on the free-threaded one a few
    # of the toolchain's dependencies come as sources, which pip builds.
    "$venv/bin/python" -m pip install -q --only-binary=:all: -r "$venv/.docs-requirements.txt" 2>/dev/null ||
        "$venv/bin/python" -m pip install -q -r "$venv/.docs-requirements.txt"
    # The benchmark charts are drawn again from their results where matplotlib has a wheel.
    "$venv/bin/python" -m pip install -q --only-binary=:all: matplotlib 2>/dev/null ||
        echo "docs-env: no matplotlib wheel for this interpreter; the docs show the charts the benchmark runs drew" >&2
    echo "$sum" > "$stamp"
fi
