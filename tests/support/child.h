// Starts a program as a child process with pipes on its standard streams, and
// reads what it writes against deadlines instead of fixed sleeps.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

using std::chrono::milliseconds;

struct ChildOptions {
  std::vector<std::pair<std::string, std::string>> env;  // set in the child, on top of ours
  bool close_stdin = false;                              // start the child with descriptor 0 closed
  bool stdout_socket = false;  // stdout on a socket (AF_UNIX, SOCK_STREAM), not a pipe
  // Called in the child just before it starts argv[0], its standard streams
  // in place and SIGPIPE at its default: limits, a closed stream, a root of
  // its own. Only async-signal-safe calls; return to go on, _exit to fail.
  std::function<void()> before_exec;
};

class Child {
 public:
  // Starts argv[0] (looked up in PATH) with stdout and stderr on pipes (or
  // stdout on a socket), and stdin on a pipe unless closed. Fails the
  // calling test if it cannot.
  Child(const std::vector<std::string>& argv, const ChildOptions& options = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  // Our end of the child's stdout, for a caller that reads it by itself.
  int stdout_fd() const { return out_fd_; }

  // The next whole line from stdout, without its '\n'; nothing if none is
  // complete before the timeout or stdout has closed.
  std::optional<std::string> line(milliseconds timeout);

  // True if stdout stays silent for the whole of the timeout.
  bool quiet_for(milliseconds timeout);

  // Reads stdout and stderr to their end and reaps the child. Returns its
  // wait status, or nothing if it has not ended before the timeout.
  std::optional<int> finish(milliseconds timeout);

  // Waits for the child to end without reading its output. Returns its wait
  // status, or nothing if it has not ended before the timeout.
  std::optional<int> ended(milliseconds timeout);

  // True while the child has not ended.
  bool running();

  void send(char byte);
  void signal(int sig);

  // Closes our end of the child's stdout, as a reader that goes away does.
  void close_stdout();

  // Everything read so far that line() has not handed out, and all of stderr.
  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }

 private:
  // Waits for output (unless told not to read it), or the child's end, until
  // the deadline. Returns false when the deadline has passed.
  bool pump(std::chrono::steady_clock::time_point deadline, bool read_output = true);

  pid_t pid_ = -1;
  int pidfd_ = -1;
  int in_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::optional<int> status_;
  std::string out_;
  std::string err_;
};

// Exit status of a wait status, or -1 if the child did not exit normally.
int exit_code(int status);

// True if a program of that name is on PATH.
bool on_path(const std::string& tool);

// Where on PATH a program of that name is; empty if nowhere.
std::string path_of(const std::string& tool);

// Runs a command to its end and returns its exit status (-1 when it could
// not be run, or did not exit within a minute). Its output goes to *output.
int run(const std::vector<std::string>& argv, std::string* output = nullptr);

}  // namespace testing_support
