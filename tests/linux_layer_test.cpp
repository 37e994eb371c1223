// The Linux layer in-process on the real kernel: what the kernel reports,
// and a change or a flood timed between two parts of its reply to a read.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "layer.h"
#include "machine.h"
#include "platform.h"
#include "socket.h"

namespace {

using RecvMsg = ssize_t (*)(int, msghdr*, int);

RecvMsg real_recvmsg() {
  static const auto real = reinterpret_cast<RecvMsg>(dlsym(RTLD_NEXT, "recvmsg"));
  return real;
}

// The layer reads the table with recvmsg, and nothing else in this program
// calls it: a test that sets this stands between the kernel and those reads,
// to change the table between two parts of the reply. (What the read decides
// on each part is proved on bytes, in read_model_test; this is for what only
// the kernel can show.)
std::function<ssize_t(int, msghdr*, int)> table_reads;

}  // namespace

extern "C" ssize_t recvmsg(int fd, msghdr* mh, int flags) {
  return table_reads ? table_reads(fd, mh, flags) : real_recvmsg()(fd, mh, flags);
}

namespace {

using namespace std::chrono_literals;
using testing_support::AddressChanger;
using testing_support::ip;
using Op = AddressChanger::Op;

class LinuxLayer : public Layer {
 protected:
  void TearDown() override { table_reads = nullptr; }
};

TEST_F(LinuxLayer, AddressesComingAndGoingAreChangesAndNothingElseIs) {
  ip("link add nc0 type veth peer name nc1");
  ASSERT_TRUE(request());
  ip("addr add 192.0.2.1/24 dev nc0 valid_lft 100 preferred_lft 100");
  EXPECT_EQ(wait(), Ended::ByAChange);

  ASSERT_TRUE(request());
  ip("addr change 192.0.2.1/24 dev nc0 valid_lft 200 preferred_lft 150");
  ip("link set nc0 up");
  ip("link set nc1 up");
  ip("-6 addr add 2001:db8::1/64 dev nc0 nodad");
  ip("link set nc0 down");
  EXPECT_EQ(wait(), Ended::BySentinel);

  // Addresses that share our own address are told apart by their peer (or
  // network) and prefix, as the kernel tells them apart.
  for (const char* change :
       {"add 192.0.2.1 peer 198.51.100.0/24", "add 192.0.2.1 peer 192.0.2.2/32",
        "add 192.0.2.1 peer 198.51.100.2/32", "del 192.0.2.1 peer 192.0.2.2/32", "del 192.0.2.1/24",
        "add 192.0.2.1/25"}) {
    SCOPED_TRACE(change);
    ASSERT_TRUE(request());
    ip(std::string("addr ") + change + " dev nc0");
    EXPECT_EQ(wait(), Ended::ByAChange);
  }
  ASSERT_TRUE(request());
  ip("addr change 192.0.2.1 peer 198.51.100.2/32 dev nc0 valid_lft 300 preferred_lft 300");
  ip("addr change 192.0.2.1 peer 198.51.100.0/24 dev nc0 valid_lft 300 preferred_lft 300");
  EXPECT_EQ(wait(), Ended::BySentinel);
  ASSERT_TRUE(request());
  ip("link del nc0");
  EXPECT_EQ(wait(), Ended::ByAChange);
}

TEST_F(LinuxLayer, OnlyTheKernelSpeaksForTheTable) {
  ASSERT_TRUE(request());
  // A process with the right to send to the address group (root in this
  // namespace) broadcasts a well-formed "new address". Without NLM_F_REQUEST
  // the kernel itself ignores it, so only a layer that believed any sender
  // would see a change.
  const int fd = linux_layer::open_route_socket(0, nullptr);
  ASSERT_GE(fd, 0);
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
  EXPECT_EQ(wait(), Ended::BySentinel);
}

TEST_F(LinuxLayer, AWaitThatTakesWholeBatchesAnswersWithoutWaitingForMore) {
  // One report a datagram: 16 fill the monitor's first batch exactly, 32 its
  // first two. The wait answers with them, not once another change comes.
  ip("link add nc0 type veth peer name nc1");
  const unsigned nc0 = if_nametoindex("nc0");
  AddressChanger changer;
  std::uint32_t next = 0xC6120000;  // 198.18.0.0
  for (const int reports : {16, 32}) {
    SCOPED_TRACE(reports);
    ASSERT_TRUE(request());
    for (int i = 0; i < reports; ++i) {
      changer.queue(Op::Add, nc0, next++, 32);
    }
    ASSERT_EQ(changer.send(), 0);
    EXPECT_EQ(wait(), Ended::ByAChange);
  }
}

// A thousand addresses, so that the kernel's reply to a read of the table
// comes in several datagrams, with room for a hand between them.
class TableRead : public LinuxLayer {
 protected:
  static constexpr std::uint32_t first = 0xC6120000;  // 198.18.0.0
  static constexpr std::uint32_t count = 1000;

