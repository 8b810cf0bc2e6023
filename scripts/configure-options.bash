# Sourced by the build scripts. configure_options BUILD: sets the array configure_options to what
# CMake is given for the build folder BUILD besides the build's own options: Ninja for a new
# folder when it is installed (a folder keeps the generator it was made with), and the compiler
# cache when ccache is installed and no other launcher is asked for. ccache keeps its files in the
# user's cache folder, so every build of every clone on this machine reuses them; the settings
# that let a clone in another folder hit are in cmake/compiler_cache.cmake.
configure_options() {
    configure_options=()
    if [[ ! -e $1/CMakeCache.txt ]] && command -v ninja >/dev/null; then
        configure_options+=(-G Ninja)
    fi
    if [[ -z ${CMAKE_CXX_COMPILER_LAUNCHER:-} ]] && command -v ccache >/dev/null; then
        configure_options+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    fi
}
