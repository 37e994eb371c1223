# Shared by the Linux cross toolchains: Debian's g++-<triplet> cross compiler,
# its libraries under /usr/<triplet>, and qemu-user to run what it builds.
# The including file sets network_change_triplet, network_change_processor,
# network_change_deb_arch and, where this machine cannot run the programs
# itself, network_change_qemu (qemu-user's name for the architecture).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${network_change_processor})
set(CMAKE_C_COMPILER ${network_change_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${network_change_triplet}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${network_change_triplet})
set(CMAKE_FIND_ROOT_PATH /usr/${network_change_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(NETWORK_CHANGE_DEB_ARCH ${network_change_deb_arch})
if(DEFINED network_change_qemu)
  # Tests run with a binfmt_misc entry of their own, so that the programs
  # they start run under qemu-user as well.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/qemu-user ${network_change_qemu})
endif()