  void SetUp() override {
    LinuxLayer::SetUp();
    if (IsSkipped() || HasFatalFailure()) {
      return;
    }
    ip("link add nc0 type veth peer name nc1");
    nc0_ = if_nametoindex("nc0");
    changer_.emplace();
    change(Op::Add, 0, count);
  }

  // Makes the same change to addresses first+from up to first+to.
  void change(Op op, std::uint32_t from, std::uint32_t to) {
    for (std::uint32_t i = from; i < to; ++i) {
      changer_->queue(op, nc0_, first + i, 32);
    }
    ASSERT_EQ(changer_->send(), 0);
  }

  unsigned nc0_ = 0;
  std::optional<AddressChanger> changer_;
};

TEST_F(TableRead, AChangeWhileTheFirstRequestReadsTheTableIsAChange) {
  // Made after the first part of the reply, the new address is in the table
  // read as well as in a report: still, it came after the request began.
  bool made = false;
  table_reads = [&](int fd, msghdr* mh, int flags) {
    const ssize_t n = real_recvmsg()(fd, mh, flags);
    if (n > 0 && !made) {
      made = true;
      changer_->queue(Op::Add, nc0_, 0xC6336407, 32);  // 198.51.100.7
      changer_->send();
    }
    return n;
  };
  ASSERT_TRUE(request());
  EXPECT_TRUE(made);
  EXPECT_EQ(wait(), Ended::ByAChange);
  ASSERT_TRUE(request());
  change(Op::Refresh, 990, count);
  EXPECT_EQ(wait(), Ended::BySentinel);
}

TEST_F(TableRead, ReportsDuringAReadAreTakenInAsTheyComeAndAFloodStartsItAgain) {
  // New addresses on nc1 while the layer is busy with the reply: a hundred
  // after each part from the second on, which the monitor's queue holds if
  // it is read between the parts, or a thousand after the second, which it
  // cannot hold. One more address comes after the first part and goes after
  // the second: in the flood only its coming is reported.
  const unsigned nc1 = if_nametoindex("nc1");
  constexpr std::uint32_t lone = 0xC6336409;  // 198.51.100.9
  std::uint32_t added = 0;
  for (const auto& [per_part, parts] : {std::pair{100u, 100}, {count, 1}}) {
    SCOPED_TRACE(per_part);
    const std::uint64_t drops = testing_support::netlink_drops_of(getpid());
    int part = 0;
    table_reads = [&](int fd, msghdr* mh, int flags) {
      const ssize_t n = real_recvmsg()(fd, mh, flags);
      if (n > 0 && ++part == 1) {
        changer_->queue(Op::Add, nc1, lone, 32);
      }
      for (std::uint32_t i = 0; n > 0 && part > 1 && part <= parts + 1 && i < per_part; ++i) {
        changer_->queue(Op::Add, nc1, first + count + added++, 32);
      }
      if (n > 0 && part == 2) {
        changer_->queue(Op::Delete, nc1, lone, 32);
      }
      changer_->send();
      return n;
    };
    handle_ = nullptr;
    ASSERT_TRUE(request());
    const bool overflowed = testing_support::netlink_drops_of(getpid()) > drops;
    EXPECT_EQ(overflowed, parts == 1);
    EXPECT_EQ(wait(), Ended::ByAChange);
    // The table holds both links' addresses.
    ASSERT_TRUE(request());
    change(Op::Refresh, 0, 100);
    for (std::uint32_t i = 0; i < added; i += 20) {
      changer_->queue(Op::Refresh, nc1, first + count + i, 32);
    }
    ASSERT_EQ(changer_->send(), 0);
    EXPECT_EQ(wait(), Ended::BySentinel);
    // And it knows that the address came and went.
    ASSERT_TRUE(request());
    changer_->queue(Op::Add, nc1, lone, 32);
    changer_->send();
    EXPECT_EQ(wait(), Ended::ByAChange);
    changer_->queue(Op::Delete, nc1, lone, 32);
    changer_->send();
  }
}

}  // namespace
