#!/usr/bin/env bash
# The check to run on a machine with an NVIDIA GPU: builds the core (no SDL3 needed), the
# tests and the benchmark in a fresh build folder with the CUDA path, runs the GPU tests, the
# rest of the tests and lumeth-bench, and prints a short summary. Needs the CUDA toolkit,
# CMake, Ninja and a C++ compiler with OpenMP; never the network.
#
# GoogleTest is taken from the machine when CMake finds it. Otherwise it is built (into the
# build folder) from the first GoogleTest source tree found among --gtest-source DIR,
# .deps/googletest-src in the repository and /usr/src/googletest. With none of them the
# tests cannot be built: the benchmark still runs and the summary says so.
#
# Usage: scripts/gpu-check.sh [--build DIR] [--logs DIR] [--gtest-source DIR]
#   --build DIR         build folder, emptied first (default: build/gpu-check)
#   --logs DIR          also copy the logs and the summary there
#   --gtest-source DIR  a GoogleTest source tree to build when none is installed
# Exit status: 0 when everything ran and passed, 1 otherwise (a GPU test skipped on a machine
# where nvidia-smi lists a GPU counts as a failure: the device was not usable).
set -uo pipefail
# shellcheck source-path=SCRIPTDIR source=common.sh
source "$(dirname "$0")/common.sh"

build="$repo_root/build/gpu-check"
copy_logs_to=""
gtest_source=""
while [ $# -gt 0 ]; do
    case "$1" in
    --build) build="$2"; shift 2 ;;
    --logs) copy_logs_to="$2"; shift 2 ;;
    --gtest-source) gtest_source="$2"; shift 2 ;;
    -h | --help) sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "gpu-check: unknown argument '$1' (try --help)" >&2; exit 2 ;;
    esac
done
case "$build" in /*) ;; *) build="$PWD/$build" ;; esac

logs="$build/check-logs"
rm -rf "$build"
mkdir -p "$logs"
say() { printf '[gpu-check] %s\n' "$*"; }
problems=()

# --- The machine --------------------------------------------------------------------------------
gpu_name="none listed by nvidia-smi"
gpu_present=0
if command -v nvidia-smi >/dev/null 2>&1; then
    listed="$(nvidia-smi --query-gpu=name,driver_version --format=csv,noheader 2>/dev/null)"
    if [ -n "$listed" ]; then
        gpu_present=1
        gpu_name="$(printf '%s\n' "$listed" | head -n1 | sed 's/, / (driver /; s/$/)/')"
    fi
else
    gpu_name="nvidia-smi not found"
fi
say "GPU: $gpu_name"

nvcc_bin="${CUDACXX:-$(command -v nvcc || true)}"
if [ -z "$nvcc_bin" ] || [ ! -x "$nvcc_bin" ]; then
    say "no nvcc on the PATH or at /usr/local/cuda/bin: the CUDA path cannot be built"
    exit 1
fi
nvcc_version="$("$nvcc_bin" --version | sed -n 's/.*release \([0-9.]*\), \(V[0-9.]*\).*/\1 (\2)/p')"
say "nvcc: $nvcc_bin, CUDA $nvcc_version"

# --- GoogleTest ---------------------------------------------------------------------------------
# Whether CMake finds a GoogleTest package with the given extra options.
gtest_found() {
    local probe="$build/_gtest-probe"
    rm -rf "$probe"
    mkdir -p "$probe/src"
    cat >"$probe/src/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.16)
project(gtest_probe CXX)
find_package(GTest REQUIRED)
EOF
    cmake -S "$probe/src" -B "$probe/build" -G Ninja "$@" >"$logs/gtest-probe.log" 2>&1
}

cmake_options=(-DCMAKE_BUILD_TYPE=Release -DLUMETH_BUILD_APP=OFF)
gtest_origin="installed on this machine"
tests_built=1
if ! gtest_found; then
    candidates=()
    [ -n "$gtest_source" ] && candidates+=("$gtest_source")
    candidates+=("$repo_root/.deps/googletest-src" /usr/src/googletest)
    source_dir=""
    for dir in "${candidates[@]}"; do
        if [ -f "$dir/CMakeLists.txt" ] && [ -d "$dir/googletest" ]; then
            source_dir="$dir"
            break
        fi
    done
    if [ -n "$source_dir" ]; then
        say "GoogleTest not installed; building it from $source_dir"
        prefix="$build/_googletest/install"
        if cmake -S "$source_dir" -B "$build/_googletest/build" -G Ninja \
            -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON \
            -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib \
            >"$logs/googletest.log" 2>&1 &&
            cmake --build "$build/_googletest/build" -j "$build_jobs" >>"$logs/googletest.log" 2>&1 &&
            cmake --install "$build/_googletest/build" >>"$logs/googletest.log" 2>&1 &&
            gtest_found -DCMAKE_PREFIX_PATH="$prefix"; then
            cmake_options+=(-DCMAKE_PREFIX_PATH="$prefix")
            gtest_origin="built from $source_dir"
        else
            source_dir=""
            problems+=("GoogleTest failed to build (see $logs/googletest.log)")
        fi
    fi
    if [ -z "$source_dir" ]; then
        say "GoogleTest is neither installed nor buildable here: the tests are NOT built."
        say "Provide a source tree (copy /usr/src/googletest from a machine with libgtest-dev"
        say "to .deps/googletest-src in the repository, or pass --gtest-source DIR)."
        cmake_options+=(-DLUMETH_BUILD_TESTS=OFF)
        gtest_origin="not available: tests not built"
        tests_built=0
        problems+=("tests not built: no GoogleTest")
    fi
