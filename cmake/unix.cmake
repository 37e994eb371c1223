# The program where Windows is not the host: the watch loop over the layer
# of this system (cmake/LAYER.cmake, as CMakeLists.txt chooses it), its
# manual page and packages, with its tests, benchmark and fuzzer.

# network-change-VERSION-SYSTEM-ARCH.tar.gz: the program, its manual page,
# the licence and the README made from readme_in, in a folder of that name.
function(network_change_tarball system arch readme_in)
  configure_file(${readme_in} README @ONLY)
  install(TARGETS network-change RUNTIME DESTINATION .)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/network-change.1 ${CMAKE_CURRENT_BINARY_DIR}/README LICENSE
          DESTINATION .)
  set(NETWORK_CHANGE_TARBALL ${PROJECT_NAME}-${PROJECT_VERSION}-${system}-${arch} PARENT_SCOPE)
  set(CPACK_GENERATOR TGZ PARENT_SCOPE)
  set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-${system}-${arch} PARENT_SCOPE)
endfunction()

# The system's own part first: its compiler flags hold for every target.
include(cmake/${NETWORK_CHANGE_LAYER}.cmake)

# The address table with the policy of its reads, and the routing-socket
# parser: built on every host, the parser for the tests and the fuzzer as
# well as for the FreeBSD layer.
add_library(address-table STATIC src/emulated/address_table.cpp src/emulated/read_policy.cpp)
target_include_directories(address-table PUBLIC src/emulated)
target_link_libraries(address-table PRIVATE strict_warnings)
add_library(routing-messages STATIC src/freebsd/routing.cpp)
target_include_directories(routing-messages INTERFACE src/freebsd)
target_link_libraries(routing-messages PUBLIC address-table PRIVATE strict_warnings)

# The watch loop, compiled once; the tests link it to a scripted layer too.
add_library(watch-loop OBJECT src/network-change.cpp)
target_include_directories(watch-loop PUBLIC src/emulated)
target_link_libraries(watch-loop PRIVATE strict_warnings)

# The manual page and the changelog, compressed as Debian wants them.
execute_process(COMMAND date -R -u -d ${NETWORK_CHANGE_DATE}
                OUTPUT_VARIABLE NETWORK_CHANGE_CHANGELOG_DATE OUTPUT_STRIP_TRAILING_WHITESPACE)
configure_file(man/network-change.1.in network-change.1 @ONLY)
configure_file(packaging/changelog.in changelog @ONLY)
foreach(doc network-change.1 changelog)
  add_custom_command(OUTPUT ${doc}.gz
                     COMMAND gzip -9nc ${doc} > ${doc}.gz
                     DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/${doc})
endforeach()
add_custom_target(docs ALL DEPENDS network-change.1.gz changelog.gz)

include(CPack)

include(CTest)
if(BUILD_TESTING)
  # Child processes, network stacks of their own and what the kernel tells
  # of another process, shared by the tests and the benchmark, which a build
  # of the program alone does without. What the layer has of descriptors,
  # and on Linux its netlink walk and socket opener, serve them too; the
  # layer's file names what else its sandbox needs.
  add_library(sandbox STATIC tests/support/child.cpp tests/support/sandbox.cpp
              tests/support/sandbox-${NETWORK_CHANGE_LAYER}.cpp)
  target_include_directories(sandbox PUBLIC tests/support)
  target_link_libraries(sandbox PUBLIC network-change-${NETWORK_CHANGE_LAYER}
                        ${network_change_sandbox_libraries} PRIVATE strict_warnings)

  # The program needs nothing but a compiler, CMake and Ninja; the tests
  # need GoogleTest too, and under CI its absence is an error.
  if(CMAKE_CROSSCOMPILING AND EXISTS /usr/src/googletest/CMakeLists.txt)
    # Debian's GoogleTest sources, built with the cross compiler.
    set(INSTALL_GTEST OFF)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
    set(GTest_FOUND ON)
  elseif(in_ci)
    find_package(GTest REQUIRED)
  else()
    find_package(GTest)
  endif()
  if(GTest_FOUND)
    add_subdirectory(tests)
  else()
    message(STATUS "GoogleTest not found: building the program without its tests")
  endif()
  if(network_change_bench)
    add_subdirectory(bench)
  endif()
endif()
if(NETWORK_CHANGE_FUZZ)
  add_subdirectory(fuzz)
endif()
