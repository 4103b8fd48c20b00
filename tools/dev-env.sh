#!/usr/bin/env bash
# Makes a virtual environment for one interpreter and installs quillmesh into it from this tree.
#
#   tools/dev-env.sh PYTHON VENV_DIR
#
# The venv is reused while it belongs to the same interpreter; the requirements are reinstalled only
# when tools/requirements-dev.txt or tools/requirements-optional.txt changes; the extension is
# rebuilt incrementally in build/<venv>.
# Extra CMake definitions can be passed through QM_SANITIZE (see CMakeLists.txt).
set -euo pipefail

python=$1
venv=$2
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

want=$(readlink -f "$python")
if [ ! -x "$venv/bin/python" ] || [ "$(readlink -f "$venv/bin/python")" != "$want" ]; then
    echo "dev-env: creating $venv with $python" >&2
    rm -rf "$venv"
    "$python" -m venv "$venv"
fi

requirements=tools/requirements-dev.txt
optional=tools/requirements-optional.txt
stamp="$venv/.requirements.sha256"
sum=$(cat "$requirements" "$optional" | sha256sum | cut -d' ' -f1)
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$sum" ]; then
    echo "dev-env: installing $requirements into $venv" >&2
    "$venv/bin/python" -m pip install -q --upgrade pip
    # Wheels only: some newer releases ship native parts that would need a toolchain download.
    "$venv/bin/python" -m pip install -q --only-binary=:all: -r "$requirements"
    # polars publishes no wheel for the free-threaded interpreter; where it has none, the tests
    # that read polars columns are skipped.
    "$venv/bin/python" -m pip install -q --only-binary=:all: polars 2>/dev/null ||
        echo "dev-env: no polars wheel for $python; its tests are skipped" >&2
    # Likewise Dask (see the file): where its dependencies have no wheels, its tests are skipped.
    "$venv/bin/python" -m pip install -q --only-binary=:all: -r "$optional" 2>/dev/null ||
        echo "dev-env: no dask for $python; its tests are skipped" >&2
    echo "$sum" > "$stamp"
fi

build_dir="build/$(basename "$venv")${QM_SANITIZE:+-san}"
echo "dev-env: building quillmesh into $venv (build dir $build_dir)" >&2
"$venv/bin/python" -m pip install -q --no-build-isolation --no-deps -C build-dir="$build_dir" .
