# The board's CPU (32-bit ARM, hard float) with Debian's cross tool chain
# and the :armhf libraries of the build machine's multiarch folders.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake ...
# The tests run under qemu-user (scripts/test armhf).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc-12)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++-12)
set(_meter_cpu "-march=armv7-a -mfpu=neon -mfloat-abi=hard -mtune=cortex-a8")
# gcc notes on every std::vector iterator that an ABI changed in gcc 7.1; all
# the code is built by one compiler.
set(_meter_cpu "${_meter_cpu} -Wno-psabi")
set(CMAKE_C_FLAGS_INIT "${_meter_cpu}")
set(CMAKE_CXX_FLAGS_INIT "${_meter_cpu}")

# Headers and libraries of the board's architecture only; programs (python3,
# valgrind, the emulator) are the build machine's own.
set(CMAKE_FIND_ROOT_PATH /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Test discovery and ctest start the test programs through the emulator; the
# programs the tests start themselves need binfmt (scripts/test armhf).
find_program(METER_QEMU_ARM NAMES qemu-arm-static qemu-arm REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${METER_QEMU_ARM})
