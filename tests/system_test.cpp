// The real program, started as a child process in a network stack of the
// test's own and read through a pipe, as a script at the other end would read
// it. With NETWORK_CHANGE_VALGRIND set, every run goes through valgrind's
// memcheck too.
#include <fcntl.h>
#include <net/if.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "system.h"

namespace system_tests {

TEST_F(System, EachAddressChangeIsANumberedLineReadableAtOnce) {
  Child& c = start({}, true, {"--help", "-x", "eth0"});  // arguments change nothing
  EXPECT_TRUE(c.quiet_for(200ms));                       // nothing at start, nothing while idle
  add_address("192.0.2.1/24", loopback);
  EXPECT_EQ(c.line(patience_), "net changed..0");
  EXPECT_TRUE(c.running());
  delete_address("192.0.2.1/24", loopback);
  EXPECT_EQ(c.line(patience_), "net changed..1");
  EXPECT_TRUE(c.running());
  add_address("198.51.100.7/24", loopback);
  EXPECT_EQ(c.line(patience_), "net changed..2");
}

#ifdef __linux__
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

#endif

#ifdef __FreeBSD__
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
#endif

TEST_F(System, AChangeLineThatCannotBeWrittenEndsTheProgram) {
  // With SIGPIPE ignored (systemd starts services so) once the reader has
  // gone, and on a full disk: no line lost unseen, but status 2 at once.
  ChildOptions reader_gone;
  reader_gone.before_exec = [] { ::signal(SIGPIPE, SIG_IGN); };
  ChildOptions full_disk;
  full_disk.before_exec = [] {
    ::signal(SIGPIPE, SIG_IGN);
    dup2(open("/dev/full", O_WRONLY), STDOUT_FILENO);
  };
  // Where SIGPIPE is not ignored, it ends the program as it always has.
  ChildOptions sigpipe;
  int address = 0;
  for (const ChildOptions* options : {&reader_gone, &full_disk, &sigpipe}) {
    Child& c = start(*options);
    if (options != &full_disk) {
      add_address("192.0.2." + std::to_string(++address) + "/32", loopback);
      EXPECT_EQ(c.line(patience_), "net changed..0");
      c.close_stdout();
    }
    add_address("192.0.2." + std::to_string(++address) + "/32", loopback);
    const auto status = c.finish(patience_);
    ASSERT_TRUE(status);
    if (options == &sigpipe) {
      EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGPIPE) << *status;
    } else {
      EXPECT_EQ(exit_code(*status), 2);
    }
    EXPECT_EQ(c.err(), "");
  }
}

TEST_F(System, ClosedStandardStreamsNeverReceiveTheSocketsNorDoChildren) {
  SKIP_WHERE_QEMU_USER_LACKS(testing_support::QemuUserGap::NetlinkOnCopiedDescriptor);
  // With 0 and 2 closed the first sockets would land on them; with 2 alone,
  // the first would.
  ChildOptions in_and_err;
  in_and_err.close_stdin = true;
  in_and_err.before_exec = [] { close(STDERR_FILENO); };
  ChildOptions err;
  err.before_exec = in_and_err.before_exec;
  int address = 0;
  for (const ChildOptions* options : {&in_and_err, &err}) {
    Child& c = start(*options);
    const auto fds = testing_support::kernel_socket_fds(c.pid());
    // The subscribed socket, and on Linux the one that reads the table.
#ifdef __linux__
    EXPECT_EQ(fds.size(), 2u);
#else
    EXPECT_EQ(fds.size(), 1u);
#endif
    for (const int fd : fds) {
      EXPECT_GT(fd, STDERR_FILENO);
#ifdef __linux__
      // The descriptor's flags, in octal: O_CLOEXEC among them. (The FreeBSD
      // layer's own test sees its flag from inside.)
      const std::string info = testing_support::read_file("/proc/" + std::to_string(c.pid()) +
                                                          "/fdinfo/" + std::to_string(fd));
      const auto flags = info.find("flags:");
      ASSERT_NE(flags, std::string::npos);
      EXPECT_NE(std::stoul(info.substr(flags + 6), nullptr, 8) & O_CLOEXEC, 0u) << info;
#endif
    }
    add_address("192.0.2." + std::to_string(++address) + "/32", loopback);
    EXPECT_EQ(c.line(patience_), "net changed..0");
  }
}

}  // namespace system_tests
