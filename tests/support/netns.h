// Private network namespaces for tests that change addresses, and what a test
// can learn from /proc about a watcher's netlink sockets.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace testing_support {

// True under CI, where a missing capability fails a test instead of skipping it.
bool in_ci();

// Moves this process into a new network namespace of its own (through a user
// namespace when not root). Returns an empty string, or why it could not.
std::string enter_private_netns();

// Runs `ip` with the words of args, split at spaces; fails the calling test
// with ip's own words if it does not succeed.
void ip(const std::string& args);

struct NetlinkSocket {
  unsigned long inode = 0;
  std::uint32_t groups = 0;
  std::size_t queued = 0;   // bytes waiting in the receive queue
  std::uint64_t drops = 0;  // messages the kernel dropped for want of room
};

// The netlink sockets that process pid holds, as this namespace's
// /proc/net/netlink describes them.
std::vector<NetlinkSocket> netlink_sockets_of(pid_t pid);

// Waits until pid is blocked in poll with nothing left in its netlink
// receive queues: it has taken in every change made so far. Returns false if
// that has not happened before the timeout.
bool wait_until_idle(pid_t pid, std::chrono::milliseconds timeout);

}  // namespace testing_support

// Enters a private network namespace, or skips the test where that cannot be
// had (and fails it under CI, where nothing may skip).
#define REQUIRE_PRIVATE_NETNS()                                           \
  do {                                                                    \
    const std::string why_not = ::testing_support::enter_private_netns(); \
    if (!why_not.empty()) {                                               \
      if (::testing_support::in_ci()) {                                   \
        FAIL() << why_not;                                                \
      }                                                                   \
      GTEST_SKIP() << why_not;                                            \
    }                                                                     \
  } while (0)
