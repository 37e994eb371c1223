// The program where the system runs out of descriptors or memory for it:
// one failure line, and the exit status that says so. Not run under
// valgrind, which needs descriptors and memory of its own, and where the
// sanitizers are, not the case of memory, whose limit starves their own
// bookkeeping first.
#include <fcntl.h>
#include <net/if.h>
#include <sys/resource.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "system.h"

namespace system_tests {

TEST_F(System, ExhaustedDescriptorsEndWithOneFailureLine) {
  // No descriptor left for the sockets: on Linux one, enough for the first
  // socket but not for the second that reads the table; on FreeBSD, which
  // reads it with sysctl, none.
  const auto files = [](rlim_t max, int spare) {
    return [max, spare] {
      const rlimit limit{max, max};
      setrlimit(RLIMIT_NOFILE, &limit);
      int last = -1;
      for (int fd; spare >= 0 && (fd = open("/dev/null", O_RDONLY)) >= 0;) {
        last = fd;
      }
      for (int i = 0; i < spare; ++i) {
        close(last - i);
      }
    };
  };
  ChildOptions spare_one;
#ifdef __linux__
  spare_one.before_exec = files(64, 1);
#else
  spare_one.before_exec = files(64, 0);
#endif
  // Standard input closed and room for three: the first socket lands on 0,
  // and there is no descriptor above 2 to move it to.
  ChildOptions three;
  three.close_stdin = true;
  three.before_exec = files(3, -1);
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

#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
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
  options.before_exec = [&tight] { setrlimit(RLIMIT_AS, &tight); };
  Child& again = start(options, false);
  ended = again.finish(3 * patience_);
  ASSERT_TRUE(ended);
  EXPECT_EQ(exit_code(*ended), 1);
  EXPECT_EQ(again.out(), "NotifyRouteChange error...12\n");
  EXPECT_EQ(again.err(), "");
}
#endif

}  // namespace system_tests
