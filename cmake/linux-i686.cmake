# Cross-builds the 32-bit x86 Linux program; this kernel runs it itself, or
# hands it to qemu-user where .ci/i386-binfmt has registered it.
set(network_change_triplet i686-linux-gnu)
set(network_change_processor i686)
set(network_change_deb_arch i386)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
