// The layer in-process, as the watch loop drives it, on this system's own
// kernel: what a request and a wait promise whichever kernel is behind them.
// On FreeBSD a test may also stand between the kernel and the layer's reads
// of the table.
#include <fcntl.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>
#ifdef __FreeBSD__
#include <sys/types.h>
#include <sys/socket.h>
#include <sys/sysctl.h>
#include <net/if.h>
#endif

#include <cerrno>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "layer.h"
#include "machine.h"
#include "platform.h"

#ifdef __FreeBSD__
// The layer reads the table with sysctl, and nothing else in this program
// asks for NET_RT_IFLIST: a test that sets this is called after each of
// those calls, with the size that it asked for (0 when the size is all it
// asked for).
namespace {
std::function<void(std::size_t)> after_table_read;
}

extern "C" int __sysctl(const int* name, u_int namelen, void* oldp, size_t* oldlenp,
                        const void* newp, size_t newlen);

extern "C" int sysctl(const int* name, u_int namelen, void* oldp, size_t* oldlenp, const void* newp,
                      size_t newlen) {
  const size_t asked = oldp != nullptr && oldlenp != nullptr ? *oldlenp : 0;
  const int result = __sysctl(name, namelen, oldp, oldlenp, newp, newlen);
  if (after_table_read && namelen == 6 && name[0] == CTL_NET && name[1] == PF_ROUTE &&
      name[4] == NET_RT_IFLIST) {
    after_table_read(asked);
  }
  return result;
}
#endif

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

#ifdef __FreeBSD__
class TableRead : public Layer {
 protected:
  void SetUp() override {
    Layer::SetUp();
    changer_.emplace();  // in the test's own network stack
  }
  void TearDown() override { after_table_read = nullptr; }

  // Makes the same change to 198.18.0.0 + [from, to), each of them /15, on
  // the interface.
  void change(testing_support::AddressChanger::Op op, unsigned ifindex, std::uint32_t from,
              std::uint32_t to) {
    for (std::uint32_t i = from; i < to; ++i) {
      changer_->queue(op, ifindex, 0xC6120000 + i, 15);
    }
    ASSERT_EQ(changer_->send(), 0);
  }

  std::optional<testing_support::AddressChanger> changer_;
};

using Op = testing_support::AddressChanger::Op;

TEST_F(TableRead, AChangeWhileTheFirstRequestReadsTheTableIsAChange) {
  // Made once the size is known: the new address is in the table read as
  // well as in a report, but it came after the request began.
  int reads = 0;
  after_table_read = [&](std::size_t asked) {
    if (asked == 0 && ++reads == 1) {
      change(Op::Add, if_nametoindex(loopback), 1, 2);
    }
  };
  ASSERT_TRUE(request());
  EXPECT_GE(reads, 1);
  after_table_read = nullptr;
  EXPECT_EQ(wait(), Ended::ByAChange);
  ASSERT_TRUE(request());
  EXPECT_EQ(wait(), Ended::BySentinel);
}

TEST_F(TableRead, ATableThatOutgrowsItsRoomIsReadAgainAndExactly) {
  // Between the size asked and the read, the table grows past the room
  // made for it, once: the read is made again, and holds every address.
  testing_support::ifconfig("epair create name nc0");
  testing_support::ifconfig("nc0 inet 198.18.0.1/15");
  const unsigned nc0 = if_nametoindex("nc0");
  std::vector<std::size_t> asked_for;
  after_table_read = [&](std::size_t asked) {
    asked_for.push_back(asked);
    if (asked_for.size() == 1) {
      change(Op::Add, nc0, 2, 502);
    }
  };
  ASSERT_TRUE(request());
  after_table_read = nullptr;
  ASSERT_GE(asked_for.size(), 4u);  // size, too small a read, size, read
  EXPECT_GT(asked_for[3], asked_for[1]);
  EXPECT_EQ(wait(), Ended::ByAChange);  // the addresses came during the read

  // The addresses are known: a link that comes up again reports each one
  // that shares the first one's prefix anew, which is no change.
  ASSERT_TRUE(request());
  testing_support::ifconfig("nc0 down");
  testing_support::ifconfig("nc0 up");
  EXPECT_EQ(wait(), Ended::BySentinel);
}

TEST_F(Layer, TheRouteSocketStaysOffTheStandardStreamsAndFromChildren) {
  ASSERT_TRUE(request());
  const auto fds = testing_support::kernel_socket_fds(getpid());
  ASSERT_EQ(fds.size(), 1u);
  EXPECT_GT(fds[0], STDERR_FILENO);
  EXPECT_NE(fcntl(fds[0], F_GETFD) & FD_CLOEXEC, 0);
}
#endif

}  // namespace
