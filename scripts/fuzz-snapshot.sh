#!/bin/sh
# Builds the snapshot reader's libFuzzer entry point with clang (Debian's clang-14) under the
# address and undefined-behaviour sanitizers, seeds a corpus with small snapshots written by
# the test build, and runs it: scripts/fuzz-snapshot.sh [SECONDS] (default 600).
# The fuzzer and its corpus go to build/fuzz; findings (crash-*, leak-*, timeout-*) too.
set -eu
repo_root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-600}
out="$repo_root/build/fuzz"
mkdir -p "$out/corpus"
clang=${CLANGXX:-clang++-14}
hdf5_include=$(pkg-config --cflags-only-I hdf5-serial 2>/dev/null || echo -I/usr/include/hdf5/serial)
hdf5_libs=$(pkg-config --libs hdf5-serial 2>/dev/null || echo -lhdf5_serial)
# The recorder's options header names SDL3's types (headers only; nothing of SDL3 is linked).
sdl_include=$(pkg-config --cflags-only-I sdl3 2>/dev/null || echo "-I$repo_root/.deps/sdl3/include")
cd "$repo_root"
# shellcheck disable=SC2086
"$clang" -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -ffp-contract=off \
    -Isrc $hdf5_include $sdl_include tests/fuzz/snapshot_fuzzer.cpp src/record/snapshot_read.cpp \
    src/record/snapshot_layout.cpp src/record/snapshot_limits.cpp src/record/fletcher32.cpp \
    src/record/file_commit.cpp \
    src/sim/initial_conditions.cpp $hdf5_libs -o "$out/snapshot-fuzzer"
# Seeds: snapshots of a few counts, written by lumeth-record where it is built.
if [ -x build/lumeth-record ] && [ -z "$(ls -A "$out/corpus")" ]; then
    for particles in 3 10 40; do
        build/lumeth-record --frames 1 --particles "$particles" --seed 1 --snapshot-every 1 \
            --snapshot-dir "$out/seed-$particles" --replace-snapshots >/dev/null 2>&1
        cp "$out/seed-$particles/snapshot_000001.hdf5" "$out/corpus/$particles.hdf5"
        rm -rf "$out/seed-$particles"
    done
fi
cd "$out"
# HDF5 1.10 leaks a few blocks of its own on damaged files (tests/lsan-suppressions.txt).
ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS="suppressions=$repo_root/tests/lsan-suppressions.txt:print_suppressions=0" \
    ./snapshot-fuzzer -max_total_time="$seconds" -rss_limit_mb=2048 \
    -malloc_limit_mb=256 corpus
