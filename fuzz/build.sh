#!/usr/bin/env bash
# Builds the differential fuzzer from the graph core and the worker pool sources directly (not
# through CMake: the harness needs no Python and its own instrumentation).
#
#   fuzz/build.sh fuzzer OUT   libFuzzer binary, clang with ASan and UBSan (the newest clang++ found,
#                              or $FUZZ_CXX); it needs clang 15 or later for std::source_location
#   fuzz/build.sh replay OUT   plain replayer of inputs (fuzz/replay.cpp), $CXX or g++ at -O1
#
# Objects are compiled $FUZZ_JOBS at a time (default 2) next to OUT.
set -euo pipefail

mode=${1:?usage: fuzz/build.sh fuzzer|replay OUT}
out=${2:?usage: fuzz/build.sh fuzzer|replay OUT}
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${FUZZ_JOBS:-2}

# Floating-point results are compared bit for bit with the model: nothing fused or reordered.
common=(-std=c++20 -Wall -Wextra -ffp-contract=off -pthread -I"$root/src" -I"$root/fuzz")
sources=("$root"/src/core/*.cpp "$root"/src/parallel/*.cpp "$root/fuzz/harness.cpp")

case "$mode" in
    fuzzer)
        cxx=${FUZZ_CXX:-}
        if [ -z "$cxx" ]; then
            for candidate in clang++-21 clang++-20 clang++-19 clang++-18 clang++-17 clang++-16 clang++-15 clang++; do
                if command -v "$candidate" >/dev/null; then cxx=$candidate; break; fi
            done
        fi
        [ -n "$cxx" ] || { echo "fuzz/build.sh: no clang++ found (apt-get install clang-19 libclang-rt-19-dev)" >&2; exit 1; }
        flags=(-O1 -g -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
        ;;
    replay)
        cxx=${CXX:-g++}
        flags=(-O1)
        sources+=("$root/fuzz/replay.cpp")
        ;;
    *)
        echo "fuzz/build.sh: unknown mode $mode" >&2
        exit 2
        ;;
esac

objects="$out.objects"
rm -rf "$objects"
mkdir -p "$objects" "$(dirname "$out")"
# Object k of sources is $objects/k.o, so that files of the same name cannot clash.
running=0
for k in "${!sources[@]}"; do
    if [ "$running" -ge "$jobs" ]; then
        wait -n
        running=$((running - 1))
    fi
    "$cxx" "${common[@]}" "${flags[@]}" -c "${sources[$k]}" -o "$objects/$k.o" &
    running=$((running + 1))
done
# wait -n above already reported any failure among the first ones; collect the rest.
while [ "$running" -gt 0 ]; do
    wait -n
    running=$((running - 1))
done
"$cxx" "${flags[@]}" -pthread "$objects"/*.o -o "$out"
rm -rf "$objects"
