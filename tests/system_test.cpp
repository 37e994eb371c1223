// The real program, started as a child process in a network stack of the
// test's own and read through a pipe, as a script at the other end would read
// it. With NETWORK_CHANGE_VALGRIND set, every run goes through valgrind's
// memcheck too. What only one system shows is in LAYER_system_test.cpp.
#include <fcntl.h>
#include <net/if.h>
#include <signal.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

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

TEST_F(System, ChangesMadeWhileItLooksAwayGiveOneLine) {
  // Stopped, it reads nothing while 300 addresses come, then go, then 2,000
  // changes are made (an address added and deleted 1,000 times: as many
  // reports, but for the kernel no table of 2,000 to search at each one).
  // Once it goes on, what was queued gives one line however many reports it
  // holds, and whether or not it overflowed the socket.
  testing_support::add_link("nc0");
  const unsigned nc0 = if_nametoindex("nc0");
  Child& c = start();
  int line = 0;
  int sentinel = 0;
  struct Burst {
    const char* what;
    std::uint32_t addresses;
    bool added;
    bool deleted;
  };
  for (const Burst& b : {Burst{"300 added", 300, true, false},
                         {"300 deleted", 300, false, true},
                         {"2,000 changes", 1000, true, true}}) {
    SCOPED_TRACE(b.what);
    c.signal(SIGSTOP);
    AddressChanger changer;
    for (std::uint32_t i = 0; i < b.addresses; ++i) {
      const std::uint32_t address = 0xC6120001 + i;  // 198.18.0.1 on
      if (b.added) {
        changer.queue(AddressChanger::Op::Add, nc0, address, 32);
      }
      if (b.deleted) {
        changer.queue(AddressChanger::Op::Delete, nc0, address, 32);
      }
    }
    ASSERT_EQ(changer.send(), 0);
    c.signal(SIGCONT);
    EXPECT_EQ(c.line(patience_), "net changed.." + std::to_string(line++));
    expect_next_line_is("net changed.." + std::to_string(line++),
                        "203.0.113." + std::to_string(++sentinel) + "/32");
  }
}

TEST_F(System, AReaderThatGoesEndsTheProgramAtOnce) {
  // A reader that takes the line it wants and goes, as `head -n1` does, or
  // one that goes before any line: the program must not live on until some
  // later change. It ends as that line would have ended it: killed by
  // SIGPIPE, or with status 2 where SIGPIPE is ignored (as systemd starts
  // services). A socket whose peer hangs up is the same.
  struct Reader {
    const char* what;
    bool socket;
    bool ignores_sigpipe;
    bool reads_a_line;
  };
  const Reader readers[] = {{"pipe", false, false, true},
                            {"pipe, SIGPIPE ignored", false, true, true},
                            {"pipe, SIGPIPE ignored, no line", false, true, false},
                            {"socket", true, false, false},
                            {"socket, SIGPIPE ignored", true, true, true}};
  int address = 0;
  for (const Reader& r : readers) {
    SCOPED_TRACE(r.what);
    ChildOptions options;
    options.stdout_socket = r.socket;
    if (r.ignores_sigpipe) {
      options.before_exec = [] { ::signal(SIGPIPE, SIG_IGN); };
    }
    Child& c = start(options);
    if (r.reads_a_line) {
      add_address("192.0.2." + std::to_string(++address) + "/32", loopback);
      EXPECT_EQ(c.line(patience_), "net changed..0");
      ASSERT_TRUE(wait_until_idle(c.pid(), patience_));
    }
    c.close_stdout();
    const auto status = c.finish(at_once());
    ASSERT_TRUE(status) << "still running after its reader has gone";
    if (r.ignores_sigpipe) {
      EXPECT_EQ(exit_code(*status), 2);
    } else {
      EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGPIPE) << *status;
    }
    EXPECT_EQ(c.err(), "");
  }
}

TEST_F(System, AWaitForOneChangeEndsAtThatChange) {
  // The shell waits for every part of a pipeline, this program too.
  std::vector<std::string> argv = {"sh", "-c", "\"$@\" | head -n 1", "sh"};
  for (const std::string& word : command()) {
    argv.push_back(word);
  }
  child_.emplace(argv);
  // The program is the part of the pipeline with a socket to the kernel.
  pid_t program = -1;
  const auto deadline = std::chrono::steady_clock::now() + 3 * patience_;
  while (program < 0 && std::chrono::steady_clock::now() < deadline) {
    for (const pid_t part : testing_support::children_of(child_->pid())) {
      if (!testing_support::kernel_socket_fds(part).empty()) {
        program = part;
      }
    }
    std::this_thread::sleep_for(2ms);  // nothing to wait on for another process's start
  }
  ASSERT_GT(program, 0) << "the program never started";
  ASSERT_TRUE(wait_until_idle(program, 3 * patience_));
  add_address("192.0.2.1/32", loopback);
  EXPECT_EQ(child_->line(patience_), "net changed..0");
  const auto status = child_->finish(at_once());
  ASSERT_TRUE(status) << "the pipeline lives on after its one change";
  EXPECT_EQ(exit_code(*status), 0);
  EXPECT_EQ(child_->err(), "");
}

