# With -DCMAKE_CXX_COMPILER_LAUNCHER=ccache, ccache gets the settings that let it reuse what it
# compiled in another clone of the repository and cache compilations with precompiled headers:
# paths under the checkout hashed relative to it, the build folder left out of the hash, and the
# precompiled header's own macros and time stamps not taken as a change. The hash of each file is
# kept by its inode, so that a precompiled header of 100 to 200 MB is read once, not once for every
# source that uses it.
list(GET CMAKE_CXX_COMPILER_LAUNCHER 0 launcher)
cmake_path(GET launcher FILENAME launcher_name)
if(launcher_name STREQUAL "ccache")
    find_program(QUILLMAR_ENV env REQUIRED)
    set(CMAKE_CXX_COMPILER_LAUNCHER ${QUILLMAR_ENV} CCACHE_BASEDIR=${PROJECT_SOURCE_DIR}
        CCACHE_NOHASHDIR=1 CCACHE_INODECACHE=1
        CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
        ${CMAKE_CXX_COMPILER_LAUNCHER})
endif()
