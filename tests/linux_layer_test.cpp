// The Linux layer's promises, tested in-process inside a private network
// namespace: what is a change, what is not, and how waits and requests behave.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "child.h"
#include "netns.h"
#include "platform.h"

namespace {

using namespace std::chrono_literals;
using testing_support::ip;

class LinuxLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETNS();
    event_ = WSACreateEvent();
    ASSERT_NE(event_, WSA_INVALID_EVENT);
    overlapped_.hEvent = event_;
  }

  // Issues a request and checks that it is outstanding, as the loop expects.
  void request() {
    EXPECT_EQ(NotifyAddrChange(&handle_, &overlapped_), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(WSAGetLastError(), ERROR_IO_PENDING);
    EXPECT_NE(handle_, nullptr);
  }

  DWORD wait(std::chrono::milliseconds ms) {
    return WaitForSingleObject(event_, static_cast<DWORD>(ms.count()));
  }

  // Waits for a change that should come, then expects nothing more: each call
  // is one pass of the loop.
  void expect_change() {
    request();
    EXPECT_EQ(wait(5s), WAIT_OBJECT_0);
    EXPECT_EQ(overlapped_.Internal, 0u);
  }
  void expect_no_change() {
    request();
    EXPECT_EQ(wait(150ms), WAIT_TIMEOUT);
    EXPECT_EQ(overlapped_.Internal, STATUS_PENDING);
  }

  HANDLE event_ = nullptr;
  HANDLE handle_ = nullptr;
  OVERLAPPED overlapped_{};
};

TEST_F(LinuxLayer, AddressesComingAndGoingAreChangesAndNothingElseIs) {
  request();
  const HANDLE watch = handle_;
  EXPECT_EQ(wait(100ms), WAIT_TIMEOUT);

  ip("addr add 192.0.2.1/24 dev lo valid_lft 100 preferred_lft 100");
  EXPECT_EQ(wait(5s), WAIT_OBJECT_0);
  EXPECT_EQ(handle_, watch);

  // A signalled event stays signalled until the next request resets it.
  EXPECT_EQ(wait(0ms), WAIT_OBJECT_0);

  ip("addr change 192.0.2.1/24 dev lo valid_lft 200 preferred_lft 150");
  expect_no_change();

  ip("link add nc0 type veth peer name nc1");
  ip("link set nc0 up");
  ip("link set nc1 up");
  ip("-6 addr add 2001:db8::1/64 dev nc0 nodad");
  ip("link set nc0 down");
  expect_no_change();
  EXPECT_EQ(handle_, watch);

  // The same address with another prefix, or on another link, is another row.
  ip("addr add 192.0.2.1/25 dev lo");
  EXPECT_EQ(wait(5s), WAIT_OBJECT_0);
  ip("addr add 192.0.2.1/24 dev nc0");
  expect_change();
  ip("addr del 192.0.2.1/24 dev lo");
  expect_change();
  ip("addr add 198.51.100.1/24 dev nc0");
  ip("addr add 198.51.100.2/24 dev nc0");
  expect_change();
  ip("link del nc0");
  expect_change();
  expect_no_change();
}

TEST_F(LinuxLayer, ChangesBeforeARequestCompleteItAtOnceAndCountOnce) {
  expect_no_change();
  ip("addr add 203.0.113.1/32 dev lo");
  ip("addr add 203.0.113.2/32 dev lo");
  ip("addr add 203.0.113.3/32 dev lo");
  // All three came before this wait, so they are one completion.
  EXPECT_EQ(wait(0ms), WAIT_OBJECT_0);
  expect_no_change();

  // Made between a completion and the next request: the request completes at once.
  ip("addr del 203.0.113.1/32 dev lo");
  request();
  EXPECT_EQ(wait(0ms), WAIT_OBJECT_0);

  // Removed and added back before the wait looks: a change, not none.
  ip("addr del 203.0.113.2/32 dev lo");
  ip("addr add 203.0.113.2/32 dev lo");
  expect_change();
  expect_no_change();
}

TEST_F(LinuxLayer, AnOverflowIsReportedAndTheTableIsReadAfresh) {
  ip("link add nc0 type veth peer name nc1");
  expect_no_change();
  // Far more than the receive buffer holds, while nobody reads it.
  char path[] = "/tmp/network-change-batch-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  std::string batch;
  for (int i = 0; i < 4000; ++i) {
    batch += "addr add 198.18." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1) +
             "/32 dev nc0\n";
  }
  ASSERT_EQ(write(fd, batch.data(), batch.size()), static_cast<ssize_t>(batch.size()));
  close(fd);
  ip(std::string("-batch ") + path);
  std::remove(path);
  bool dropped = false;
  for (const auto& s : testing_support::netlink_sockets_of(getpid())) {
    dropped = dropped || s.drops > 0;
  }
  ASSERT_TRUE(dropped) << "the burst did not overflow the socket; the test proves nothing";

  EXPECT_EQ(wait(5s), WAIT_OBJECT_0);
  // The table read afresh knows every address: deleting the last one added
  // is a change, adding it again is one, and refreshing it is none.
  ip("addr del 198.18.15.250/32 dev nc0");
  expect_change();
  ip("addr add 198.18.15.250/32 dev nc0");
  expect_change();
  ip("addr change 198.18.15.250/32 dev nc0 valid_lft 500 preferred_lft 500");
  expect_no_change();
}

