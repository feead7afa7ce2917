# Shared settings of the build scripts (sourced, not run).

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_jobs="$(nproc)"

# Configures and builds one of the configure presets of CMakePresets.json (each names its
# build folder and options), everything or only the targets named:
# configure_and_build <preset> [target...]
configure_and_build() {
    local preset="$1"
    shift
    if [ $# -gt 0 ]; then
        set -- --target "$@"
    fi
    (
        cd "$repo_root"
        cmake --preset "$preset"
        cmake --build --preset "$preset" -j "$build_jobs" "$@"
    )
}
