# Sourced by the scripts that build the project (test.sh, screenshots.sh, run.sh).
#   build_tree TREE [TARGET...]   configures build/TREE by its preset and builds the targets
#                                 (every target when none is given)
# The presets (CMakePresets.json) are the one place that says how each tree is configured.
build_tree() {
    tree=$1; shift
    cmake --preset "$tree" >/dev/null
    if [ $# -eq 0 ]; then
        cmake --build "build/$tree" -j"$(nproc)"
    else
        cmake --build "build/$tree" -j"$(nproc)" --target "$@"
    fi
}
