# The Linux program over rtnetlink, packaged as a .deb (or, static, as a
# tarball for any Linux), with its tests, benchmark and fuzzer.

# Debian's hardening flags, as its own packages are built with them.
find_program(DPKG_BUILDFLAGS dpkg-buildflags)
option(NETWORK_CHANGE_HARDENING "Build with the flags dpkg-buildflags gives (hardening=+all)" ON)
# A cross toolchain names the Debian architecture it builds for.
if(NETWORK_CHANGE_DEB_ARCH)
  set(deb_host_arch DEB_HOST_ARCH=${NETWORK_CHANGE_DEB_ARCH})
else()
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE NETWORK_CHANGE_DEB_ARCH
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NETWORK_CHANGE_HARDENING AND DPKG_BUILDFLAGS)
  foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                            ${deb_host_arch} ${DPKG_BUILDFLAGS} --get ${kind}
                    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    if(kind STREQUAL "LDFLAGS")
      add_link_options(${flags})
    else()
      add_compile_options(${flags})
    endif()
  endforeach()
endif()

# The Linux layer under the watch loop, built once for the program, the
# tests, the fuzzer and the benchmark.
add_library(network-change-linux STATIC
  src/emulated/address_table.cpp src/emulated/descriptor.cpp src/emulated/platform.cpp
  src/linux/netlink.cpp src/linux/socket.cpp src/linux/monitor.cpp src/linux/table_reader.cpp
  src/linux/kernel-linux.cpp)
target_include_directories(network-change-linux PUBLIC src/emulated src/linux)
target_link_libraries(network-change-linux PRIVATE strict_warnings)

# The watch loop, compiled once; the tests link it to a scripted layer too.
add_library(watch-loop OBJECT src/network-change.cpp)
target_include_directories(watch-loop PUBLIC src/emulated)
target_link_libraries(watch-loop PRIVATE strict_warnings)

add_executable(network-change)
target_link_libraries(network-change PRIVATE watch-loop network-change-linux)
if(NETWORK_CHANGE_STATIC)
  # One file that needs nothing of the system but its kernel. It stays
  # position-independent where the C library can start such a program by
  # itself (Debian 12 has no rcrt1.o for armhf or s390x). A warning that
  # something would still be looked up at run time, as glibc gives for its
  # name service and dlopen, fails the link.
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_LINK_OPTIONS -static-pie)
  check_cxx_source_compiles("int main() { return 0; }" NETWORK_CHANGE_STATIC_PIE)
  unset(CMAKE_REQUIRED_LINK_OPTIONS)
  if(NETWORK_CHANGE_STATIC_PIE)
    target_link_options(network-change PRIVATE -static-pie)
  else()
    target_link_options(network-change PRIVATE -static)
  endif()
  target_link_options(network-change PRIVATE -Wl,--fatal-warnings)
endif()

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

if(NETWORK_CHANGE_STATIC)
  # network-change-VERSION-linux-ARCH.tar.gz: the program, its manual page,
  # the licence and a README, in a folder of the same name.
  configure_file(packaging/README.linux.in README @ONLY)
  install(TARGETS network-change RUNTIME DESTINATION .)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/network-change.1 ${CMAKE_CURRENT_BINARY_DIR}/README LICENSE
          DESTINATION .)
  set(CPACK_GENERATOR TGZ)
  set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-linux-${NETWORK_CHANGE_DEB_ARCH})
else()
  include(GNUInstallDirs)
  install(TARGETS network-change RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/network-change.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  if(NETWORK_CHANGE_DEB_ARCH)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${NETWORK_CHANGE_DEB_ARCH})
  endif()
endif()
include(CPack)

# Child processes, namespaces and /proc readings, shared by the tests and the
# benchmark.
add_library(sandbox STATIC tests/support/child.cpp tests/support/sandbox.cpp)
target_include_directories(sandbox PUBLIC tests/support)
target_link_libraries(sandbox PRIVATE strict_warnings)

include(CTest)
if(BUILD_TESTING)
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
endif()
add_subdirectory(bench)
if(NETWORK_CHANGE_FUZZ)
  add_subdirectory(fuzz)
endif()
