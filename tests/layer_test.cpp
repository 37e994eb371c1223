// The layer in-process, as the watch loop drives it, on this system's own
// kernel: what a request and a wait promise whichever kernel is behind them.
// What only one kernel shows is in LAYER_layer_test.cpp.
#include <fcntl.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "layer.h"
#include "machine.h"
#include "platform.h"

namespace {

using testing_support::add_address;
using testing_support::delete_address;
using testing_support::loopback;

TEST_F(Layer, ChangesBeforeAWaitCompleteItAtOnceAndCountOnce) {
  ASSERT_TRUE(request());
  add_address("192.0.2.1/32", loopback);
  add_address("192.0.2.2/32", loopback);
  add_address("192.0.2.3/32", loopback);
  EXPECT_EQ(wait(), Ended::ByAChange);
  EXPECT_EQ(WaitForSingleObject(event_, INFINITE), WAIT_OBJECT_0);  // still signalled
  ASSERT_TRUE(request());
  EXPECT_EQ(wait(), Ended::BySentinel);

  // Made between a completion and the next request.
  delete_address("192.0.2.1/32", loopback);
  ASSERT_TRUE(request());
  EXPECT_EQ(wait(), Ended::ByAChange);

  // Removed and added back before the wait looks: a change, not none.
  ASSERT_TRUE(request());
  delete_address("192.0.2.2/32", loopback);
  add_address("192.0.2.2/32", loopback);
  EXPECT_EQ(wait(), Ended::ByAChange);
  ASSERT_TRUE(request());
  EXPECT_EQ(wait(), Ended::BySentinel);
}

void on_alarm(int) {}

TEST_F(Layer, SignalsDoNotEndAWait) {
  struct sigaction sa {};
  sa.sa_handler = on_alarm;  // no SA_RESTART: the read sees EINTR
  sigaction(SIGALRM, &sa, nullptr);
  itimerval every_20ms{{0, 20000}, {0, 20000}};
  setitimer(ITIMER_REAL, &every_20ms, nullptr);
  ASSERT_TRUE(request());
  EXPECT_EQ(wait(), Ended::BySentinel);
  itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
}

TEST_F(Layer, AWatchThatBreaksMakesTheNextRequestFail) {
  ASSERT_TRUE(request());
  // Put a pipe where the wait's epoll instance or kqueue was: the next wait
  // on it fails.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::vector<int> waits = testing_support::wait_fds(getpid());
  ASSERT_EQ(waits.size(), 1u);
  ASSERT_GE(dup2(fds[0], waits[0]), 0);
  close(fds[1]);
  constexpr int not_a_wait = EINVAL;  // what epoll_wait and kevent say of a pipe
  EXPECT_EQ(WaitForSingleObject(event_, INFINITE), WAIT_FAILED);
  EXPECT_EQ(WSAGetLastError(), not_a_wait);
  EXPECT_EQ(NotifyAddrChange(&handle_, &overlapped_), static_cast<DWORD>(not_a_wait));
  EXPECT_EQ(WSAGetLastError(), not_a_wait);
  close(fds[0]);
}

TEST_F(Layer, RequestsThatCannotBeIssuedSayWhy) {
  // A wait that nothing could end, before any request.
  EXPECT_EQ(WaitForSingleObject(event_, INFINITE), WAIT_FAILED);
  EXPECT_EQ(WSAGetLastError(), EINVAL);
  // Handles the layer never gave out are refused, never read through.
  const auto wild = reinterpret_cast<HANDLE>(std::uintptr_t{16});
  EXPECT_EQ(WaitForSingleObject(wild, INFINITE), WAIT_FAILED);
  EXPECT_EQ(WSAGetLastError(), EINVAL);
  OVERLAPPED bad{};
  bad.hEvent = wild;
  EXPECT_EQ(NotifyAddrChange(&handle_, &bad), static_cast<DWORD>(EINVAL));
  HANDLE wild_watch = wild;
  EXPECT_EQ(NotifyAddrChange(&wild_watch, &overlapped_), static_cast<DWORD>(EINVAL));
  EXPECT_EQ(NotifyAddrChange(nullptr, &overlapped_), static_cast<DWORD>(EINVAL));
  EXPECT_EQ(NotifyAddrChange(&handle_, nullptr), static_cast<DWORD>(EINVAL));
  EXPECT_EQ(handle_, nullptr);
  // Nor are waits with a time-out, or that still nothing could end.
  EXPECT_EQ(WaitForSingleObject(event_, INFINITE), WAIT_FAILED);
  EXPECT_EQ(WaitForSingleObject(event_, 0), WAIT_FAILED);
  EXPECT_EQ(WSAGetLastError(), EINVAL);

  // And a request that can be issued still goes through.
  EXPECT_TRUE(request());
}

}  // namespace
