# FreeBSD's own tests, run in a FreeBSD machine by the layer's runner.

# The program on what only FreeBSD reports, and in jails that share the
# network stack they are made in.
network_change_test(freebsd_system_test freebsd_system_test.cpp)
target_compile_definitions(freebsd_system_test PRIVATE
  NETWORK_CHANGE_BINARY="$<TARGET_FILE:network-change>")
add_dependencies(freebsd_system_test network-change)
network_change_cases(freebsd_system_test PROPERTIES TIMEOUT 120)

# The layer with a hand between the kernel and its reads of the table.
network_change_test(freebsd_layer_test freebsd_layer_test.cpp)
target_link_libraries(freebsd_layer_test PRIVATE ${layer})
network_change_cases(freebsd_layer_test PROPERTIES TIMEOUT 120)

# The machine's runner makes the tarball, unpacks it where this test finds
# it, and runs this test beside the others.
target_compile_definitions(package_test PRIVATE
  UNPACKED_TARBALL="${CMAKE_BINARY_DIR}/packages/${NETWORK_CHANGE_TARBALL}")
network_change_cases(package_test)
