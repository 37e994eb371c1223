// The real program on Linux alone: a burst that overflows its netlink
// socket, as /proc/net/netlink counts the drops.
#include <net/if.h>
#include <signal.h>

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "system.h"

namespace system_tests {

TEST_F(System, ABurstThatOverflowsTheSocketIsReportedAndTheWatchGoesOn) {
  ip("link add nc0 type veth peer name nc1");
  Child& c = start();
  ip("addr add 198.51.100.1/32 dev nc0");
  EXPECT_EQ(c.line(patience_), "net changed..0");
  ASSERT_TRUE(wait_until_idle(c.pid(), patience_));
  // Stopped, it reads nothing while 10,000 changes go by. The first, that
  // 198.51.100.1 went, is queued before the overflow; that it came back is
  // lost in it. The kernel tells of the overflow before what is queued.
  c.signal(SIGSTOP);
  const unsigned nc0 = if_nametoindex("nc0");
  AddressChanger changer;
  changer.queue(AddressChanger::Op::Delete, nc0, 0xC6336401, 32);  // 198.51.100.1
  for (std::uint32_t i = 0; i < 5000; ++i) {
    changer.queue(AddressChanger::Op::Add, nc0, 0xC6120001 + i, 32);  // 198.18.0.1 on
    changer.queue(AddressChanger::Op::Delete, nc0, 0xC6120001 + i, 32);
  }
  // The last changes leave two addresses.
  changer.queue(AddressChanger::Op::Add, nc0, 0xC6336401, 32);
  changer.queue(AddressChanger::Op::Add, nc0, 0xC6130001, 32);  // 198.19.0.1
  ASSERT_EQ(changer.send(), 0);
  ASSERT_GT(testing_support::netlink_drops_of(c.pid()), 0u)
      << "the burst did not overflow the socket; the test proves nothing";
  c.signal(SIGCONT);

  // Every line that comes now is for the burst; at least one must.
  EXPECT_EQ(c.line(patience_), "net changed..1");
  ASSERT_TRUE(wait_until_idle(c.pid(), patience_));
  EXPECT_TRUE(c.running());
  int lines = 2;
  while (c.line(0ms)) {
    ++lines;
  }
  // It still knows the table, read afresh without what was queued before
  // the overflow: the addresses left are known, and so a refresh of them
  // is no change.
  ip("addr replace 198.19.0.1/32 dev nc0");
  ip("addr replace 198.51.100.1/32 dev nc0");
  expect_next_line_is("net changed.." + std::to_string(lines), "203.0.113.1/32");
}

}  // namespace system_tests
