# Cross-builds the 64-bit big-endian IBM Z Linux program, run under qemu-user.
set(network_change_triplet s390x-linux-gnu)
set(network_change_processor s390x)
set(network_change_deb_arch s390x)
set(network_change_qemu s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
