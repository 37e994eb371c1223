# Cross-builds the Linux program with Debian's g++-<triplet> cross compiler
# and its libraries under /usr/<triplet>, for the architecture that ends the
# preset's name (linux-ARCH, linux-static-ARCH), and runs what it builds
# under qemu-user where this machine cannot run it itself.
#
# Each line: the preset's ARCH, Debian's name for the architecture, the GNU
# triplet, what `uname -m` says there, qemu-user's name for it (- where
# this machine runs the programs itself) and the compiler's flags.
set(network_change_linux_targets
  "i686     i386     i686-linux-gnu         i686      -"
  "arm64    arm64    aarch64-linux-gnu      aarch64   aarch64"
  "armhf    armhf    arm-linux-gnueabihf    armv7l    arm"
  "armel    armel    arm-linux-gnueabi      armv5tel  arm"
  "s390x    s390x    s390x-linux-gnu        s390x     s390x"
  "ppc64el  ppc64el  powerpc64le-linux-gnu  ppc64le   ppc64le"
  "riscv64  riscv64  riscv64-linux-gnu      riscv64   riscv64"
  # MIPS32 release 2, the 24Kc, 74Kc and 1004Kc of most routers.
  "mips     mips     mips-linux-gnu         mips      mips      -march=mips32r2"
  "mipsel   mipsel   mipsel-linux-gnu       mips      mipsel    -march=mips32r2")

# try_compile's projects are handed the preset's name too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES NETWORK_CHANGE_PRESET)
string(REGEX REPLACE "^linux-(static-)?" "" arch "${NETWORK_CHANGE_PRESET}")
set(target "")
foreach(line IN LISTS network_change_linux_targets)
  string(REGEX REPLACE " +" ";" fields "${line}")
  list(GET fields 0 name)
  if(name STREQUAL arch)
    set(target "${fields}")
  endif()
endforeach()
if(NOT target)
  message(FATAL_ERROR "No Linux cross target for the preset '${NETWORK_CHANGE_PRESET}'")
endif()
# What is left after the first five fields is the flags.
list(POP_FRONT target arch NETWORK_CHANGE_DEB_ARCH triplet processor qemu)

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${processor})
set(CMAKE_C_COMPILER ${triplet}-gcc)
set(CMAKE_CXX_COMPILER ${triplet}-g++)
list(JOIN target " " CMAKE_CXX_FLAGS_INIT)
set(CMAKE_C_FLAGS_INIT "${CMAKE_CXX_FLAGS_INIT}")
set(CMAKE_LIBRARY_ARCHITECTURE ${triplet})
set(CMAKE_FIND_ROOT_PATH /usr/${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
if(NOT qemu STREQUAL "-")
  # Tests run with a binfmt_misc entry of their own, so that the programs
  # they start run under qemu-user as well. Where this machine has no C
  # library of that architecture beside its own (Debian has no mips, and
  # Debian 12 no riscv64), qemu-user takes the cross toolchain's.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/qemu-user ${qemu})
  if(NOT EXISTS /lib/${triplet}/libc.so.6)
    list(PREPEND CMAKE_CROSSCOMPILING_EMULATOR env QEMU_LD_PREFIX=/usr/${triplet})
  endif()
endif()
