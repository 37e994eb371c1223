// Churn: a table that keeps changing while it is read, and an overflow under
// it.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>

#include "bench.h"

namespace bench {

namespace {

// One address on lo added and deleted at a steady rate, from a thread of its
// own, for as long as this lives.
class Churner {
 public:
  Churner(unsigned ifindex, int rate) : thread_([this, ifindex, rate] { run(ifindex, rate); }) {}
  ~Churner() { stop(); }
  Churner(const Churner&) = delete;
  Churner& operator=(const Churner&) = delete;

  // Stops it; returns the changes made per second.
  double stop() {
    if (thread_.joinable()) {
      over_ = true;
      thread_.join();
    }
    return static_cast<double>(made_) / (ms(Clock::now() - start_) / 1000);
  }

 private:
  void run(unsigned ifindex, int rate) {
    AddressChanger own;
    const int per_ms = std::max(1, rate / 1000);
    for (auto tick = Clock::now(); !over_; tick += 1ms) {
      for (int i = 0; i < per_ms; ++i, ++made_) {
        own.queue(made_ % 2 == 0 ? Op::Add : Op::Delete, ifindex, doc_address + 1, 32);
      }
      own.send();
      std::this_thread::sleep_until(tick + 1ms);
    }
    if (made_ % 2 == 1) {
      own.queue(Op::Delete, ifindex, doc_address + 1, 32);
      own.send();
    }
  }

  const Clock::time_point start_ = Clock::now();
  std::atomic<bool> over_{false};
  std::atomic<long> made_{0};
  std::thread thread_;
};

}  // namespace

void Bench::churn(int rate) {
  const std::string label = "churn " + std::to_string(rate) + "/s: ";
  const char* target = rate == 1000 ? "target under 200 ms" : "target under 1000 ms";
  Churner churner(lo, rate);
  std::this_thread::sleep_for(100ms);
  Watcher& w = ours;
  const auto t0 = Clock::now();
  w.lines.clear();
  w.child.emplace(w.argv);
  // A change made while the table is read gives a line once it is read.
  pump({&w}, t0 + 10s, [&] { return !w.lines.empty(); });
  rows.push_back({label + "start until watching, 50,000 addresses (ms)",
                  {w.lines.empty() ? "never" : fmt(1, ms(w.lines[0] - t0))},
                  target});

  // Stopped while 10,000 changes go by, its socket overflows for sure; the
  // clock starts when it may run again.
  pump({&w}, Clock::now() + 50ms);
  kill(w.pid(), SIGSTOP);
  burst(nc1, bench_base + 0x10000);
  const auto drops = testing_support::netlink_drops_of(w.pid());
  const std::size_t before = w.lines.size();
  const auto resumed = Clock::now();
  kill(w.pid(), SIGCONT);
  pump({&w}, resumed + 10s, [&] { return w.lines.size() > before; });
  rows.push_back({label + "burst that overflows the socket to its line (ms)",
                  {w.lines.size() > before ? fmt(1, ms(w.lines[before] - resumed)) : "never"},
                  std::to_string(drops) + " reports dropped; " + target});
  rows.push_back({label + "changes made at (per s)", {fmt(0, churner.stop())}, ""});
  exact_after_churn(label);
}

void Bench::exact_after_churn(const std::string& label) {
  // Once the churn is over the table must be exact: refreshing addresses
  // that were there all along gives no line, and the next address one.
  Watcher& w = ours;
  testing_support::wait_until_idle(w.pid(), 10s);
  pump({&w}, Clock::now() + 100ms);
  const std::size_t settled = w.lines.size();
  for (std::uint32_t i = 0; i < 50000; i += 50) {
    changer.queue(Op::Refresh, nc0, bench_base + i, 32);
    if (i % 5000 == 4950) {
      changer.send();
      testing_support::wait_until_idle(w.pid(), 10s);
    }
  }
  changer.queue(Op::Add, lo, test_net_3 + 1, 32);
  changer.send();
  pump({&w}, Clock::now() + 2s, [&] { return w.lines.size() > settled; });
  pump({&w}, Clock::now() + 100ms);
  rows.push_back({label + "afterwards, lines for 1,000 refreshes and then one new address",
                  {std::to_string(w.lines.size() - settled)},
                  "target 1: the table is exact"});
  changer.queue(Op::Delete, lo, test_net_3 + 1, 32);
  changer.send();
  stop(w);
}

}  // namespace bench
