# What the cross toolchains of Debian share; included by
# arm-linux-gnueabihf.cmake and aarch64-linux-gnu.cmake, which set first:
#   PTYBRIDGE_CROSS_TRIPLET  the GNU triplet (compiler prefix, multiarch name)
#   PTYBRIDGE_CROSS_QEMU     qemu's name for the processor (qemu-NAME-static)
#   PTYBRIDGE_CROSS_LDSO     the dynamic loader that multiarch installs
# Tests run under qemu user-mode emulation (qemu-user-static); the daemon
# they start runs under the same emulator through binfmt_misc (.ci/arm.sh
# registers it).

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${PTYBRIDGE_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${PTYBRIDGE_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${PTYBRIDGE_CROSS_TRIPLET})

# Target libraries and headers: the cross toolchain's own tree first, then
# the multiarch paths of the host (libgtest-dev:<arch>).
set(CMAKE_FIND_ROOT_PATH /usr/${PTYBRIDGE_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# A static qemu: it ignores the host's LD_PRELOAD, which the tests set for
# the emulated daemon, and binfmt_misc can open it once at registration.
# With the target's C library installed through multiarch (libc6:<arch>,
# which the daemon started by the tests needs anyway) programs run as they
# are: -L would then pair the cross tree's ld.so with the multiarch libc
# found through /etc/ld.so.cache, two builds that crash together.
find_program(PTYBRIDGE_QEMU_${PTYBRIDGE_CROSS_QEMU} NAMES qemu-${PTYBRIDGE_CROSS_QEMU}-static qemu-${PTYBRIDGE_CROSS_QEMU})
set(qemu ${PTYBRIDGE_QEMU_${PTYBRIDGE_CROSS_QEMU}})
if(qemu)
  if(EXISTS ${PTYBRIDGE_CROSS_LDSO})
    set(CMAKE_CROSSCOMPILING_EMULATOR ${qemu})
  else()
    set(CMAKE_CROSSCOMPILING_EMULATOR ${qemu} -L /usr/${PTYBRIDGE_CROSS_TRIPLET})
  endif()
endif()
unset(qemu)
