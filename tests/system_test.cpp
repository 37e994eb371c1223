// The real program, started as a child process in a network stack of the
// test's own and read through a pipe, as a script at the other end would read
// it. With NETWORK_CHANGE_VALGRIND set, every run goes through valgrind's
// memcheck too.
#include <fcntl.h>
#include <net/if.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "child.h"
#include "netns.h"

namespace {

using namespace std::chrono_literals;
using testing_support::add_address;
using testing_support::AddressChanger;
using testing_support::Child;
using testing_support::ChildOptions;
using testing_support::delete_address;
using testing_support::exit_code;
using testing_support::loopback;
using testing_support::wait_until_idle;
#ifdef __linux__
using testing_support::ip;
#else
using testing_support::ifconfig;
#endif

class System : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETNS();
    if (std::getenv("NETWORK_CHANGE_VALGRIND") != nullptr) {
      REQUIRE_TOOL("valgrind");
      char path[] = "/tmp/network-change-valgrind-XXXXXX";
      const int fd = mkstemp(path);
      ASSERT_GE(fd, 0);
      close(fd);
      valgrind_log_ = path;
      patience_ = 120s;
    }
  }

  void TearDown() override {
    if (child_) {
      child_->signal(SIGTERM);
      child_->finish(3 * patience_);
      EXPECT_EQ(child_->err(), "");
    }
    if (!valgrind_log_.empty()) {
      std::ifstream in(valgrind_log_);
      std::stringstream log;
      log << in.rdbuf();
      if (child_) {
        EXPECT_NE(log.str().find("ERROR SUMMARY: 0 errors"), std::string::npos) << log.str();
      }
      std::remove(valgrind_log_.c_str());
    }
  }

  // Starts the program and waits until its watch is in place.
  Child& start(const ChildOptions& options = {}, bool wait_ready = true,
               const std::vector<std::string>& args = {}) {
    std::vector<std::string> argv = tracer_;
    if (!valgrind_log_.empty()) {
      argv = {"valgrind", "--log-file=" + valgrind_log_, "--leak-check=full",
              "--errors-for-leak-kinds=definite"};
    }
    argv.emplace_back(NETWORK_CHANGE_BINARY);
    argv.insert(argv.end(), args.begin(), args.end());
    child_.emplace(argv, options);
    if (wait_ready) {
      EXPECT_TRUE(wait_until_idle(child_->pid(), 3 * patience_)) << "the watch never settled";
    }
    return *child_;
  }

  // After changes that must not count: once the program has taken them all
  // in, one address more must give exactly the next number.
  void expect_next_line_is(const std::string& line, const std::string& sentinel) {
    ASSERT_TRUE(wait_until_idle(child_->pid(), patience_));
    // Idle, it has written whatever those changes gave: the pipe holds it now.
    EXPECT_TRUE(child_->quiet_for(100ms)) << child_->out();
    add_address(sentinel, loopback);
    EXPECT_EQ(child_->line(patience_), line);
  }

  // Each line the program writes for what was just done: one at least, and
  // more if it read the changes at more than one wake-up. Each carries the
  // next number.
  void expect_lines_for_a_change() {
    EXPECT_EQ(child_->line(patience_), "net changed.." + std::to_string(lines_++));
    ASSERT_TRUE(wait_until_idle(child_->pid(), patience_));
    while (const auto line = child_->line(0ms)) {
      EXPECT_EQ(*line, "net changed.." + std::to_string(lines_++));
    }
  }

  std::optional<Child> child_;
  std::vector<std::string> tracer_;  // a command the program is started under
  int lines_ = 0;                    // lines seen by expect_lines_for_a_change
  std::string valgrind_log_;
  // How long a step may take before it counts as lost. Under valgrind the
  // program runs tens of times slower, and slower still on an emulated
  // processor whose host is busy.
  std::chrono::milliseconds patience_ = 10s;
};

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
TEST_F(System, RefreshesIPv6AndLinkStateAreNotChanges) {
  ip("link add nc0 type veth peer name nc1");
  ip("addr add 192.0.2.1/24 dev nc0 valid_lft 100 preferred_lft 100");
  start();
  ip("addr change 192.0.2.1/24 dev nc0 valid_lft 300 preferred_lft 200");
  ip("addr replace 192.0.2.1/24 dev nc0 valid_lft forever preferred_lft forever");
  ip("link set nc0 up");
  ip("link set nc1 up");
  ip("-6 addr add 2001:db8::1/64 dev nc0 nodad");
  ip("-6 addr del 2001:db8::1/64 dev nc0");
  ip("link set nc0 down");
  expect_next_line_is("net changed..0", "203.0.113.1/24");
}

TEST_F(System, ABurstThatOverflowsTheSocketIsReportedAndTheWatchGoesOn) {
  ip("link add nc0 type veth peer name nc1");
  Child& c = start();
  // Stopped, it reads nothing while 10,000 changes go by.
  c.signal(SIGSTOP);
  char path[] = "/tmp/network-change-batch-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  std::string batch;
  for (int i = 0; i < 5000; ++i) {
    const std::string addr =
        "198.18." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1) + "/32";
    batch += "addr add " + addr + " dev nc0\naddr del " + addr + " dev nc0\n";
  }
  batch += "addr add 198.19.0.1/32 dev nc0\n";  // the last change leaves one address
  ASSERT_EQ(write(fd, batch.data(), batch.size()), static_cast<ssize_t>(batch.size()));
  close(fd);
  ip(std::string("-batch ") + path);
  std::remove(path);
  ASSERT_GT(testing_support::netlink_drops_of(c.pid()), 0u)
      << "the burst did not overflow the socket; the test proves nothing";
  c.signal(SIGCONT);

  // Every line that comes now is for the burst; at least one must.
  EXPECT_EQ(c.line(patience_), "net changed..0");
  ASSERT_TRUE(wait_until_idle(c.pid(), patience_));
  EXPECT_TRUE(c.running());
  int lines = 1;
  while (c.line(0ms)) {
    ++lines;
  }
  // It still knows the table: the one address left is known, and so a
  // refresh of it is no change.
  ip("addr replace 198.19.0.1/32 dev nc0");
  expect_next_line_is("net changed.." + std::to_string(lines), "203.0.113.1/32");
}

