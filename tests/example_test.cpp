// The README's script, as a user copies it, run under each shell it names
// in a network stack of the test's own, with the real program and stand-ins
// for systemctl and logger that say what they were asked to do.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "child.h"
#include "machine.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::Child;
using testing_support::ChildOptions;
using testing_support::ip;
using testing_support::read_file;

// The first shell script in text: the lines from one that reads #!/bin/sh
// to the next that reads }, each behind the same indent, without it.
std::string script_in(const std::string& text, const std::string& indent = "") {
  std::istringstream lines(text);
  std::string script;
  bool in_script = false;
  for (std::string line; std::getline(lines, line);) {
    in_script = in_script || line == indent + "#!/bin/sh";
    if (in_script) {
      script += (line.rfind(indent, 0) == 0 ? line.substr(indent.size()) : line) + "\n";
      if (line == indent + "}") {
        return script;
      }
    }
  }
  return "";
}

std::string readme_script() { return script_in(read_file(SOURCE_DIR "/README.md")); }

void write_program(const fs::path& path, const std::string& text) {
  std::ofstream(path) << "#!/bin/sh\n" << text;
  fs::permissions(path, fs::perms::owner_all);
}

// Lines of a file that stand-ins append to; none if it is not there.
std::vector<std::string> lines_of(const fs::path& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

// Whether process pid sleeps in a read of a pipe (anon_pipe_read since
// Linux 6.14), or in a poll for one, as BusyBox's read does.
bool waits_on_a_pipe(pid_t pid) {
  const std::string wchan = read_file("/proc/" + std::to_string(pid) + "/wchan");
  return wchan == "pipe_read" || wchan == "anon_pipe_read" || wchan == "do_sys_poll" ||
         wchan.rfind("poll_schedule_timeout", 0) == 0;
}

class Example : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETNS();
    const std::string shell = GetParam();
    if (shell == "busybox") {
      REQUIRE_TOOL("busybox", "busybox");
    }
    REQUIRE_TOOL("awk", "mawk");
    script_ = readme_script();
    ASSERT_NE(script_, "") << "no #!/bin/sh script in README.md";
    char path[] = "/tmp/network-change-example-XXXXXX";
    ASSERT_NE(mkdtemp(path), nullptr);
    dir_ = path;
    fs::create_directory(dir_ / "bin");
    // What the script calls, where it looks for it: the program itself, and
    // stand-ins that write down each call. The reload makes the tunnel's
    // address anew, a moment after it returns, as a VPN's does.
    fs::create_symlink(NETWORK_CHANGE_BINARY, dir_ / "bin/network-change");
    write_program(dir_ / "bin/systemctl",
                  "echo \"$*\" >>" + (dir_ / "actions").string() +
                      "\nip addr del 198.51.100.99/32 dev tun0\n"
                      "{ sleep 0.1; ip addr add 198.51.100.99/32 dev tun0; } >/dev/null 2>&1 &\n");
    write_program(dir_ / "bin/logger", "echo \"$*\" >>" + (dir_ / "logged").string() + "\n");
    if (shell == "busybox") {
      // As on OpenWrt: BusyBox's shell, ip and awk.
      for (const char* applet : {"ip", "awk", "sleep"}) {
        fs::create_symlink(testing_support::path_of("busybox"), dir_ / "bin" / applet);
      }
      shell_ = {"busybox", "sh"};
    } else {
      shell_ = {shell};
    }
    options_.env = {{"PATH", (dir_ / "bin").string() + ":" + std::getenv("PATH")}};
    ip("link add tun0 type veth peer name tun1");
    ip("addr add 198.51.100.99/32 dev tun0");
    ip("link add nc0 type veth peer name nc1");
  }

  void TearDown() override {
    if (!dir_.empty()) {
      fs::remove_all(dir_);
    }
  }

  Child& run_script() {
    std::vector<std::string> argv = shell_;
    argv.insert(argv.end(), {"-c", script_});
    return child_.emplace(argv, options_);
  }

  // The shell's two parts: the program, and the part that reads its lines.
  void find_parts() {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (program_ < 0 && std::chrono::steady_clock::now() < deadline) {
      const std::vector<pid_t> parts = testing_support::children_of(child_->pid());
      for (std::size_t i = 0; parts.size() == 2 && i < 2; ++i) {
        if (!testing_support::kernel_socket_fds(parts[i]).empty()) {
          program_ = parts[i];
          reader_ = parts[1 - i];
        }
      }
      std::this_thread::sleep_for(2ms);  // nothing to wait on for another process's start
    }
    ASSERT_GT(program_, 0) << "the script's pipeline never started";
  }

  // Whether the script has done all it will do for the changes made so far:
  // the program has taken them in, and the script waits for its next line,
  // with nothing of its own still running.
  bool settled() {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      if (testing_support::wait_until_idle(program_, 10s) && waits_on_a_pipe(reader_) &&
          testing_support::children_of(reader_).empty() &&
          testing_support::wait_until_idle(program_, 10s)) {
        return true;
      }
      std::this_thread::sleep_for(2ms);
    }
    return false;
  }

  std::string script_;
  std::vector<std::string> shell_;
  ChildOptions options_;
  fs::path dir_;
  std::optional<Child> child_;
  pid_t program_ = -1;
  pid_t reader_ = -1;
};

