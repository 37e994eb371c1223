# Cross-builds the 64-bit ARM Linux program, run under qemu-user.
set(network_change_triplet aarch64-linux-gnu)
set(network_change_processor aarch64)
set(network_change_deb_arch arm64)
set(network_change_qemu aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
