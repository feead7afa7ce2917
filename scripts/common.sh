# Shared settings of the build scripts (sourced, not run).

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_jobs="$(nproc)"

# Configures and builds one of the configure presets of CMakePresets.json (each names its
# build folder and options): configure_and_build <preset>
configure_and_build() {
    (
        cd "$repo_root"
        cmake --preset "$1"
        cmake --build --preset "$1" -j "$build_jobs"
    )
}
