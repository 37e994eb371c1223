// The real program in a jail that shares the network stack it is made in,
// as FreeBSD's services are run: a change is what the jail can see. Each
// test runs in a vnet jail of its own, whose addresses are the host's to
// the jails made in it.
#include <sys/param.h>
#include <sys/jail.h>
#include <net/if.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "system.h"

namespace system_tests {

using testing_support::Jail;
using Op = AddressChanger::Op;

class InAJail : public System {
 protected:
  // Starts the program in the jail and waits until its watch is in place.
  Child& start_in(const Jail& jail) {
    ChildOptions options;
    const int jid = jail.jid();
    options.before_exec = [jid] {
      if (jail_attach(jid) != 0) {
        _exit(126);
      }
    };
    return start(options);
  }

  // Addresses of the host's own come and go, one by one and, while the
  // program is stopped, 200 at once (as many as its socket holds: reports
  // lost in an overflow would be a line).
  void change_the_hosts_addresses(Child& c) {
    ifconfig("epair create name nc0");
    ifconfig("nc0 inet 198.51.100.1/24");
    add_address("198.51.100.5/32", loopback);
    delete_address("198.51.100.5/32", loopback);
    ifconfig("nc0 inet 198.51.100.1 -alias");
    c.signal(SIGSTOP);
    AddressChanger changer;
    const unsigned nc0 = if_nametoindex("nc0");
    for (std::uint32_t i = 0; i < 100; ++i) {
      changer.queue(Op::Add, nc0, 0xC6120001 + i, 32);  // 198.18.0.1 on
      changer.queue(Op::Delete, nc0, 0xC6120001 + i, 32);
    }
    ASSERT_EQ(changer.send(), 0);
    c.signal(SIGCONT);
    ifconfig("nc0 destroy");
  }

  // Changes the jail's own address on lo0 while the program is stopped.
  void while_stopped(Child& c, std::initializer_list<Op> ops, std::uint32_t address) {
    c.signal(SIGSTOP);
    AddressChanger changer;
    for (const Op op : ops) {
      changer.queue(op, if_nametoindex(loopback), address, 32);
    }
    ASSERT_EQ(changer.send(), 0);
    c.signal(SIGCONT);
  }
};

TEST_F(InAJail, WithAddressesOfItsOwnOnlyTheirChangesAreLines) {
  // 192.0.2.77 and 192.0.2.78 are the jail's; only the first is there.
  add_address("192.0.2.77/32", loopback);
  Jail jail(Jail::Ip4::Addresses, {"192.0.2.77", "192.0.2.78"});
  REQUIRE(jail.error());
  Child& c = start_in(jail);
  change_the_hosts_addresses(c);
  // The first line is for the jail's second address, when it comes.
  expect_next_line_is("net changed..0", "192.0.2.78/32");

  // The jail's address gone, then back: a line each.
  delete_address("192.0.2.77/32", loopback);
  EXPECT_EQ(c.line(patience_), "net changed..1");
  add_address("192.0.2.77/32", loopback);
  EXPECT_EQ(c.line(patience_), "net changed..2");
  // Gone and back before the program looks: a line, not none.
  while_stopped(c, {Op::Delete, Op::Add}, 0xC000024D);  // 192.0.2.77
  EXPECT_EQ(c.line(patience_), "net changed..3");
  // An address the jail has seen comes and goes before it looks: a line.
  delete_address("192.0.2.78/32", loopback);
  EXPECT_EQ(c.line(patience_), "net changed..4");
  while_stopped(c, {Op::Add, Op::Delete}, 0xC000024E);  // 192.0.2.78
  EXPECT_EQ(c.line(patience_), "net changed..5");
  change_the_hosts_addresses(c);
  expect_next_line_is("net changed..6", "192.0.2.78/32");
}

TEST_F(InAJail, WithoutIPv4NothingIsALine) {
  Jail jail(Jail::Ip4::Disable);
  REQUIRE(jail.error());
  Child& c = start_in(jail);
  add_address("192.0.2.77/32", loopback);
  change_the_hosts_addresses(c);
  delete_address("192.0.2.77/32", loopback);
  // Idle, it has written whatever those changes gave: the pipe holds it now.
  ASSERT_TRUE(wait_until_idle(c.pid(), patience_));
  EXPECT_TRUE(c.quiet_for(200ms)) << c.out();
  EXPECT_TRUE(c.running());
}

TEST_F(InAJail, ThatInheritsTheHostsAddressesEveryChangeIsALine) {
  Jail jail(Jail::Ip4::Inherit);
  REQUIRE(jail.error());
  Child& c = start_in(jail);
  add_address("198.51.100.5/32", loopback);
  EXPECT_EQ(c.line(patience_), "net changed..0");
  delete_address("198.51.100.5/32", loopback);
  EXPECT_EQ(c.line(patience_), "net changed..1");
  while_stopped(c, {Op::Add, Op::Delete}, 0xC6336405);  // 198.51.100.5 again
  EXPECT_EQ(c.line(patience_), "net changed..2");
  ifconfig("epair create name nc0");
  ifconfig("nc0 inet 198.51.100.1/24");
  EXPECT_EQ(c.line(patience_), "net changed..3");
  ifconfig("nc0 destroy");  // and its address with it
  EXPECT_EQ(c.line(patience_), "net changed..4");
  expect_next_line_is("net changed..5", "203.0.113.1/32");
}

}  // namespace system_tests
