// The real program, started as a child process in a network stack of the
// test's own and read through a pipe, as a script at the other end would read
// it. With NETWORK_CHANGE_VALGRIND set, every run goes through valgrind's
// memcheck too.
#pragma once

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
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "child.h"
#include "machine.h"

namespace system_tests {

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
      REQUIRE_TOOL("valgrind", "valgrind");
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

  // The command that runs the program: itself, or under valgrind or a tracer.
  std::vector<std::string> command() const {
    std::vector<std::string> argv = tracer_;
    if (!valgrind_log_.empty()) {
      argv = {"valgrind",
              valgrind_log_fd_ < 0 ? "--log-file=" + valgrind_log_
                                   : "--log-fd=" + std::to_string(valgrind_log_fd_),
              "--leak-check=full", "--errors-for-leak-kinds=definite"};
    }
    argv.emplace_back(NETWORK_CHANGE_BINARY);
    return argv;
  }

  // Starts the program (or, given argv, whatever runs it) and waits until
  // its watch is in place.
  Child& start(const ChildOptions& options = {}, bool wait_ready = true,
               const std::vector<std::string>& args = {}) {
    std::vector<std::string> argv = command();
    argv.insert(argv.end(), args.begin(), args.end());
    child_.emplace(argv, options);
    if (wait_ready) {
      EXPECT_TRUE(wait_until_idle(child_->pid(), 3 * patience_)) << "the watch never settled";
    }
    return *child_;
  }

  // How soon the program must end once its reader has gone: at once, though
  // valgrind takes its time over the end.
  std::chrono::milliseconds at_once() const { return valgrind_log_.empty() ? 1s : patience_; }

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
  // Where valgrind writes its log when the child opens it there itself, so
  // that valgrind opens no file of its own (-1: valgrind opens the log).
  int valgrind_log_fd_ = -1;
  // How long a step may take before it counts as lost. Under valgrind the
  // program runs tens of times slower, and slower still on an emulated
  // processor whose host is busy.
  std::chrono::milliseconds patience_ = 10s;
};

}  // namespace system_tests
