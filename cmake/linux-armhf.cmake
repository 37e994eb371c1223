# Cross-builds the 32-bit ARM (hard-float) Linux program, run under qemu-user.
set(network_change_triplet arm-linux-gnueabihf)
set(network_change_processor armv7l)
set(network_change_deb_arch armhf)
set(network_change_qemu arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
