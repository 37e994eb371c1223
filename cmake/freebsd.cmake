# The FreeBSD program over the routing socket: one static file, packaged as
# a tarball.

# The hardening that FreeBSD's own ports and Debian's packages build with.
add_compile_options(-fstack-protector-strong -D_FORTIFY_SOURCE=2 -Wformat -Werror=format-security)
add_link_options(-Wl,-z,relro -Wl,-z,now)

# The FreeBSD layer under the watch loop, built once for the program and
# the tests.
add_library(network-change-freebsd STATIC
  src/emulated/descriptor.cpp src/emulated/platform.cpp src/freebsd/jail_view.cpp
  src/freebsd/monitor.cpp src/freebsd/table_reader.cpp)
target_include_directories(network-change-freebsd PUBLIC src/emulated src/freebsd)
target_link_libraries(network-change-freebsd PUBLIC routing-messages PRIVATE strict_warnings)

add_executable(network-change)
target_link_libraries(network-change PRIVATE watch-loop network-change-freebsd)
# Static: the base system has no C++ library to share, and a file that needs
# nothing but the kernel runs on any FreeBSD 15 and in an empty jail.
target_link_options(network-change PRIVATE -static -Wl,--fatal-warnings)
network_change_tarball(freebsd amd64 packaging/README.freebsd.in)

# The tests' sandbox reads the kernel's tables of files (libutil) and makes
# jails (libjail). This machine cannot run FreeBSD's programs: its suite runs
# in a FreeBSD machine.
set(network_change_sandbox_libraries util jail)
set(NETWORK_CHANGE_SUITE_RUNNER ${PROJECT_SOURCE_DIR}/tools/vm-freebsd)
