# Cross-builds Quillmar for 64-bit ARM Debian (Raspberry Pi OS is one) on a Debian build machine,
# with Debian's cross compiler and the arm64 libraries installed beside the machine's own
# (dpkg --add-architecture arm64). There is no sysroot: multiarch keeps the arm64 libraries in
# /usr/lib/aarch64-linux-gnu, where the cross compiler and pkg-config look.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(PKG_CONFIG_EXECUTABLE aarch64-linux-gnu-pkg-config CACHE FILEPATH "pkg-config for arm64")

# Qt's code generators (moc, rcc) run on the build machine, so they come from its own Qt.
set(QT_HOST_PATH /usr CACHE PATH "Prefix of the build machine's Qt")
execute_process(COMMAND dpkg-architecture -qDEB_BUILD_MULTIARCH
    OUTPUT_VARIABLE build_multiarch OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/${build_multiarch}/cmake
    CACHE PATH "CMake packages of the build machine's Qt")

# CTest runs the arm64 tests under user-mode emulation.
find_program(CMAKE_CROSSCOMPILING_EMULATOR NAMES qemu-aarch64-static qemu-aarch64)
