# Sourced by the build scripts: compiler_cache holds the CMake option that compiles through ccache,
# when it is installed and no other launcher is asked for. ccache keeps its files in the user's
# cache folder, so every build of every clone on this machine reuses them; the settings that let a
# clone in another folder hit are in cmake/compiler_cache.cmake.
compiler_cache=()
if [[ -z ${CMAKE_CXX_COMPILER_LAUNCHER:-} ]] && command -v ccache >/dev/null; then
    compiler_cache=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
