# Cross build for 64-bit ARM boards (arm64, glibc) with Debian's cross
# compiler (g++-aarch64-linux-gnu):
#   cmake -S . -B build-arm64 --toolchain cmake/aarch64-linux-gnu.cmake
# time_t and file offsets are 64-bit there already.

set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(PTYBRIDGE_CROSS_TRIPLET aarch64-linux-gnu)
set(PTYBRIDGE_CROSS_QEMU aarch64)
set(PTYBRIDGE_CROSS_LDSO /lib/ld-linux-aarch64.so.1)

include(${CMAKE_CURRENT_LIST_DIR}/cross-linux-gnu.cmake)
