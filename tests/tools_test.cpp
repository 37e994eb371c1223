// The tools that run for long (tools/vm, tools/vm-freebsd, tools/release)
// stop what they started and leave no work folder behind when they are
// stopped, as tools/stoppable, which they all source, makes them do. CI stops
// the tools themselves too, mid-run.
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "child.h"
#include "sandbox.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::Child;
using testing_support::ChildOptions;

// Every process below pid.
std::vector<pid_t> below(pid_t pid) {
  std::vector<pid_t> found;
  for (const pid_t child : testing_support::children_of(pid)) {
    found.push_back(child);
    const auto deeper = below(child);
    found.insert(found.end(), deeper.begin(), deeper.end());
  }
  return found;
}

// True while pid is a process that has not ended (a zombie has).
bool alive(pid_t pid) {
  const std::string stat = testing_support::read_file("/proc/" + std::to_string(pid) + "/stat");
  const auto after_comm = stat.rfind(") ");
  return after_comm != std::string::npos && stat[after_comm + 2] != 'Z';
}

TEST(Tools, AToolThatIsStoppedStopsWhatItStartedAndLeavesNoWorkFolder) {
  for (const int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(strsignal(sig));
    char path[] = "/tmp/network-change-tools-XXXXXX";
    ASSERT_NE(mkdtemp(path), nullptr);
    const fs::path tmp = path;
    // A tool's shape: a work folder its EXIT trap takes away, and a long
    // step, a pipeline with a process below a process.
    const std::string tool =
        "set -euo pipefail\n"
        "work=$(mktemp -d \"$TMPDIR/work.XXXXXX\")\n"
        "trap 'rm -rf \"$work\"' EXIT\n"
        ". '" SOURCE_DIR
        "/tools/stoppable'\n"
        "step() { sh -c 'sleep 1000' | cat; }\n"
        "stoppable step\n"
        "echo 'the step ended by itself'\n";
    ChildOptions options;
    options.env = {{"TMPDIR", tmp.string()}};
    Child c({"bash", "-c", tool}, options);
    // Running once the step's sleep is.
    std::vector<pid_t> started;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      started = below(c.pid());
      if (started.size() >= 4) {  // the step, sh, sleep and cat
        break;
      }
      std::this_thread::sleep_for(2ms);  // nothing to wait on for another process's start
    }
    ASSERT_GE(started.size(), 4u);
    ASSERT_FALSE(fs::is_empty(tmp));
    c.signal(sig);
    const auto status = c.finish(5s);
    ASSERT_TRUE(status) << "still running after " << strsignal(sig);
    EXPECT_EQ(testing_support::exit_code(*status), 128 + sig);
    EXPECT_EQ(c.out(), "");
    EXPECT_TRUE(fs::is_empty(tmp)) << "a work folder is left behind";
    for (const pid_t p : started) {
      const auto gone_by = std::chrono::steady_clock::now() + 5s;
      while (alive(p) && std::chrono::steady_clock::now() < gone_by) {
        std::this_thread::sleep_for(2ms);
      }
      EXPECT_FALSE(alive(p)) << "process " << p << " runs on";
    }
    fs::remove_all(tmp);
  }
}

}  // namespace
