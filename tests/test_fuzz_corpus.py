"""The fuzzers' seed corpora and crash reproducers, replayed against the graph core.

fuzz/harness.cpp checks every operation of an input against a plain model and the store's internal
invariants, and aborts at the first disagreement. Here it is built with the ordinary compiler (no
clang, no libFuzzer: fuzz/replay.cpp supplies main) and fed every file of fuzz/corpus and
fuzz/regressions, under two settings of the load and PageRank test knobs, so that each input takes
both the chunked and the whole-batch paths, and both the segmented and the plain pull. The graph
file reader's harness (fuzz/load_harness.cpp) is built the same way and fed fuzz/corpus-load. The
binaries are kept in build/ under a hash of their sources, so only a change to them rebuilds them.
"""

import hashlib
import os
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
FUZZ = ROOT / "fuzz"
INPUT_DIRS = (FUZZ / "corpus", FUZZ / "regressions")
LOAD_INPUT_DIRS = (FUZZ / "corpus-load",)
BUILD_TIMEOUT = 600  # seconds; a cold build of the core on two busy cores takes one or two minutes
REPLAY_TIMEOUT = 120
# The harness's own defaults: small chunks, 8-row PageRank segments, two workers.
SMALL_CHUNKS = {"QUILLMESH_LOAD_CHUNK_EDGES": "16", "QUILLMESH_PAGERANK_SEGMENT_ROWS": "8",
                "RAYON_NUM_THREADS": "2"}
# Tiny chunks, a plain single-segment pull (0 leaves the size to the core), one worker, and path
# searches that keep their seen nodes in the hash map that graphs of millions of nodes use.
TINY_CHUNKS = {"QUILLMESH_LOAD_CHUNK_EDGES": "3", "QUILLMESH_PAGERANK_SEGMENT_ROWS": "0",
               "RAYON_NUM_THREADS": "1", "QUILLMESH_PATH_MARKED_NODES": "1"}


def sources():
    files = [*ROOT.glob("src/core/*/*"), *ROOT.glob("src/parallel/*"), *FUZZ.glob("*.cpp"), *FUZZ.glob("*.hpp"),
             FUZZ / "Makefile"]
    return sorted(f for f in files if f.is_file())


def build(target, exe_name):
    """The replayer `make -C fuzz <target>` builds, made once per state of the sources."""
    compiler = os.environ.get("CXX") or "g++"
    if shutil.which(compiler) is None or shutil.which("make") is None:
        pytest.skip(f"building the replayer needs {compiler} and make")
    digest = hashlib.sha256(compiler.encode() + b"\0" + target.encode())
    for f in sources():
        digest.update(f.relative_to(ROOT).as_posix().encode() + b"\0" + f.read_bytes())
    home = ROOT / "build" / "fuzz-replay"
    exe = home / digest.hexdigest()[:16] / exe_name
    if not exe.exists():
        home.mkdir(parents=True, exist_ok=True)
        # Built aside and renamed into place, so a run that stops half way leaves nothing behind.
        with tempfile.TemporaryDirectory(dir=home) as scratch:
            subprocess.run(["make", "-C", str(FUZZ), "-j2", target, f"OUT={scratch}", f"REPLAY_CXX={compiler}"],
                           check=True, capture_output=True, timeout=BUILD_TIMEOUT)
            exe.parent.mkdir(exist_ok=True)
            os.replace(Path(scratch) / exe_name, exe)
    return exe


@pytest.fixture(scope="module")
def replayer():
    return build("replay", "quillmesh-replay")


@pytest.fixture(scope="module")
def load_replayer():
    return build("load-replay", "quillmesh-load-replay")


def inputs(dirs=INPUT_DIRS):
    return sorted(f for d in dirs if d.is_dir() for f in d.iterdir() if f.is_file())


def test_corpus_is_there():
    names = {f.name for f in inputs()}
    # One hand-made seed per entry point (fuzz/seeds.py) at least.
    assert {"seed-points", "seed-chunked-source-fails", "seed-random-refused"} <= names


@pytest.mark.parametrize("settings", [SMALL_CHUNKS, TINY_CHUNKS], ids=["small-chunks", "tiny-chunks"])
def test_inputs_replay_clean(replayer, settings):
    env = {**os.environ, **settings}
    done = subprocess.run([str(replayer), *map(str, INPUT_DIRS)], capture_output=True, text=True, env=env,
                          timeout=REPLAY_TIMEOUT)
    # The replayer names each file before running it, and the harness the failing operation.
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.strip() == f"replayed {len(inputs())} inputs"


def test_load_inputs_replay_clean(load_replayer):
    names = {f.name for f in inputs(LOAD_INPUT_DIRS)}
    # fuzz/load_seeds.py writes a seed of each layout; the fuzzer's finds join them.
    assert {"seed-empty", "seed-table-hub-repair", "seed-lists-pieces"} <= names
    env = {**os.environ, "RAYON_NUM_THREADS": "2"}
    done = subprocess.run([str(load_replayer), *map(str, LOAD_INPUT_DIRS)], capture_output=True, text=True, env=env,
                          timeout=REPLAY_TIMEOUT)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.strip() == f"replayed {len(inputs(LOAD_INPUT_DIRS))} inputs"
