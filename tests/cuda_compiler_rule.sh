#!/usr/bin/env bash
# The rule that finds the CUDA compiler, as the set-up (scripts/deps-lib.sh) and CMake
# (cmake/cuda_compiler.cmake) follow it, in a copy of the scripts whose .deps is its own, with
# stand-in compilers (shell scripts that answer --version) and a stand-in pip that "fetches" a
# tree holding one:
#   - two compilers on one machine: the set-up and CMake name the same one;
#   - a CUDACXX that names no program, and a CUDA 11 compiler: refused in one line, and the
#     set-up with "required" (--gpu-required) exits non-zero;
#   - a fetched tree from other pins: CMake refuses it, the set-up fetches it again;
#   - an interrupted fetch: nothing half-made is used, the next set-up completes the tree;
#   - two set-ups at once: one fetches, the other waits and uses its tree, none nested;
#   - NVRTC (the driver API path's images): fetched when missing or from other pins, nothing
#     half-made used after an interrupted fetch, and a failed fetch stops "required".
#   tests/cuda_compiler_rule.sh REPOSITORY
set -uo pipefail
repository="$1"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
    printf 'FAIL: %s\n' "$*"
    failures=$((failures + 1))
}

# A copy of what the rule needs; its .deps is empty.
root="$scratch/repository"
mkdir -p "$root/scripts" "$root/cmake"
cp "$repository/scripts/deps-lib.sh" "$repository/scripts/cuda-compiler-requirements.txt" \
    "$repository/scripts/nvrtc-requirements.txt" "$root/scripts/"
cp "$repository/cmake/cuda_compiler.cmake" "$root/cmake/"
pinned="$(sed -n 's/^nvidia-cuda-nvcc==\([0-9]*\.[0-9]*\)\..*/\1/p' \
    "$root/scripts/cuda-compiler-requirements.txt")"
tree="$root/.deps/cuda-$pinned"

# stand_in_nvcc FOLDER RELEASE: a compiler that says it is CUDA RELEASE.
stand_in_nvcc() {
    mkdir -p "$1"
    printf '#!/bin/sh\necho "Cuda compilation tools, release %s, V%s.1"\n' "$2" "$2" >"$1/nvcc"
    chmod +x "$1/nvcc"
}

