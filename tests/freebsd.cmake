# FreeBSD's own tests, run in a FreeBSD machine by the layer's runner.

# The program in jails that share the network stack they are made in.
network_change_test(jail_test jail_test.cpp)
target_compile_definitions(jail_test PRIVATE NETWORK_CHANGE_BINARY="$<TARGET_FILE:network-change>")
add_dependencies(jail_test network-change)
network_change_cases(jail_test)

# The machine's runner makes the tarball, unpacks it where this test finds
# it, and runs this test beside the others.
target_compile_definitions(package_test PRIVATE
  UNPACKED_TARBALL="${CMAKE_BINARY_DIR}/packages/${NETWORK_CHANGE_TARBALL}")
network_change_cases(package_test)
