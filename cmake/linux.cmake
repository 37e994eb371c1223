# The Linux program over rtnetlink, packaged as a .deb (or, static, as a
# tarball for any Linux).

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

# A static program keeps only the sections something in it uses, of its
# own code and of the C and C++ libraries': each under 1 MiB.
if(NETWORK_CHANGE_STATIC)
  add_compile_options(-ffunction-sections -fdata-sections)
  add_link_options(-Wl,--gc-sections)
endif()

# The Linux layer under the watch loop, built once for the program, the
# tests, the fuzzer and the benchmark.
add_library(network-change-linux STATIC
  src/emulated/descriptor.cpp src/emulated/platform.cpp src/linux/netlink.cpp src/linux/socket.cpp
  src/linux/monitor.cpp src/linux/dump_read.cpp src/linux/table_reader.cpp)
target_include_directories(network-change-linux PUBLIC src/emulated src/linux)
target_link_libraries(network-change-linux PUBLIC address-table PRIVATE strict_warnings)

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
  network_change_tarball(linux ${NETWORK_CHANGE_DEB_ARCH} packaging/README.linux.in)
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
  if(CMAKE_CROSSCOMPILING AND NOT EXISTS /lib/${CMAKE_LIBRARY_ARCHITECTURE}/libc.so.6)
    # This machine has the architecture's libraries only from the cross
    # toolchain (Debian 12 has no riscv64): dpkg-shlibdeps reads them there,
    # and the dependencies name the packages they stand for.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS /usr/${CMAKE_LIBRARY_ARCHITECTURE}/lib)
    set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cross-shlibdeps.cmake)
  endif()
  if(NETWORK_CHANGE_DEB_ARCH)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${NETWORK_CHANGE_DEB_ARCH})
  endif()
endif()

# The benchmark runs beside Linux's own watcher, ip monitor.
set(network_change_bench ON)