# The stand-in pip (as python3 first on the PATH): "installs" the requirements into --target
# after $PIP_SECONDS seconds, counting its fetches in $scratch/fetches.
bin="$scratch/bin"
mkdir -p "$bin"
cat >"$bin/python3" <<STAND_IN
#!/bin/bash
[ "\$3" = --version ] && { echo "pip 23.0"; exit 0; }
while [ \$# -gt 0 ]; do
    [ "\$1" = --target ] && target="\$2"
    [ "\$1" = -r ] && requirements="\$2"
    shift
done
echo fetch >>"$scratch/fetches"
sleep "\${PIP_SECONDS:-0}"
if [ "\${requirements##*/}" = nvrtc-requirements.txt ]; then
    [ -z "\${PIP_FAILS:-}" ] || { echo "ERROR: No matching distribution found"; exit 1; }
    mkdir -p "\$target/nvidia/cuda_nvrtc/include" "\$target/nvidia/cuda_nvrtc/lib"
    touch "\$target/nvidia/cuda_nvrtc/include/nvrtc.h" "\$target/nvidia/cuda_nvrtc/lib/libnvrtc.so.12"
    exit 0
fi
tree="\$target/nvidia/cu13"
mkdir -p "\$tree/bin" "\$tree/nvvm/bin" "\$tree/nvvm/libdevice" "\$tree/include" "\$tree/lib"
printf '#!/bin/sh\necho "Cuda compilation tools, release $pinned, V$pinned.88"\n' >"\$tree/bin/nvcc"
chmod +x "\$tree/bin/nvcc"
touch "\$tree/nvvm/bin/cicc" "\$tree/include/cuda_runtime.h" "\$tree/lib/libcudart_static.a" \
    "\$tree/lib/libcudart.so.${pinned%%.*}"
STAND_IN
chmod +x "$bin/python3"

# The machine as the tests see it: no toolkit in its default folder, no nvcc on the PATH but
# the stand-ins', no GPU.
system_path="$(dirname "$(command -v cmake)"):/usr/bin:/bin"
for folder in ${system_path//:/ }; do
    [ -e "$folder/nvcc" ] && { echo "SKIP: $folder/nvcc is on the PATH every case needs"; exit 0; }
done
export LUMETH_DEFAULT_CUDA_TOOLKIT="$scratch/no-toolkit"
unset CUDACXX LUMETH_FETCH_CUDA

# set_up [required]: the set-up's CUDA compiler step; its output in $said, status in $status.
set_up_step='DEPS_TAG=set-up; source "$0/scripts/deps-lib.sh"
nvidia_hardware_or_driver() { return 1; }
ensure_cuda_compiler "$1"'
set_up() {
    said="$(bash -c "$set_up_step" "$root" "${1:-}" 2>&1)"
    status=$?
}
# rule: what CMake's configure takes (the same function, run as a script), in $rule.
rule() {
    rule="$(cmake -P "$root/cmake/cuda_compiler.cmake" 2>&1)"
}

# --- Two compilers on one machine ----------------------------------------------------------------
stand_in_nvcc "$scratch/first" 13.0
stand_in_nvcc "$scratch/no-toolkit/bin" 13.0
PATH="$bin:$scratch/first:$system_path" set_up required
PATH="$bin:$scratch/first:$system_path" rule
[ "$status" -eq 0 ] && grep -q "CUDA compiler: $scratch/first/nvcc (CUDA 13.0, from the PATH)" <<<"$said" ||
    fail "two compilers: the set-up said: $said"
grep -qx "nvcc=$scratch/first/nvcc" <<<"$rule" || fail "two compilers: CMake takes: $rule"
# Without one on the PATH both take the toolkit's default folder.
PATH="$bin:$system_path" rule
grep -qx "nvcc=$scratch/no-toolkit/bin/nvcc" <<<"$rule" || fail "the toolkit's folder: $rule"
rm -rf "$scratch/no-toolkit"

# --- A CUDACXX that names no program, a compiler too old for the image set -----------------------
stand_in_nvcc "$scratch/old" 11.8
for case in "$scratch/absent/nvcc:names no program" "$scratch/old/nvcc:is CUDA 11.8"; do
    export CUDACXX="${case%%:*}"
    PATH="$bin:$system_path" set_up required
    [ "$status" -ne 0 ] && [ "$(wc -l <<<"$said")" -eq 1 ] &&
        grep -q "ERROR: CUDA compiler refused: .*${case#*:}" <<<"$said" ||
        fail "CUDACXX=$CUDACXX with required: status $status: $said"
    PATH="$bin:$system_path" set_up
    [ "$status" -eq 0 ] && grep -q "CUDA compiler: none (.*${case#*:}.*); the build has no GPU path" <<<"$said" ||
        fail "CUDACXX=$CUDACXX: status $status: $said"
    PATH="$bin:$system_path" rule
    grep -q "^refused=.*${case#*:}" <<<"$rule" || fail "CUDACXX=$CUDACXX: CMake: $rule"
done
unset CUDACXX
[ ! -e "$root/.deps" ] || fail "a refused compiler made the set-up fetch"

# --- A stale fetched tree ------------------------------------------------------------------------
stand_in_nvcc "$tree/bin" "$pinned"
echo "nvidia-cuda-nvcc==12.0.0 --hash=sha256:0" >"$tree/fetched-from-requirements.txt"
PATH="$bin:$system_path" rule
grep -q "^refused=$tree was not fetched from today's pins" <<<"$rule" ||
    fail "stale tree: CMake: $rule"
LUMETH_FETCH_CUDA=0 PATH="$bin:$system_path" set_up required
[ "$status" -ne 0 ] && grep -q "was not fetched from today's pins" <<<"$said" ||
    fail "stale tree, LUMETH_FETCH_CUDA=0: status $status: $said"
PATH="$bin:$system_path" set_up required
PATH="$bin:$system_path" rule
[ "$status" -eq 0 ] && grep -qx "nvcc=$tree/bin/nvcc" <<<"$rule" &&
    cmp -s "$tree/fetched-from-requirements.txt" "$root/scripts/cuda-compiler-requirements.txt" ||
    fail "stale tree: not fetched again: $said / $rule"
rm -rf "$root/.deps" "$scratch/fetches"

# --- An interrupted fetch ------------------------------------------------------------------------
# In a process group of its own, killed whole while pip runs.
PIP_SECONDS=30 PATH="$bin:$system_path" setsid bash -c "$set_up_step" "$root" required \
    >/dev/null 2>&1 &
interrupted=$!
for _ in $(seq 100); do [ -e "$scratch/fetches" ] && break; sleep 0.1; done
kill -KILL -- -"$interrupted" 2>/dev/null
wait "$interrupted" 2>/dev/null
PATH="$bin:$system_path" rule
[ -z "$rule" ] || fail "an interrupted fetch left a compiler that CMake takes: $rule"
PATH="$bin:$system_path" set_up required
[ "$status" -eq 0 ] && [ -x "$tree/bin/nvcc" ] ||
    fail "after an interrupted fetch: status $status: $said"
[ -z "$(compgen -G "$tree.partial.*")" ] || fail "an interrupted fetch's folder is left: $(compgen -G "$tree.partial.*")"
rm -rf "$root/.deps" "$scratch/fetches"

# --- Two set-ups at once -------------------------------------------------------------------------
(PIP_SECONDS=3 PATH="$bin:$system_path" set_up required; echo "$status $said" >"$scratch/first.out") &
sleep 0.5
(PIP_SECONDS=3 PATH="$bin:$system_path" set_up required; echo "$status $said" >"$scratch/second.out") &
wait
for out in first second; do
    grep -q "^0 " "$scratch/$out.out" && grep -q "CUDA compiler: $tree/bin/nvcc" "$scratch/$out.out" ||
        fail "two set-ups at once, the $out: $(cat "$scratch/$out.out")"
done
[ "$(cat "$scratch/fetches" 2>/dev/null | wc -l)" -eq 1 ] || fail "two set-ups at once fetched $(wc -l <"$scratch/fetches") times"
[ -z "$(find "$tree" -mindepth 1 -maxdepth 2 -name 'cu*' -type d)" ] &&
    [ -z "$(compgen -G "$tree.partial.*")" ] || fail "two set-ups at once left: $(find "$root/.deps" -maxdepth 3)"

rm -rf "$scratch/fetches"

# --- NVRTC ---------------------------------------------------------------------------------------
nvrtc_tree="$root/.deps/nvrtc-$(sed -n 's/^nvidia-cuda-nvrtc-cu[0-9]*==\([0-9]*\.[0-9]*\)\..*/\1/p' \
    "$root/scripts/nvrtc-requirements.txt")"
nvrtc_step='DEPS_TAG=set-up; source "$0/scripts/deps-lib.sh"
CUDA_NVCC=nvcc; ensure_nvrtc "$1"'
nvrtc_set_up() {
    said="$(bash -c "$nvrtc_step" "$root" "${1:-}" 2>&1)"
    status=$?
}
nvrtc_complete() {
    [ -f "$nvrtc_tree/lib/libnvrtc.so.12" ] &&
        cmp -s "$nvrtc_tree/fetched-from-requirements.txt" "$root/scripts/nvrtc-requirements.txt"
}
# A failed fetch: none made, "required" stops in one line, otherwise the build goes on.
PIP_FAILS=1 PATH="$bin:$system_path" nvrtc_set_up required
[ "$status" -ne 0 ] && grep -q "ERROR: no NVRTC, and the packages must carry its images" <<<"$said" &&
    [ ! -e "$nvrtc_tree" ] || fail "NVRTC fetch failing with required: status $status: $said"
PIP_FAILS=1 PATH="$bin:$system_path" nvrtc_set_up
[ "$status" -eq 0 ] && grep -q "the driver API path carries the nvcc images alone" <<<"$said" ||
    fail "NVRTC fetch failing: status $status: $said"
# Missing, then from other pins: fetched; complete: kept.
PATH="$bin:$system_path" nvrtc_set_up required
[ "$status" -eq 0 ] && nvrtc_complete || fail "NVRTC missing: not fetched: $said"
echo "nvidia-cuda-nvrtc-cu12==12.8.0 --hash=sha256:0" >"$nvrtc_tree/fetched-from-requirements.txt"
rm -f "$scratch/fetches"
PATH="$bin:$system_path" nvrtc_set_up required
PATH="$bin:$system_path" nvrtc_set_up required
[ "$status" -eq 0 ] && nvrtc_complete && [ "$(wc -l <"$scratch/fetches")" -eq 1 ] ||
    fail "NVRTC from other pins: not fetched again once: $said"
# Interrupted: the tree from other pins stays as it was, nothing half-made is left in use.
echo "nvidia-cuda-nvrtc-cu12==12.8.0 --hash=sha256:0" >"$nvrtc_tree/fetched-from-requirements.txt"
PIP_SECONDS=30 PATH="$bin:$system_path" setsid bash -c "$nvrtc_step" "$root" required \
    >/dev/null 2>&1 &
interrupted=$!
for _ in $(seq 100); do [ "$(wc -l <"$scratch/fetches")" -eq 2 ] && break; sleep 0.1; done
kill -KILL -- -"$interrupted" 2>/dev/null
wait "$interrupted" 2>/dev/null
! nvrtc_complete && grep -q "12.8.0" "$nvrtc_tree/fetched-from-requirements.txt" ||
    fail "an interrupted NVRTC fetch changed the tree"
PATH="$bin:$system_path" nvrtc_set_up required
[ "$status" -eq 0 ] && nvrtc_complete && [ -z "$(compgen -G "$nvrtc_tree.partial.*")" ] ||
    fail "after an interrupted NVRTC fetch: status $status: $said"

[ "$failures" -eq 0 ] || exit 1
echo "PASS: the CUDA compiler rule's cases"
