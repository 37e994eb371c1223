// The Linux layer in-process, where a test may stand between the kernel and
// the layer's reads of the table, to show the layer what a kernel can do
// there.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "child.h"
#include "layer.h"
#include "netns.h"
#include "platform.h"

namespace {

using RecvMsg = ssize_t (*)(int, msghdr*, int);

RecvMsg real_recvmsg() {
  static const auto real = reinterpret_cast<RecvMsg>(dlsym(RTLD_NEXT, "recvmsg"));
  return real;
}

using RecvMmsg = int (*)(int, mmsghdr*, unsigned, int, timespec*);

RecvMmsg real_recvmmsg() {
  static const auto real = reinterpret_cast<RecvMmsg>(dlsym(RTLD_NEXT, "recvmmsg"));
  return real;
}

using Bind = int (*)(int, const sockaddr*, socklen_t);

Bind real_bind() {
  static const auto real = reinterpret_cast<Bind>(dlsym(RTLD_NEXT, "bind"));
  return real;
}

// The layer reads the table with recvmsg and the monitor with recvmmsg, and
// nothing else in this program calls them: a test that sets these stands
// between the kernel and those reads, or the layer's binds.
std::function<ssize_t(int, msghdr*, int)> table_reads;
std::function<int(int, mmsghdr*, unsigned, int, timespec*)> report_reads;
std::function<int(int, const sockaddr*, socklen_t)> binds;

}  // namespace

extern "C" int bind(int fd, const sockaddr* addr, socklen_t len) {
  return binds ? binds(fd, addr, len) : real_bind()(fd, addr, len);
}

extern "C" ssize_t recvmsg(int fd, msghdr* mh, int flags) {
  return table_reads ? table_reads(fd, mh, flags) : real_recvmsg()(fd, mh, flags);
}

extern "C" int recvmmsg(int fd, mmsghdr* batch, unsigned n, int flags, timespec* timeout) {
  return report_reads ? report_reads(fd, batch, n, flags, timeout)
                      : real_recvmmsg()(fd, batch, n, flags, timeout);
}