#endif

// Not run under valgrind, which needs descriptors of its own to start.
TEST_F(System, ExhaustedDescriptorsEndWithOneFailureLine) {
  // No descriptor left for the sockets: on Linux one, enough for the first
  // socket but not for the second that reads the table; on FreeBSD, which
  // reads it with sysctl, none.
  ChildOptions spare_one;
  spare_one.max_files = 64;
#ifdef __linux__
  spare_one.spare_files = 1;
#else
  spare_one.spare_files = 0;
#endif
  // Standard input closed and room for three: the first socket lands on 0,
  // and there is no descriptor above 2 to move it to.
  ChildOptions three;
  three.close_stdin = true;
  three.max_files = 3;
  const auto ends_with_the_failure_line = [this](const ChildOptions& options) {
    Child& c = start(options, false);
    const auto status = c.finish(3 * patience_);
    ASSERT_TRUE(status);
    EXPECT_EQ(exit_code(*status), 1);
    EXPECT_EQ(c.out(), "NotifyRouteChange error...24\n");
    EXPECT_EQ(c.err(), "");
  };
  ends_with_the_failure_line(spare_one);
#ifndef __SANITIZE_ADDRESS__
  // AddressSanitizer's start-up itself loops for ever when it cannot reserve
  // descriptors above the standard ones.
  SKIP_WHERE_QEMU_USER_LACKS(testing_support::QemuUserGap::DescriptorsToStart);
  ends_with_the_failure_line(three);
#endif
}

#ifdef __linux__
// Not run under valgrind or the sanitizers, whose own bookkeeping a limit on
// the address space would starve first.
TEST_F(System, RunningOutOfMemoryEndsWithOneFailureLine) {
  SKIP_WHERE_QEMU_USER_LACKS(testing_support::QemuUserGap::AddressSpaceLimit);
  // Thousands of addresses, spread over links so that the kernel adds them
  // quickly: a table that needs far more room than half a megabyte.
  AddressChanger changer;
  for (unsigned link = 0; link < 16; ++link) {
    ip("link add nc" + std::to_string(link) + " type veth peer name nd" + std::to_string(link));
  }
  const auto add_all = [&changer] {
    for (std::uint32_t i = 0; i < 32000; ++i) {
      const std::string link = "nc" + std::to_string(i % 16);
      changer.queue(AddressChanger::Op::Add, if_nametoindex(link.c_str()), 0xC6120000 + i, 32);
    }
    ASSERT_EQ(changer.send(), 0);
  };

  // The limit comes once the program watches, and the table outgrows it.
  Child& c = start();
  std::istringstream status(
      testing_support::read_file("/proc/" + std::to_string(c.pid()) + "/status"));
  long vm_size_kib = 0;
  for (std::string key; status >> key && key != "VmSize:";) {
  }
  status >> vm_size_kib;
  ASSERT_GT(vm_size_kib, 0);
  const long limit = (vm_size_kib + 512) * 1024;
  const rlimit tight{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
  ASSERT_EQ(prlimit(c.pid(), RLIMIT_AS, &tight, nullptr), 0);
  ip("addr add 192.0.2.1/24 dev lo");
  EXPECT_EQ(c.line(patience_), "net changed..0");
  add_all();
  auto ended = c.finish(3 * patience_);
  ASSERT_TRUE(ended);
  EXPECT_EQ(exit_code(*ended), 1);
  // Lines for what it could take in, then the failure line, once.
  const std::string failure = "NotifyRouteChange error...12\n";
  const std::string& out = c.out();
  ASSERT_GE(out.size(), failure.size());
  EXPECT_EQ(out.substr(out.size() - failure.size()), failure);
  std::istringstream lines(out.substr(0, out.size() - failure.size()));
  for (std::string line; std::getline(lines, line);) {
    ASSERT_EQ(line.rfind("net changed..", 0), 0u) << line;
  }
  EXPECT_EQ(c.err(), "");

  // Started under the same limit with the table already there.
  ChildOptions options;
  options.max_memory = limit;
  Child& again = start(options, false);
  ended = again.finish(3 * patience_);
  ASSERT_TRUE(ended);
  EXPECT_EQ(exit_code(*ended), 1);
  EXPECT_EQ(again.out(), "NotifyRouteChange error...12\n");
  EXPECT_EQ(again.err(), "");
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
  reader_gone.ignore_sigpipe = true;
  ChildOptions full_disk = reader_gone;
  full_disk.stdout_path = "/dev/full";
  // Where SIGPIPE is not ignored, it ends the program as it always has.
  ChildOptions sigpipe;
  int address = 0;
  for (const ChildOptions* options : {&reader_gone, &full_disk, &sigpipe}) {
    Child& c = start(*options);
    if (options->stdout_path.empty()) {
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
  in_and_err.close_stderr = true;
  ChildOptions err;
  err.close_stderr = true;
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

}  // namespace
