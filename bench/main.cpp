// Measures network-change beside `ip -o monitor address` and beside the floor,
// the least a watcher or a table read can do, on the same changes in one run,
// inside a private network namespace. Prints one Markdown table.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "bench.h"
#include "sandbox.h"

using namespace bench;

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "--bare-watcher") {
    return bare_watcher();
  }
  if (mode == "--bare-dump") {
    return bare_dump();
  }
  char path[4096] = {};
  self = readlink("/proc/self/exe", path, sizeof path - 1) > 0 ? path : argv[0];
  const std::string why_not = testing_support::enter_private_netns();
  if (!why_not.empty()) {
    die(why_not);
  }
  signal(SIGPIPE, SIG_IGN);
  if (std::system("ip link add nc0 type veth peer name nc1") != 0) {
    die("could not make a veth pair");
  }
  Bench b;
  const std::vector<std::pair<std::string, std::function<void()>>> groups = {
      {"latency", [&] { b.latency(); }},
      {"idle", [&] { b.idle(); }},
      {"burst", [&] { b.bursts(); }},
      {"scale", [&] { b.stop_all(), b.scale(); }},
      {"churn", [&] { b.churn(1000), b.churn(10000); }},
      {"memory", [&] { b.memory(); }},
  };
  // The groups named on the command line, or all of them.
  for (const auto& [name, run] : groups) {
    if (argc == 1 || std::find(argv + 1, argv + argc, name) != argv + argc) {
      run();
    }
  }
  b.stop_all();
  b.print();
  if (const long refused = b.changer.send(); refused != 0) {
    std::printf("\n%ld change requests were refused by the kernel.\n", refused);
  }
  return 0;
}
