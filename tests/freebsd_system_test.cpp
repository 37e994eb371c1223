// The real program on FreeBSD alone: what the routing socket reports of
// aliases, peers, masks and links, a burst that overflows the socket, and
// jails that share the network stack they are made in, as FreeBSD's
// services are run, where a change is what the jail can see. Each test runs
// in a vnet jail of its own, whose addresses are the host's to the jails
// made in it.
#include <sys/param.h>
#include <sys/jail.h>
#include <net/if.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "system.h"

namespace system_tests {

using testing_support::Jail;
using Op = AddressChanger::Op;

TEST_F(System, AddressesOnInterfacesOfItsOwnAliasesAndPeersAreChanges) {
  ifconfig("epair create name nc0");
  ifconfig("gif create name nc1");
  start();
  for (const char* change : {"nc0 inet 198.51.100.1/24", "nc0 inet 198.51.100.2/24 alias",
                             "nc0 inet 198.51.100.2 -alias",
                             // A point-to-point address, and a new peer for it: the kernel
                             // deletes the address and adds it anew.
                             "nc1 inet 203.0.113.1 203.0.113.2 netmask 255.255.255.255",
                             "nc1 inet 203.0.113.1 203.0.113.3 netmask 255.255.255.255",
                             // So does a new mask.
                             "nc0 inet 198.51.100.1/25",
                             // Interfaces destroyed with their addresses.
                             "nc1 destroy", "nc0 destroy"}) {
    SCOPED_TRACE(change);
    ifconfig(change);
    expect_lines_for_a_change();
  }
}

TEST_F(System, IPv6MtuRenamesAndLinkStateAreNotChanges) {
  ifconfig("epair create name nc0");
  ifconfig("nc0 inet 198.51.100.1/24");
  ifconfig("nc0 inet 198.51.100.2/24 alias");
  start();
  ifconfig("nc0 inet6 2001:db8::1/64 alias");
  ifconfig("nc0 inet6 2001:db8::1 -alias");
  ifconfig("nc0 mtu 9000");
  ifconfig("nc0 name nc9");
  // Up again, the link reports its aliases anew: they are known already.
  ifconfig("nc9 down");
  ifconfig("nc9 up");
  expect_next_line_is("net changed..0", "203.0.113.1/32");
}

TEST_F(System, ABurstThatOverflowsTheSocketIsReportedAndTheWatchGoesOn) {
  ifconfig("epair create name nc0");
  ifconfig("nc0 inet 198.18.0.1/15");
  const unsigned nc0 = if_nametoindex("nc0");
  // Traced, so that the failed read which tells of the overflow is seen.
  char trace[] = "/tmp/network-change-ktrace-XXXXXX";
  const int fd = mkstemp(trace);
  ASSERT_GE(fd, 0);
  close(fd);
  tracer_ = {"ktrace", "-t", "c", "-f", trace};
  Child& c = start();
  // Stopped, it reads nothing while 4,000 changes go by.
  c.signal(SIGSTOP);
  AddressChanger changer;
  for (std::uint32_t i = 2; i < 2002; ++i) {
    changer.queue(AddressChanger::Op::Add, nc0, 0xC6120000 + i, 15);  // 198.18.0.2 on
    changer.queue(AddressChanger::Op::Delete, nc0, 0xC6120000 + i, 15);
  }
  changer.queue(AddressChanger::Op::Add, nc0, 0xC6130001, 15);  // 198.19.0.1 stays
  ASSERT_EQ(changer.send(), 0);
  c.signal(SIGCONT);

  // Every line that comes now is for the burst; at least one must.
  expect_lines_for_a_change();
  EXPECT_TRUE(c.running());
  std::string trace_text;
  ASSERT_EQ(testing_support::run({"kdump", "-f", trace}, &trace_text), 0);
  std::remove(trace);
  EXPECT_NE(trace_text.find("RET   recvmsg -1 errno 55"), std::string::npos)
      << "the burst did not overflow the socket; the test proves nothing";
  expect_next_line_is("net changed.." + std::to_string(lines_), "203.0.113.2/32");
  ++lines_;
  // It still knows the table: the address left is known, so that a link
  // that comes up again and reports it anew (as it does an address that
  // shares the first one's prefix) changes nothing; one the burst took away
  // is not.
  ifconfig("nc0 down");
  ifconfig("nc0 up");
  expect_next_line_is("net changed.." + std::to_string(lines_), "203.0.113.1/32");
  ifconfig("nc0 inet 198.18.0.7/15 alias");
  EXPECT_EQ(c.line(patience_), "net changed.." + std::to_string(lines_ + 1));
}

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
