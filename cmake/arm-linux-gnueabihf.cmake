# Cross build for 32-bit ARM boards (armhf, glibc) with Debian's cross
# compiler (g++-arm-linux-gnueabihf):
#   cmake -S . -B build-arm --toolchain cmake/arm-linux-gnueabihf.cmake
# Tests run under qemu user-mode emulation (qemu-user-static); the daemon
# they start runs under the same emulator through binfmt_misc (.ci/arm.sh
# registers it).

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(PTYBRIDGE_CROSS_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${PTYBRIDGE_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${PTYBRIDGE_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${PTYBRIDGE_CROSS_TRIPLET})

# 64-bit time_t and file offsets: the boards run unattended past 2038.
# -Wno-psabi: GCC notes that it passes some library types differently
# than GCC 6 did; everything here is built by the one compiler.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64 -Wno-psabi")

# Target libraries and headers: the cross toolchain's own tree first, then
# the multiarch paths of the host (libgtest-dev:armhf).
set(CMAKE_FIND_ROOT_PATH /usr/${PTYBRIDGE_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# A static qemu: it ignores the host's LD_PRELOAD, which the tests set for
# the ARM daemon, and binfmt_misc can open it once at registration.
# With the armhf C library installed through multiarch (libc6:armhf, which
# the daemon started by the tests needs anyway) programs run as they are:
# -L would then pair the cross tree's ld.so with the multiarch libc found
# through /etc/ld.so.cache, two builds that crash together.
find_program(PTYBRIDGE_QEMU_ARM NAMES qemu-arm-static qemu-arm)
if(PTYBRIDGE_QEMU_ARM)
  if(EXISTS /lib/ld-linux-armhf.so.3)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${PTYBRIDGE_QEMU_ARM})
  else()
    set(CMAKE_CROSSCOMPILING_EMULATOR ${PTYBRIDGE_QEMU_ARM} -L /usr/${PTYBRIDGE_CROSS_TRIPLET})
  endif()
endif()