TEST_F(LinuxLayer, OnlyTheKernelSpeaksForTheTable) {
  expect_no_change();
  // A process with the right to send to the address group (root in this
  // namespace) broadcasts a well-formed "new address". Without NLM_F_REQUEST
  // the kernel itself ignores it, so only a watcher that believed any
  // sender would see a change.
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  ASSERT_GE(fd, 0);
  sockaddr_nl self{};
  self.nl_family = AF_NETLINK;
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self), 0);
  struct {
    nlmsghdr hdr;
    ifaddrmsg ifa;
    rtattr local_attr;
    std::uint32_t local;
  } forged{};
  forged.hdr = {sizeof forged, RTM_NEWADDR, 0, 1, 0};
  forged.ifa = {AF_INET, 24, 0, RT_SCOPE_UNIVERSE, 1};
  forged.local_attr = {sizeof(rtattr) + 4, IFA_LOCAL};
  forged.local = htonl(0xC0000263);  // 192.0.2.99
  sockaddr_nl group{};
  group.nl_family = AF_NETLINK;
  group.nl_groups = RTMGRP_IPV4_IFADDR;
  ASSERT_EQ(
      sendto(fd, &forged, sizeof forged, 0, reinterpret_cast<sockaddr*>(&group), sizeof group),
      static_cast<ssize_t>(sizeof forged))
      << std::strerror(errno);
  close(fd);
  EXPECT_EQ(wait(300ms), WAIT_TIMEOUT);
  // The same message from the kernel is a change.
  ip("addr add 192.0.2.99/24 dev lo");
  EXPECT_EQ(wait(5s), WAIT_OBJECT_0);
}

void on_alarm(int) {}

TEST_F(LinuxLayer, SignalsDoNotEndAWait) {
  struct sigaction sa {};
  sa.sa_handler = on_alarm;  // no SA_RESTART: poll sees EINTR
  sigaction(SIGALRM, &sa, nullptr);
  itimerval every_20ms{{0, 20000}, {0, 20000}};
  setitimer(ITIMER_REAL, &every_20ms, nullptr);

  request();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(wait(300ms), WAIT_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);

  // An untimed wait, interrupted many times, still ends with the change.
  testing_support::Child later({"sh", "-c", "sleep 0.2; ip addr add 192.0.2.9/24 dev lo"});
  EXPECT_EQ(WaitForSingleObject(event_, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(later.finish(5s), 0);

  itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
}

TEST_F(LinuxLayer, AWatchThatBreaksMakesTheNextRequestFail) {
  request();
  // Put a pipe where the subscribed socket was: the next read of it fails.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  int replaced = 0;
  for (const auto& s : testing_support::netlink_sockets_of(getpid())) {
    if (s.groups == 0) {
      continue;
    }
    for (int fd = 3; fd < 1024; ++fd) {
      char target[64] = {};
      const std::string link = "/proc/self/fd/" + std::to_string(fd);
      if (readlink(link.c_str(), target, sizeof target - 1) > 0 &&
          target == "socket:[" + std::to_string(s.inode) + "]") {
        ASSERT_GE(dup2(fds[0], fd), 0);
        ++replaced;
      }
    }
  }
  ASSERT_EQ(replaced, 1);
  close(fds[1]);  // the pipe is at its end: poll wakes at once

  EXPECT_EQ(wait(5s), WAIT_FAILED);
  EXPECT_EQ(WSAGetLastError(), ENOTSOCK);
  EXPECT_EQ(NotifyAddrChange(&handle_, &overlapped_), static_cast<DWORD>(ENOTSOCK));
  EXPECT_EQ(WSAGetLastError(), ENOTSOCK);
  close(fds[0]);
}

TEST_F(LinuxLayer, RequestsThatCannotBeIssuedSayWhy) {
  // Not an event at all.
  int not_an_event = 0;
  EXPECT_EQ(WaitForSingleObject(&not_an_event, 0), WAIT_FAILED);
  EXPECT_EQ(WSAGetLastError(), EINVAL);
  OVERLAPPED bad{};
  bad.hEvent = &not_an_event;
  EXPECT_EQ(NotifyAddrChange(&handle_, &bad), static_cast<DWORD>(EINVAL));
  EXPECT_EQ(handle_, nullptr);

  // No descriptor left for the watch's sockets.
  rlimit old{};
  getrlimit(RLIMIT_NOFILE, &old);
  const int highest = dup(0);
  rlimit tight{static_cast<rlim_t>(highest + 1), old.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  const DWORD result = NotifyAddrChange(&handle_, &overlapped_);
  const int error = WSAGetLastError();
  setrlimit(RLIMIT_NOFILE, &old);
  close(highest);
  EXPECT_EQ(result, static_cast<DWORD>(EMFILE));
  EXPECT_EQ(error, EMFILE);
  EXPECT_EQ(handle_, nullptr);

  // And once descriptors are there again, a request goes through.
  request();
}

TEST_F(LinuxLayer, SocketsStayOffTheStandardStreamsAndCloseOnExec) {
  // With 0 and 1 free, a careless socket() would land on them.
  const int saved_in = dup(STDIN_FILENO);
  const int saved_out = dup(STDOUT_FILENO);
  close(STDIN_FILENO);
  close(STDOUT_FILENO);
  request();
  const bool in_free = fcntl(STDIN_FILENO, F_GETFD) < 0;
  const bool out_free = fcntl(STDOUT_FILENO, F_GETFD) < 0;
  dup2(saved_in, STDIN_FILENO);
  dup2(saved_out, STDOUT_FILENO);
  close(saved_in);
  close(saved_out);
  EXPECT_TRUE(in_free);
  EXPECT_TRUE(out_free);
  int sockets = 0;
  for (int fd = 0; fd < 1024; ++fd) {
    char target[64] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    if (readlink(link.c_str(), target, sizeof target - 1) > 0 &&
        std::string(target).rfind("socket:", 0) == 0) {
      ++sockets;
      EXPECT_GT(fd, STDERR_FILENO);
      EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC) << fd;
    }
  }
  EXPECT_EQ(sockets, 2);
}

}  // namespace