fi
say "GoogleTest: $gtest_origin"

# --- Configure and build ------------------------------------------------------------------------
say "configuring $build"
if ! cmake -S "$repo_root" -B "$build" -G Ninja "${cmake_options[@]}" >"$logs/configure.log" 2>&1; then
    tail -n 30 "$logs/configure.log"
    say "configuration failed (log: $logs/configure.log)"
    exit 1
fi
if ! grep -q "lumeth: CUDA path ON" "$logs/configure.log"; then
    problems+=("CMake did not enable the CUDA path (see $logs/configure.log)")
fi
say "building with $build_jobs jobs"
if ! cmake --build "$build" -j "$build_jobs" >"$logs/build.log" 2>&1; then
    grep -E "error|FAILED" "$logs/build.log" | head -n 30
    say "build failed (log: $logs/build.log)"
    exit 1
fi

# --- Tests --------------------------------------------------------------------------------------
# Runs ctest with the given selection into a log; prints "passed failed skipped". Every test
# that neither passed nor skipped itself (failed, crashed, timed out, not found) has failed.
run_ctest() {
    local log="$1"
    shift
    ctest --test-dir "$build" --output-on-failure -j "$build_jobs" "$@" >"$log" 2>&1
    local total passed skipped
    total=$(grep -cE '^ *[0-9]+/[0-9]+ Test +#[0-9]+: ' "$log")
    passed=$(grep -E '^ *[0-9]+/[0-9]+ Test +#[0-9]+: ' "$log" | grep -c ' Passed ')
    skipped=$(grep -E '^ *[0-9]+/[0-9]+ Test +#[0-9]+: ' "$log" | grep -c '\*\*\*Skipped')
    echo "$passed $((total - passed - skipped)) $skipped"
}

gpu_counts="not run"
other_counts="not run"
if [ "$tests_built" -eq 1 ]; then
    say "running the GPU tests (label gpu)"
    read -r g_pass g_fail g_skip < <(run_ctest "$logs/gpu-tests.log" -V -L '^gpu$')
    gpu_counts="$g_pass passed, $g_fail failed, $g_skip skipped"
    # What the GPU tests say of the agreement with the CPU, and why any skipped or failed.
    grep -E '\[ INFO|no usable CUDA device|Failure' "$logs/gpu-tests.log" | sort -u | head -n 20
    [ "$g_fail" -eq 0 ] || problems+=("GPU tests failed (see $logs/gpu-tests.log)")
    [ "$g_pass" -gt 0 ] || problems+=("no GPU test passed")
    if [ "$g_skip" -gt 0 ] && [ "$gpu_present" -eq 1 ]; then
        problems+=("GPU tests skipped although nvidia-smi lists a GPU")
    fi

    say "running the other tests"
    read -r o_pass o_fail o_skip < <(run_ctest "$logs/other-tests.log" -LE '^gpu$')
    other_counts="$o_pass passed, $o_fail failed, $o_skip skipped"
    [ "$o_fail" -eq 0 ] || problems+=("other tests failed (see $logs/other-tests.log)")
fi

# --- Benchmark ----------------------------------------------------------------------------------
bench_result="not built (no lumeth-bench target)"
bench="$(find "$build" -maxdepth 3 -type f -name lumeth-bench -perm -u+x | head -n1)"
if [ -n "$bench" ]; then
    say "running $bench"
    timeout 900 "$bench" >"$logs/bench.log" 2>&1
    status=$?
    cat "$logs/bench.log"
    bench_result="exit status $status"
    [ "$status" -eq 0 ] || problems+=("lumeth-bench exited with status $status")
fi

# --- Summary ------------------------------------------------------------------------------------
{
    echo "== lumeth GPU check"
    echo "GPU:          $gpu_name"
    echo "CUDA:         $nvcc_version"
    echo "GoogleTest:   $gtest_origin"
    echo "GPU tests:    $gpu_counts"
    echo "Other tests:  $other_counts"
    echo "Benchmark:    $bench_result"
    echo "Logs:         $logs"
    if [ "${#problems[@]}" -eq 0 ]; then
        echo "Result:       PASS"
    else
        echo "Result:       FAIL"
        for problem in "${problems[@]}"; do
            echo "  - $problem"
        done
    fi
} | tee "$logs/summary.txt"

if [ -n "$copy_logs_to" ]; then
    mkdir -p "$copy_logs_to" && cp "$logs"/*.log "$logs/summary.txt" "$copy_logs_to"/
fi
[ "${#problems[@]}" -eq 0 ]
