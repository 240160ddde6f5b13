# Cross build for 32-bit ARM boards (armhf, glibc) with Debian's cross
# compiler (g++-arm-linux-gnueabihf):
#   cmake -S . -B build-arm --toolchain cmake/arm-linux-gnueabihf.cmake

set(CMAKE_SYSTEM_PROCESSOR arm)
set(PTYBRIDGE_CROSS_TRIPLET arm-linux-gnueabihf)
set(PTYBRIDGE_CROSS_QEMU arm)
set(PTYBRIDGE_CROSS_LDSO /lib/ld-linux-armhf.so.3)

# 64-bit time_t and file offsets: the boards run unattended past 2038.
# -Wno-psabi: GCC notes that it passes some library types differently
# than GCC 6 did; everything here is built by the one compiler.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64 -Wno-psabi")

include(${CMAKE_CURRENT_LIST_DIR}/cross-linux-gnu.cmake)
