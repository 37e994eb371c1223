// Test helpers for what a test needs of the machine: a private network
// namespace to change addresses in, and tools; skipped (or, under CI,
// failed) where they cannot be had.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "child.h"
#include "sandbox.h"

namespace testing_support {

#ifdef __linux__
// Runs `ip` with the words of args, split at spaces; fails the calling test
// with ip's own words if it does not succeed.
void ip(const std::string& args);
inline constexpr const char* loopback = "lo";
#else
// Runs `ifconfig` with the words of args, split at spaces; fails the calling
// test with its own words if it does not succeed.
void ifconfig(const std::string& args);
inline constexpr const char* loopback = "lo0";
#endif

// Makes an Ethernet interface of that name, with a peer (a veth pair on
// Linux, an epair on FreeBSD), with the system's own tool.
void add_link(const std::string& name);

// Adds or deletes an IPv4 address ("192.0.2.1/24") on an interface with the
// system's own tool, as ip or ifconfig above.
void add_address(const std::string& address, const std::string& interface);
void delete_address(const std::string& address, const std::string& interface);

// What qemu-user lacks that a test needs, where the tests run under it.
enum class QemuUserGap {
  AddressSpaceLimit,          // setrlimit(RLIMIT_AS) is ignored
  DescriptorsToStart,         // starting a program takes descriptors of qemu's own
  NetlinkOnCopiedDescriptor,  // a socket copied by fcntl(F_DUPFD_CLOEXEC) loses
                              // its netlink translation (a foreign byte order)
};

// Empty when the tests run natively or qemu-user does what the gap names
// (tried each time); otherwise the gap, named. Empty beyond Linux.
std::string qemu_user_lacks(QemuUserGap gap);

}  // namespace testing_support

// Skips the test where it runs under qemu-user and qemu lacks what it needs.
// The gap is named, and a test runs natively in full, so CI allows it.
#define SKIP_WHERE_QEMU_USER_LACKS(gap)                                \
  do {                                                                 \
    const std::string lacks = ::testing_support::qemu_user_lacks(gap); \
    if (!lacks.empty()) {                                              \
      GTEST_SKIP() << "qemu-user lacks what this needs: " << lacks;    \
    }                                                                  \
  } while (0)

// Skips the test, saying why, where what it needs cannot be had (why_not,
// a string, is empty where it can); under CI, where nothing may skip, fails
// it instead.
#define REQUIRE(why_not_expr)                   \
  do {                                          \
    const std::string why_not = (why_not_expr); \
    if (!why_not.empty()) {                     \
      if (::testing_support::in_ci()) {         \
        FAIL() << why_not;                      \
      }                                         \
      GTEST_SKIP() << why_not;                  \
    }                                           \
  } while (0)

// Enters a private network namespace for the rest of the test.
#define REQUIRE_PRIVATE_NETNS() REQUIRE(::testing_support::enter_private_netns())

// A program the test runs, and the Debian package that has it.
#define REQUIRE_TOOL(tool, package)                                                    \
  REQUIRE(::testing_support::on_path(tool)                                             \
              ? std::string()                                                          \
              : std::string(tool) + " is not installed (Debian's package " + package + \
                    "; tools/setup test installs it)")
