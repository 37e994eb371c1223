// The benchmark's shared support: watchers, the pump that reads them,
// readings from /proc, and the table.
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "bench.h"

namespace bench {

std::string self;

void die(const std::string& what) {
  std::fprintf(stderr, "bench: %s\n", what.c_str());
  std::exit(1);
}

double start(Watcher& w) {
  w.lines.clear();
  const auto t0 = Clock::now();
  w.child.emplace(w.argv);
  if (!testing_support::wait_until_idle(w.pid(), 30s, 100us)) {
    die(w.name + " never settled");
  }
  return ms(Clock::now() - t0);
}

void stop(Watcher& w) {
  if (w.child) {
    w.child->signal(SIGTERM);
    w.child->finish(10s);
    w.child.reset();
  }
}

bool still_running(Watcher& w) { return w.child && w.child->running(); }

void pump(const std::vector<Watcher*>& ws, Clock::time_point deadline,
          const std::function<bool()>& done) {
  char buf[65536];
  while (!done()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      return;
    }
    std::vector<pollfd> fds;
    for (const Watcher* w : ws) {
      fds.push_back({w->child->stdout_fd(), POLLIN, 0});
    }
    if (poll(fds.data(), fds.size(), static_cast<int>(left)) <= 0) {
      continue;
    }
    const auto stamp = Clock::now();
    for (std::size_t i = 0; i < ws.size(); ++i) {
      const ssize_t n = fds[i].revents != 0 ? read(fds[i].fd, buf, sizeof buf) : 0;
      ws[i]->lines.insert(
          ws[i]->lines.end(),
          static_cast<std::size_t>(std::count(buf, buf + std::max<ssize_t>(n, 0), '\n')), stamp);
    }
  }
}

bool each_has(const std::vector<Watcher*>& ws, const std::vector<std::size_t>& from,
              std::size_t more) {
  for (std::size_t i = 0; i < ws.size(); ++i) {
    if (ws[i]->lines.size() < from[i] + more) {
      return false;
    }
  }
  return true;
}

std::vector<std::size_t> counts(const std::vector<Watcher*>& ws) {
  std::vector<std::size_t> n;
  for (const Watcher* w : ws) {
    n.push_back(w->lines.size());
  }
  return n;
}

long status_field(pid_t pid, const char* key) {
  std::istringstream in(testing_support::read_file("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key, 0) == 0) {
      return std::strtol(line.c_str() + std::strlen(key), nullptr, 10);
    }
  }
  return -1;
}

long cpu_ticks(pid_t pid) {
  const std::string stat = testing_support::read_file("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream rest(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long ticks = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    ticks += i >= 14 ? std::stol(field) : 0;  // utime and stime
  }
  return ticks;
}

long switches(pid_t pid) {
  return status_field(pid, "voluntary_ctxt_switches:") +
         status_field(pid, "nonvoluntary_ctxt_switches:");
}

std::string fmt(int decimals, double a) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, a);
  return buf;
}

double percentile(std::vector<double> v, double q) {
  if (v.empty()) {
    return 0;
  }
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())))];
}

Bench::Bench() : lo(if_nametoindex("lo")), nc0(if_nametoindex("nc0")), nc1(if_nametoindex("nc1")) {}

void Bench::start_all(std::size_t last) {
  for (Watcher* w : watchers) {
    stop(*w);
  }
  for (std::size_t i = 1; i <= watchers.size(); ++i) {
    start(*watchers[(last + i) % watchers.size()]);
  }
}

void Bench::stop_all() {
  for (Watcher* w : watchers) {
    stop(*w);
  }
}

std::vector<double> Bench::one_change(Op op, unsigned ifindex, std::uint32_t address) {
  const auto before = counts(watchers);
  const auto t0 = Clock::now();
  changer.queue(op, ifindex, address, 32);
  changer.send();
  pump(watchers, t0 + 1s, [&] { return each_has(watchers, before, 1); });
  std::vector<double> latency;
  for (std::size_t i = 0; i < watchers.size(); ++i) {
    const auto& lines = watchers[i]->lines;
    latency.push_back(lines.size() > before[i] ? ms(lines[before[i]] - t0) * 1000 : -1);
  }
  return latency;
}

Clock::duration Bench::burst(unsigned ifindex, std::uint32_t from, std::uint32_t addresses) {
  for (std::uint32_t i = 0; i < addresses; ++i) {
    changer.queue(Op::Add, ifindex, from + i, 32);
    changer.queue(Op::Delete, ifindex, from + i, 32);
  }
  const auto t0 = Clock::now();
  changer.send();
  return Clock::now() - t0;
}

std::string Bench::start_up(Watcher& w) {
  std::vector<double> took;
  for (int i = 0; i < 5; ++i) {
    took.push_back(start(w));
    stop(w);
  }
  return fmt(1, percentile(took, 0.5));
}

void Bench::print() const {
  std::printf(
      "| measure | network-change | ip -o monitor address | floor | note |\n"
      "|---|---:|---:|---:|---|\n");
  for (const Row& r : rows) {
    std::printf("| %s |", r.measure.c_str());
    for (std::size_t i = 0; i < 3; ++i) {
      std::printf(" %s |", i < r.values.size() ? r.values[i].c_str() : "");
    }
    std::printf(" %s |\n", r.note.c_str());
  }
}

}  // namespace bench
