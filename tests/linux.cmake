# Linux's own tests: the netlink parser and the table read's decisions on
# bytes, the layer on this kernel, and what only this host runs (the README's
# script, the tools that run for long, packaging), labelled "host".

# A static build changes how the program is linked, not what any part of it
# does: its tests are the ones that run the program itself.
if(NOT NETWORK_CHANGE_STATIC)
  network_change_test(netlink_test netlink_test.cpp)
  target_link_libraries(netlink_test PRIVATE network-change-linux)
  gtest_discover_tests(netlink_test)

  network_change_test(read_model_test read_model_test.cpp)
  target_link_libraries(read_model_test PRIVATE network-change-linux)
  gtest_discover_tests(read_model_test)

  # The tools that run for long, stopped.
  network_change_test(tools_test tools_test.cpp)
  target_compile_definitions(tools_test PRIVATE SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  gtest_discover_tests(tools_test PROPERTIES LABELS host)

  # The README's script as a user copies it, under each shell it names.
  network_change_test(example_test example_test.cpp)
  target_compile_definitions(example_test PRIVATE SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    BUILD_DIR="${CMAKE_BINARY_DIR}" NETWORK_CHANGE_BINARY="$<TARGET_FILE:network-change>")
  add_dependencies(example_test network-change)
  gtest_discover_tests(example_test PROPERTIES TIMEOUT 120 LABELS host)

  network_change_test(linux_layer_test linux_layer_test.cpp)
  target_link_libraries(linux_layer_test PRIVATE network-change-linux)
  gtest_discover_tests(linux_layer_test PROPERTIES TIMEOUT 120)
endif()

# The real program on what only Linux shows.
network_change_test(linux_system_test linux_system_test.cpp)
target_compile_definitions(linux_system_test PRIVATE NETWORK_CHANGE_BINARY="$<TARGET_FILE:network-change>")
add_dependencies(linux_system_test network-change)
gtest_discover_tests(linux_system_test PROPERTIES TIMEOUT 120)
if(NETWORK_CHANGE_VALGRIND_TESTS)
  gtest_discover_tests(linux_system_test TEST_PREFIX "valgrind." PROPERTIES TIMEOUT 300
                       ENVIRONMENT "NETWORK_CHANGE_VALGRIND=1")
endif()

# Packaging needs the host's tools (dpkg-dev, lintian, groff): label "host".
gtest_discover_tests(package_test PROPERTIES TIMEOUT 300 LABELS host)