namespace {

using namespace std::chrono_literals;
using testing_support::AddressChanger;
using testing_support::ip;
using Op = AddressChanger::Op;

class LinuxLayer : public Layer {
 protected:
  void TearDown() override {
    table_reads = nullptr;
    report_reads = nullptr;
    binds = nullptr;
  }
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
  EXPECT_EQ(wait(), Ended::BySentinel);
}

TEST_F(LinuxLayer, ASocketThatCannotBeBoundEndsTheRequestAndLeavesNothingOpen) {
  const auto held = testing_support::netlink_sockets_of(getpid()).size();
  for (const int refused : {1, 2}) {  // the monitor's bind, then the dump socket's
    SCOPED_TRACE(refused);
    int calls = 0;
    binds = [&](int fd, const sockaddr* addr, socklen_t len) {
      if (++calls == refused) {
        errno = EADDRINUSE;
        return -1;
      }
      return real_bind()(fd, addr, len);
    };
    handle_ = nullptr;
    EXPECT_EQ(NotifyAddrChange(&handle_, &overlapped_), static_cast<DWORD>(EADDRINUSE));
    EXPECT_EQ(testing_support::netlink_sockets_of(getpid()).size(), held);
  }
  binds = nullptr;
  EXPECT_TRUE(request());
}

TEST_F(LinuxLayer, ReadsThatAlwaysLoseReportsEndTheRequest) {
  // The kernel says that it dropped reports during every read of the table:
  // after a thousand reads the request fails instead of reading for ever.
  int lost = 0;
  bool read = false;
  table_reads = [&](int fd, msghdr* mh, int flags) {
    read = true;
    return real_recvmsg()(fd, mh, flags);
  };
  report_reads = [&](int fd, mmsghdr* batch, unsigned n, int flags, timespec* timeout) {
    if (read && ++lost < 1200) {
      read = false;
      errno = ENOBUFS;
      return -1;
    }
    return real_recvmmsg()(fd, batch, n, flags, timeout);
  };
  handle_ = nullptr;
  EXPECT_EQ(NotifyAddrChange(&handle_, &overlapped_), static_cast<DWORD>(ENOBUFS));
  EXPECT_LT(lost, 1200);
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

  static const nlmsghdr* find(const msghdr* mh, ssize_t n, std::uint16_t type) {
    auto* data = static_cast<std::uint8_t*>(mh->msg_iov[0].iov_base);
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(nlmsghdr)) <= n;) {
      const auto* hdr = reinterpret_cast<const nlmsghdr*>(data + at);
      if (hdr->nlmsg_type == type) {
        return hdr;
      }
      at += static_cast<ssize_t>(NLMSG_ALIGN(std::max<std::uint32_t>(hdr->nlmsg_len, 16)));
    }
    return nullptr;
  }

  // Reads the rest of a dump, up to the datagram that ends it, which is left
  // in *mh. Nothing more comes on the socket after that.
  static ssize_t read_to_end(int fd, msghdr* mh, int flags) {
    ssize_t n;
    do {
      n = real_recvmsg()(fd, mh, flags & ~MSG_DONTWAIT);
    } while (n > 0 && find(mh, n, NLMSG_DONE) == nullptr);
    return n;
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

TEST_F(TableRead, ATableThatKeepsChangingIsReadInBoundedTimeAndExactly) {
  // An address comes or goes between any two parts of every read, so the
  // kernel marks each one as interrupted.
  int toggles = 0;
  table_reads = [&](int fd, msghdr* mh, int flags) {
    const ssize_t n = real_recvmsg()(fd, mh, flags);
    if (n > 0) {
      changer_->queue(++toggles % 2 == 1 ? Op::Add : Op::Delete, 1, 0xC00002C8, 32);  // 192.0.2.200
      changer_->send();
    }
    return n;
  };
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(request());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_GT(toggles, 2);
  table_reads = nullptr;
  EXPECT_EQ(wait(), Ended::ByAChange);
  // What was there all along is known: refreshing it is no change, and
  // removing it is one.
  ASSERT_TRUE(request());
  change(Op::Refresh, 0, 100);
  change(Op::Refresh, 900, count);
  EXPECT_EQ(wait(), Ended::BySentinel);
  ASSERT_TRUE(request());
  change(Op::Delete, 500, 501);
  EXPECT_EQ(wait(), Ended::ByAChange);
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

TEST_F(TableRead, AReadThatIsCutShortOrFailsIsStartedAgain) {
  const auto refresh_is_no_change = [this] {
    ASSERT_TRUE(request());
    change(Op::Refresh, 0, 150);
    EXPECT_EQ(wait(), Ended::BySentinel);
  };
  // The second part of the first reply is taken away; the socket then says
  // why, or stays silent.
  for (const int error : {ENOBUFS, EAGAIN}) {
    SCOPED_TRACE(error == ENOBUFS ? "the kernel could build no more of the reply"
                                  : "the rest of the reply never came");
    int reads = 0;
    table_reads = [&](int fd, msghdr* mh, int flags) -> ssize_t {
      if (++reads == 2) {
        // Where the kernel could build no more, the rest of the dump stays
        // on the socket, which no new dump may share.
        if (error == EAGAIN) {
          read_to_end(fd, mh, flags);
        }
        errno = error;
        return -1;
      }
      return real_recvmsg()(fd, mh, flags);
    };
    handle_ = nullptr;
    const auto start = std::chrono::steady_clock::now();
    refresh_is_no_change();
    // A silent socket is given a second to speak before the read is given up.
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, error == EAGAIN ? 1s : 0s);
    EXPECT_LT(took, 5s);
  }
  {
    SCOPED_TRACE("the reply ended in an error");
    bool failed = false;
    table_reads = [&](int fd, msghdr* mh, int flags) -> ssize_t {
      if (failed) {
        return real_recvmsg()(fd, mh, flags);
      }
      failed = true;
      const ssize_t n = read_to_end(fd, mh, flags);
      const int eio = -EIO;
      std::memcpy(NLMSG_DATA(find(mh, n, NLMSG_DONE)), &eio, sizeof eio);
      return n;
    };
    handle_ = nullptr;
    refresh_is_no_change();
  }
}

TEST_F(TableRead, OnlyTheKernelSpeaksForTheReply) {
  // Before the first part of the reply comes the end of the same dump, with
  // no rows, from another sender. Believed, it would empty the table.
  std::vector<std::uint8_t> first_part;
  sockaddr_nl kernel{};
  int reads = 0;
  table_reads = [&](int fd, msghdr* mh, int flags) -> ssize_t {
    auto* data = static_cast<std::uint8_t*>(mh->msg_iov[0].iov_base);
    if (++reads == 2) {
      std::memcpy(data, first_part.data(), first_part.size());
      std::memcpy(mh->msg_name, &kernel, sizeof kernel);
      return static_cast<ssize_t>(first_part.size());
    }
    const ssize_t n = real_recvmsg()(fd, mh, flags);
    if (reads > 1 || n <= 0) {
      return n;
    }
    first_part.assign(data, data + n);
    std::memcpy(&kernel, mh->msg_name, sizeof kernel);
    nlmsghdr row;
    std::memcpy(&row, data, sizeof row);
    const struct {
      nlmsghdr hdr;
      int error;
    } done{{sizeof done, NLMSG_DONE, NLM_F_MULTI, row.nlmsg_seq, row.nlmsg_pid}, 0};
    std::memcpy(data, &done, sizeof done);
    static_cast<sockaddr_nl*>(mh->msg_name)->nl_pid = 4242;
    return sizeof done;
  };
  ASSERT_TRUE(request());
  EXPECT_GT(reads, 2);
  change(Op::Refresh, 0, 150);
  EXPECT_EQ(wait(), Ended::BySentinel);
}

TEST_F(TableRead, AReadThatKeepsFailingEndsTheRequest) {
  // Every part of every reply is lost: the request fails, in bounded time.
  int reads = 0;
  table_reads = [&](int fd, msghdr* mh, int flags) -> ssize_t {
    if (++reads > 100) {
      ADD_FAILURE() << "the table is read again and again, without end";
      return real_recvmsg()(fd, mh, flags);
    }
    read_to_end(fd, mh, flags);
    errno = ENOBUFS;
    return -1;
  };
  handle_ = nullptr;
  EXPECT_EQ(NotifyAddrChange(&handle_, &overlapped_), static_cast<DWORD>(ENOBUFS));
  EXPECT_EQ(WSAGetLastError(), ENOBUFS);
  EXPECT_EQ(reads, 8);  // eight reads in all, each lost
}

TEST_F(TableRead, AnInterruptedReadIsNotTakenForTheWholeTable) {
  // The first read is marked interrupted and lacks the first address, as a
  // read may that the table changed under; the next one has it.
  bool first_read = true;
  table_reads = [&](int fd, msghdr* mh, int flags) {
    const ssize_t n = real_recvmsg()(fd, mh, flags);
    auto* data = static_cast<std::uint8_t*>(mh->msg_iov[0].iov_base);
    for (ssize_t at = 0; first_read && at + static_cast<ssize_t>(NLMSG_HDRLEN) <= n;) {
      auto* hdr = reinterpret_cast<nlmsghdr*>(data + at);
      hdr->nlmsg_flags |= NLM_F_DUMP_INTR;
      first_read = hdr->nlmsg_type != NLMSG_DONE;
      int left = hdr->nlmsg_type == RTM_NEWADDR ? static_cast<int>(IFA_PAYLOAD(hdr)) : 0;
      for (auto* rta = IFA_RTA(NLMSG_DATA(hdr)); RTA_OK(rta, left); rta = RTA_NEXT(rta, left)) {
        std::uint32_t local;
        std::memcpy(&local, RTA_DATA(rta), sizeof local);
        if (rta->rta_type == IFA_LOCAL && local == htonl(first)) {
          hdr->nlmsg_type = RTM_NEWLINK;  // a row that is not an address
        }
      }
      at += static_cast<ssize_t>(NLMSG_ALIGN(hdr->nlmsg_len));
    }
    return n;
  };
  ASSERT_TRUE(request());
  EXPECT_FALSE(first_read);
  change(Op::Refresh, 0, 150);
  EXPECT_EQ(wait(), Ended::BySentinel);
}

}  // namespace