TEST_F(System, OutputWithNoReaderToLoseNeverEndsIt) {
  // A file and /dev/null have no reader that could go; a full pipe has one
  // that is only slow, or stopped. The line is written when there is room,
  // and the program waits on.
  char path[] = "/tmp/network-change-output-XXXXXX";
  const int file = mkstemp(path);
  ASSERT_GE(file, 0);
  ChildOptions to_file;
  to_file.before_exec = [path] { dup2(open(path, O_WRONLY | O_APPEND), STDOUT_FILENO); };
  ChildOptions to_null;
  to_null.before_exec = [] { dup2(open("/dev/null", O_WRONLY), STDOUT_FILENO); };
  ChildOptions to_full_pipe;
  to_full_pipe.before_exec = [] {
    const int flags = fcntl(STDOUT_FILENO, F_GETFL);
    fcntl(STDOUT_FILENO, F_SETFL, flags | O_NONBLOCK);
    // Whole lines, each written whole or not at all, until it is full.
    static const char filler[] = "filling the pipe up to its last byte, a line at a time......\n";
    while (write(STDOUT_FILENO, filler, sizeof filler - 1) > 0) {
    }
    fcntl(STDOUT_FILENO, F_SETFL, flags);
  };
  int address = 0;
  for (const ChildOptions* options : {&to_file, &to_null, &to_full_pipe}) {
    Child& c = start(*options);
    add_address("192.0.2." + std::to_string(++address) + "/32", loopback);
    if (options == &to_full_pipe) {
      std::optional<std::string> line;
      while ((line = c.line(patience_)) && line->rfind("filling", 0) == 0) {
      }
      EXPECT_EQ(line, "net changed..0");
    }
    ASSERT_TRUE(wait_until_idle(c.pid(), patience_));
    EXPECT_TRUE(c.running());
    add_address("192.0.2." + std::to_string(++address) + "/32", loopback);
    ASSERT_TRUE(wait_until_idle(c.pid(), patience_));
    EXPECT_TRUE(c.running());
    if (options == &to_full_pipe) {
      EXPECT_EQ(c.line(patience_), "net changed..1");
    }
  }
  EXPECT_EQ(testing_support::read_file(path), "net changed..0\nnet changed..1\n");
  close(file);
  std::remove(path);
}

TEST_F(System, AFullDiskEndsItWithStatus2AtTheFirstLine) {
  // A full disk takes no line: the first change ends the program, rather
  // than lose that line and the ones after it without a word.
  ChildOptions full_disk;
  full_disk.before_exec = [] { dup2(open("/dev/full", O_WRONLY), STDOUT_FILENO); };
  Child& c = start(full_disk);
  add_address("192.0.2.1/32", loopback);
  const auto status = c.finish(patience_);
  ASSERT_TRUE(status);
  EXPECT_EQ(exit_code(*status), 2);
  EXPECT_EQ(c.err(), "");
}

TEST_F(System, StandardOutputClosedAtStartEndsItAtOnceWithStatus2) {
  // Its first socket would land on descriptor 1, and is moved above it.
  SKIP_WHERE_QEMU_USER_LACKS(testing_support::QemuUserGap::NetlinkOnCopiedDescriptor);
  // No line can ever be written: it ends as it starts, with no change.
  // valgrind would open its log on the lowest free descriptor, 1 here: it
  // is given one opened above it instead.
  ChildOptions closed;
  const std::string log = valgrind_log_;
  if (!log.empty()) {
    valgrind_log_fd_ = 9;
  }
  closed.before_exec = [log] {
    if (!log.empty()) {
      dup2(open(log.c_str(), O_WRONLY | O_APPEND), 9);
    }
    close(STDOUT_FILENO);
  };
  Child& c = start(closed, false);
  const auto status = c.finish(3 * patience_);
  ASSERT_TRUE(status) << "still running with nowhere to write";
  EXPECT_EQ(exit_code(*status), 2);
  EXPECT_EQ(c.err(), "");
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
    auto fds = testing_support::kernel_socket_fds(c.pid());
    // The subscribed socket, and on Linux the one that reads the table.
#ifdef __linux__
    EXPECT_EQ(fds.size(), 2u);
#else
    EXPECT_EQ(fds.size(), 1u);
#endif
    // And what the wait for a change waits in.
    const auto waits = testing_support::wait_fds(c.pid());
    EXPECT_EQ(waits.size(), 1u);
    fds.insert(fds.end(), waits.begin(), waits.end());
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
