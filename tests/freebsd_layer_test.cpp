// The FreeBSD layer in-process on its kernel, with a hand between the kernel
// and the layer's reads of the table: a change, or a table that outgrows
// the room made for it, between two of its sysctl calls.
#include <fcntl.h>
#include <unistd.h>
#include <sys/types.h>
#include <sys/socket.h>
#include <sys/sysctl.h>
#include <net/if.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "layer.h"
#include "machine.h"
#include "platform.h"

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

namespace {

using testing_support::loopback;

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

}  // namespace