TEST_P(Example, TheScriptActsOncePerChangeThatItDidNotMake) {
  Child& c = run_script();
  find_parts();
  ASSERT_TRUE(settled());
  // Each change brings one reload, although the reload's own changes bring
  // lines too.
  const std::vector<std::string> changes = {"addr add 192.0.2.1/24 dev nc0",
                                            "addr add 203.0.113.1/24 dev nc0",
                                            "addr del 192.0.2.1/24 dev nc0"};
  std::size_t made = 0;
  for (const std::string& change : changes) {
    SCOPED_TRACE(change);
    ip(change);
    ++made;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (lines_of(dir_ / "actions").size() < made &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(2ms);
    }
    ASSERT_TRUE(settled());
    EXPECT_EQ(lines_of(dir_ / "actions"), std::vector<std::string>(made, "reload my-vpn.service"));
  }
  // Made and undone while the script cannot look: two lines, no reload.
  kill(reader_, SIGSTOP);
  ip("addr add 192.0.2.7/24 dev nc1");
  ip("addr del 192.0.2.7/24 dev nc1");
  ASSERT_TRUE(testing_support::wait_until_idle(program_, 10s));
  kill(reader_, SIGCONT);
  ASSERT_TRUE(settled());
  EXPECT_EQ(lines_of(dir_ / "actions").size(), made);

  // When the watch ends the script ends too, with a status that a service
  // manager starts it again for.
  kill(program_, SIGTERM);
  const auto status = c.finish(10s);
  ASSERT_TRUE(status);
  EXPECT_EQ(testing_support::exit_code(*status), 1);  // the shell may say "Terminated"
  EXPECT_TRUE(lines_of(dir_ / "logged").empty());
}

TEST_P(Example, TheScriptTellsTheFailureLineFromAChange) {
  // A stand-in for the program whose watch cannot start.
  fs::remove(dir_ / "bin/network-change");
  write_program(dir_ / "bin/network-change", "echo 'NotifyRouteChange error...24'\nexit 1\n");
  Child& c = run_script();
  const auto status = c.finish(10s);
  ASSERT_TRUE(status);
  EXPECT_EQ(testing_support::exit_code(*status), 1);
  EXPECT_EQ(lines_of(dir_ / "logged"),
            std::vector<std::string>{"-t network-change the watch failed: "
                                     "NotifyRouteChange error...24"});
  EXPECT_TRUE(lines_of(dir_ / "actions").empty());
}

TEST(Examples, TheManualAndTheTarballsReadmesGiveTheSameScript) {
  REQUIRE_TOOL("groff", "groff-base");
  const std::string readme = readme_script();
  ASSERT_NE(readme, "");
  std::string manual;
  ASSERT_EQ(testing_support::run(
                {"groff", "-man", "-Tutf8", "-P-cbou", BUILD_DIR "/network-change.1"}, &manual),
            0);
  EXPECT_EQ(script_in(manual, std::string(11, ' ')), readme);
  EXPECT_EQ(script_in(read_file(SOURCE_DIR "/packaging/README.linux.in"), "    "), readme);

  // On FreeBSD the same, but for how the addresses are read and the reload
  // is made; the manual reads them as that README does.
  std::string freebsd = script_in(read_file(SOURCE_DIR "/packaging/README.freebsd.in"), "    ");
  const auto state = freebsd.find("state() {");
  const auto state_end = freebsd.find("; }\n", state);
  ASSERT_NE(state_end, std::string::npos) << freebsd;
  const std::string freebsd_state = freebsd.substr(state, state_end + 4 - state);
  // In the manual, the same two lines behind its indent.
  const std::string indent(11, ' ');
  const auto manual_state = manual.find(indent + "state() { ifconfig");
  ASSERT_NE(manual_state, std::string::npos);
  const auto second_line = manual.find('\n', manual_state) + 1;
  EXPECT_EQ(
      manual.substr(manual_state + indent.size(), second_line - manual_state - indent.size()) +
          manual.substr(second_line + indent.size(),
                        manual.find('\n', second_line) + 1 - second_line - indent.size()),
      freebsd_state);
  const auto linux_state = readme.find("state() {");
  freebsd.replace(state, freebsd_state.size(),
                  readme.substr(linux_state, readme.find("; }\n", linux_state) + 4 - linux_state));
  const std::string reload = "service my-vpn reload";
  ASSERT_NE(freebsd.find(reload), std::string::npos) << freebsd;
  freebsd.replace(freebsd.find(reload), reload.size(), "systemctl reload my-vpn.service");
  EXPECT_EQ(freebsd, readme);
}

INSTANTIATE_TEST_SUITE_P(Shells, Example, ::testing::Values("dash", "bash", "busybox"));

}  // namespace
