// What the benchmark's groups of rows share: the watchers, started as child
// processes and read with a stamp at each wake-up, readings from /proc, and
// the table the rows make.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "child.h"
#include "sandbox.h"

namespace bench {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using testing_support::AddressChanger;
using Op = AddressChanger::Op;

[[noreturn]] void die(const std::string& what);

inline double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The floor: two modes of this program, started as the watchers are. One
// recv and one write per datagram, no table; and a dump of the table read
// and thrown away, then a wait as a watcher's.
int bare_watcher();
int bare_dump();

extern std::string self;  // this program, for the floor

struct Watcher {
  Watcher(std::string n, std::vector<std::string> a) : name(std::move(n)), argv(std::move(a)) {}
  std::string name;
  std::vector<std::string> argv;
  std::optional<testing_support::Child> child;
  std::vector<Clock::time_point> lines;
  pid_t pid() const { return child->pid(); }
};

// Starts the watcher and waits until it is blocked waiting for changes, with
// its table read. Returns how long that took, in ms.
double start(Watcher& w);
void stop(Watcher& w);
bool still_running(Watcher& w);

// Reads what the watchers write until done() holds or the deadline passes.
// Every line completed at one wake-up gets that wake-up's stamp, so no
// watcher gains from the order in which they are read.
void pump(
    const std::vector<Watcher*>& ws, Clock::time_point deadline,
    const std::function<bool()>& done = [] { return false; });

// Whether each watcher has more lines than from holds for it.
bool each_has(const std::vector<Watcher*>& ws, const std::vector<std::size_t>& from,
              std::size_t more);
// Each watcher's count of lines.
std::vector<std::size_t> counts(const std::vector<Watcher*>& ws);

// /proc readings.
long status_field(pid_t pid, const char* key);
long cpu_ticks(pid_t pid);
long switches(pid_t pid);

struct Row {
  std::string measure;
  std::vector<std::string> values;  // network-change, ip monitor, floor
  std::string note;
};

std::string fmt(int decimals, double a);
double percentile(std::vector<double> v, double q);

// One value per watcher.
template <typename F>
std::vector<std::string> each(const std::vector<Watcher*>& ws, F f) {
  std::vector<std::string> values;
  for (Watcher* w : ws) {
    values.push_back(f(*w));
  }
  return values;
}

constexpr std::uint32_t bench_base = 0xC6120000;   // 198.18.0.0/15
constexpr std::uint32_t doc_address = 0xC0000201;  // 192.0.2.1
constexpr std::uint32_t test_net_3 = 0xCB007101;   // 203.0.113.1

struct Bench {
  Watcher ours{"network-change", {NETWORK_CHANGE_BINARY}};
  Watcher ip{"ip monitor", {"ip", "-o", "monitor", "address"}};
  Watcher floor{"bare watcher", {self, "--bare-watcher"}};
  Watcher dump{"bare dump", {self, "--bare-dump"}};
  std::vector<Watcher*> watchers{&ours, &ip, &floor};
  AddressChanger changer;
  unsigned lo;
  unsigned nc0;
  unsigned nc1;
  std::vector<Row> rows;

  Bench();

  // The kernel tells the socket subscribed last first: each watcher is
  // started last in turn.
  void start_all(std::size_t last);
  void stop_all();
  // Makes one change and waits for a line from every watcher; returns each
  // one's latency in µs (negative where none came within a second).
  std::vector<double> one_change(Op op, unsigned ifindex, std::uint32_t address);
  // Addresses added and deleted on the link, 10,000 changes unless told
  // otherwise, sent as fast as the kernel takes them.
  Clock::duration burst(unsigned ifindex, std::uint32_t from, std::uint32_t addresses = 5000);
  // Start-up: started alone, five times; the median, in ms.
  std::string start_up(Watcher& w);
  void print() const;

  // The groups of rows, a file each.
  void latency();
  void idle();
  void bursts();
  void scale();
  // 50,000 addresses on nc0, and one address on lo added and deleted at a
  // steady rate all the while, so that every read of the table is marked
  // interrupted.
  void churn(int rate);
  // After the churn: 1,000 refreshes give no line, and one address more one.
  void exact_after_churn(const std::string& label);
  // RSS after 10 changes and after 100,000 more, on an empty table.
  void memory();
};

}  // namespace bench
