# Shared settings of the build scripts (sourced, not run).

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_jobs="$(nproc)"

# CMake finds nvcc on the PATH; the CUDA toolkit's default location is tried as well.
if ! command -v nvcc >/dev/null 2>&1 && [ -x /usr/local/cuda/bin/nvcc ]; then
    export CUDACXX=/usr/local/cuda/bin/nvcc
fi

# Configures and builds one build folder: configure_and_build <folder> [cmake options...]
configure_and_build() {
    local folder="$1"
    shift
    cmake -S "$repo_root" -B "$folder" -G Ninja "$@"
    cmake --build "$folder" -j "$build_jobs"
}
