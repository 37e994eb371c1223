// Child processes for tests: pipes, deadlines and reaping.
#include "child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#ifdef __FreeBSD__
#include <sys/procdesc.h>
#else
#include <sys/syscall.h>
#endif
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "descriptor.h"

namespace testing_support {

using emulated::close_fd;

namespace {

// A machine that cannot give a pipe or a process can run no test or
// measure at all.
[[noreturn]] void fail_with_errno(const char* call) {
  std::fprintf(stderr, "%s: %s\n", call, std::strerror(errno));
  std::abort();
}

using Clock = std::chrono::steady_clock;

int ms_until(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

Child::Child(const std::vector<std::string>& argv, const ChildOptions& options) {
  int in[2];
  int out[2];
  int err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 ||
      (options.stdout_socket ? socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, out)
                             : pipe2(out, O_CLOEXEC)) != 0) {
    fail_with_errno("pipe");
  }
  std::vector<char*> args;
  for (const auto& a : argv) {
    args.push_back(const_cast<char*>(a.c_str()));
  }
  args.push_back(nullptr);

  // A descriptor of the child's own, to wait on beside its pipes.
#ifdef __FreeBSD__
  pid_ = pdfork(&pidfd_, 0);
#else
  pid_ = fork();
#endif
  if (pid_ == 0) {
    // Only async-signal-safe calls from here on, bar setenv in a fresh child.
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    // Nothing else of ours or of whoever started us may leak into the child.
#ifdef __FreeBSD__
    close_range(3, ~0U, 0);
#else
    syscall(SYS_close_range, 3u, ~0u, 0u);
#endif
    if (options.close_stdin) {
      close(STDIN_FILENO);
    }
    for (const auto& [name, value] : options.env) {
      setenv(name.c_str(), value.c_str(), 1);
    }
    ::signal(SIGPIPE, SIG_DFL);
    if (options.before_exec) {
      options.before_exec();
    }
    execvp(args[0], args.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  in_ = in[1];
  out_fd_ = out[0];
  err_fd_ = err[0];
  if (pid_ < 0) {
    fail_with_errno("fork");
  }
#ifndef __FreeBSD__
  pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
#endif
  if (pidfd_ < 0) {
    fail_with_errno("pidfd_open");
  }
}

Child::~Child() {
  if (pid_ > 0 && !status_) {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  close_fd(in_);
  close_fd(out_fd_);
  close_fd(err_fd_);
  close_fd(pidfd_);
}

bool Child::pump(Clock::time_point deadline, bool read_output) {
  pollfd fds[3] = {{read_output ? out_fd_ : -1, POLLIN, 0},
                   {read_output ? err_fd_ : -1, POLLIN, 0},
                   {status_ ? -1 : pidfd_, POLLIN, 0}};
  const int ready = poll(fds, 3, ms_until(deadline));
  if (ready < 0 && errno != EINTR) {
    fail_with_errno("poll");
  }
  if (ready <= 0) {
    return Clock::now() < deadline;
  }
  char buf[4096];
  int* fd_of[2] = {&out_fd_, &err_fd_};
  std::string* text_of[2] = {&out_, &err_};
  for (int i = 0; i < 2; ++i) {
    if (fds[i].revents == 0) {
      continue;
    }
    const ssize_t n = read(*fd_of[i], buf, sizeof buf);
    if (n > 0) {
      text_of[i]->append(buf, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      close_fd(*fd_of[i]);
    }
  }
  if (fds[2].revents != 0) {
    int status = 0;
    if (waitpid(pid_, &status, 0) == pid_) {
      status_ = status;
    }
  }
  return true;
}

std::optional<std::string> Child::line(milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const auto nl = out_.find('\n');
    if (nl != std::string::npos) {
      std::string text = out_.substr(0, nl);
      out_.erase(0, nl + 1);
      return text;
    }
    if (out_fd_ < 0 || !pump(deadline)) {
      return std::nullopt;
    }
  }
}

bool Child::quiet_for(milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  const std::size_t before = out_.size();
  while (out_fd_ >= 0 && pump(deadline)) {
    if (out_.size() != before) {
      return false;
    }
  }
  return out_.size() == before;
}

std::optional<int> Child::finish(milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (out_fd_ >= 0 || err_fd_ >= 0 || !status_) {
    if (!pump(deadline)) {
      return std::nullopt;
    }
  }
  return status_;
}

std::optional<int> Child::ended(milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!status_ && pump(deadline, false)) {
  }
  return status_;
}

bool Child::running() { return !ended(milliseconds(0)); }

void Child::send(char byte) {
  if (write(in_, &byte, 1) != 1) {
    fail_with_errno("write to child");
  }
}

void Child::close_stdout() { close_fd(out_fd_); }

void Child::signal(int sig) {
  if (!status_) {
    kill(pid_, sig);
  }
}

int exit_code(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

bool on_path(const std::string& tool) { return !path_of(tool).empty(); }

std::string path_of(const std::string& tool) {
  std::string path;
  if (run({"sh", "-c", "command -v -- \"$0\"", tool}, &path) != 0 || path.empty() ||
      path[0] != '/') {
    return "";
  }
  return path.substr(0, path.find('\n'));
}

int run(const std::vector<std::string>& argv, std::string* output) {
  Child child(argv);
  const auto status = child.finish(std::chrono::seconds(60));
  if (output != nullptr) {
    *output = child.out() + child.err();
  }
  return status ? exit_code(*status) : -1;
}

}  // namespace testing_support
