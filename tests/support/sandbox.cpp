// What the sandbox has the same on every system.
#include "sandbox.h"

#include <sys/types.h>
#include <sys/socket.h>
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "descriptor.h"

namespace testing_support {

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::uint32_t ipv4(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

void make_sbin_reachable() {
  const char* path = std::getenv("PATH");
  std::string value = path != nullptr ? path : "/usr/bin:/bin";
  value += ":/usr/sbin:/sbin";
  setenv("PATH", value.c_str(), 1);
}

bool wait_until_idle(pid_t pid, std::chrono::milliseconds timeout,
                     std::chrono::microseconds period) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  // Seen asleep in the wait on both sides of empty queues: whatever woke it
  // in between has been taken in and dealt with.
  while (!(asleep_in_the_wait(pid) && drained(pid) && asleep_in_the_wait(pid))) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    // There is nothing to wait on for another process's state; look again soon.
    std::this_thread::sleep_for(period);
  }
  return true;
}

AddressChanger::~AddressChanger() { emulated::close_fd(fd_); }

bool in_ci() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::strcmp(ci, "true") == 0;
}

}  // namespace testing_support
