// Measures network-change beside `ip -o monitor address` on the same changes,
// in one run, inside a private network namespace: latency, idle cost, bursts,
// scale and memory over time. Prints one Markdown table on standard output.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "sandbox.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "bench: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// ---------------------------------------------------------------------------
// Watchers: child processes whose stdout we read, stamping each line.

struct Watcher {
  std::string name;
  pid_t pid = -1;
  int out = -1;
  std::vector<Clock::time_point> lines;  // when each complete line was read
};

void start(Watcher& w, const std::vector<std::string>& argv) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    die("pipe");
  }
  std::vector<char*> args;
  for (const auto& a : argv) {
    args.push_back(const_cast<char*>(a.c_str()));
  }
  args.push_back(nullptr);
  w.lines.clear();
  w.pid = fork();
  if (w.pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    const int null = open("/dev/null", O_RDWR);
    dup2(null, STDIN_FILENO);
    dup2(null, STDERR_FILENO);
    syscall(SYS_close_range, 3u, ~0u, 0u);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(fds[1]);
  w.out = fds[0];
}

void stop(Watcher& w) {
  if (w.pid > 0) {
    kill(w.pid, SIGTERM);
    waitpid(w.pid, nullptr, 0);
  }
  if (w.out >= 0) {
    close(w.out);
  }
  w.pid = -1;
  w.out = -1;
}

bool still_running(const Watcher& w) {
  int status = 0;
  return w.pid > 0 && waitpid(w.pid, &status, WNOHANG) == 0;
}

// Reads what the watchers write until done() holds or the deadline passes.
// Every line completed at one wake-up gets that wake-up's stamp, so neither
// watcher gains from the order in which they are read.
void pump(
    const std::vector<Watcher*>& ws, Clock::time_point deadline,
    const std::function<bool()>& done = [] { return false; }) {
  char buf[65536];
  while (!done()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      return;
    }
    std::vector<pollfd> fds;
    for (const Watcher* w : ws) {
      fds.push_back({w->out, POLLIN, 0});
    }
    if (poll(fds.data(), fds.size(), static_cast<int>(left)) <= 0) {
      continue;
    }
    const auto stamp = Clock::now();
    for (std::size_t i = 0; i < ws.size(); ++i) {
      if ((fds[i].revents & (POLLIN | POLLHUP)) == 0) {
        continue;
      }
      const ssize_t n = read(ws[i]->out, buf, sizeof buf);
      for (ssize_t j = 0; j < n; ++j) {
        if (buf[j] == '\n') {
          ws[i]->lines.push_back(stamp);
        }
      }
    }
  }
}

bool has_lines(const std::vector<Watcher*>& ws, std::size_t n) {
  return std::all_of(ws.begin(), ws.end(), [n](const Watcher* w) { return w->lines.size() >= n; });
}

// ---------------------------------------------------------------------------
// /proc readings.

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
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) {
      utime = std::stol(field);
    } else if (i == 15) {
      stime = std::stol(field);
    }
  }
  return utime + stime;
}

long switches(pid_t pid) {
  return status_field(pid, "voluntary_ctxt_switches:") +
         status_field(pid, "nonvoluntary_ctxt_switches:");
}

// Address changes go straight over rtnetlink: no process start per change,
// and a burst goes out in a few large datagrams without waiting for acks.
using Op = testing_support::AddressChanger::Op;

// One address added and deleted over and over at a steady rate, from a thread
// with a socket of its own, until the object goes.
class Churn {
 public:
  Churn(unsigned ifindex, std::uint32_t address, int per_second)
      : thread_([this, ifindex, address, per_second] { run(ifindex, address, per_second); }) {}
  ~Churn() {
    stop_ = true;
    thread_.join();
  }
  // Changes made so far, and the rate they came at.
  long changes() const { return changes_; }
  double per_second() const {
    return static_cast<double>(changes_) / (ms(Clock::now() - start_) / 1000);
  }

 private:
  void run(unsigned ifindex, std::uint32_t address, int per_second) {
    testing_support::AddressChanger changer;
    // Every millisecond, as many changes as the rate asks for.
    const int per_ms = std::max(1, per_second / 1000);
    bool present = false;
    for (auto tick = Clock::now(); !stop_; tick += 1ms) {
      for (int i = 0; i < per_ms; ++i, present = !present) {
        changer.queue(present ? Op::Delete : Op::Add, ifindex, address, 32);
      }
      changer.send();
      changes_ += per_ms;
      std::this_thread::sleep_until(tick + 1ms);
    }
    if (present) {
      changer.queue(Op::Delete, ifindex, address, 32);
      changer.send();
    }
  }

  std::atomic<bool> stop_{false};
  std::atomic<long> changes_{0};
  const Clock::time_point start_ = Clock::now();
  std::thread thread_;
};

constexpr std::uint32_t bench_base = 0xC6120000;   // 198.18.0.0/15
constexpr std::uint32_t doc_address = 0xC0000201;  // 192.0.2.1
constexpr std::uint32_t test_net_3 = 0xCB007101;   // 203.0.113.1

void run_ip(const std::string& args) {
  if (std::system(("ip " + args + " >/dev/null 2>&1").c_str()) != 0) {
    std::fprintf(stderr, "bench: ip %s failed\n", args.c_str());
    std::exit(1);
  }
}

// ---------------------------------------------------------------------------

struct Pair {
  Watcher ours = named("network-change");
  Watcher ip = named("ip monitor");

  static Watcher named(const char* name) {
    Watcher w;
    w.name = name;
    return w;
  }
  std::vector<Watcher*> both() { return {&ours, &ip}; }

  // Starts both and waits until each is blocked waiting for changes.
  // Returns how long each took to get there.
  // The kernel hands a notification to the most recently subscribed socket
  // first, so the order of starting matters; ip_first swaps it.
  std::pair<double, double> start_both(bool ip_first = false) {
    ours.lines.clear();
    ip.lines.clear();
    double took_ours = 0;
    double took_ip = 0;
    for (int i = 0; i < 2; ++i) {
      const auto t0 = Clock::now();
      if ((i == 0) != ip_first) {
        start(ours, {NETWORK_CHANGE_BINARY});
        ready(ours);
        took_ours = ms(Clock::now() - t0);
      } else {
        start(ip, {"ip", "-o", "monitor", "address"});
        ready(ip);
        took_ip = ms(Clock::now() - t0);
      }
    }
    return {took_ours, took_ip};
  }

  static void ready(const Watcher& w) {
    if (!testing_support::wait_until_idle(w.pid, 30s)) {
      std::fprintf(stderr, "bench: %s never settled\n", w.name.c_str());
      std::exit(1);
    }
  }

  void stop_both() {
    stop(ours);
    stop(ip);
  }
};

struct Percentiles {
  double p50, p90, p99, max;
};

Percentiles percentiles(std::vector<double> v) {
  if (v.empty()) {
    return {0, 0, 0, 0};
  }
  std::sort(v.begin(), v.end());
  auto at = [&](double q) {
    return v[std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())))];
  };
  return {at(0.50), at(0.90), at(0.99), v.back()};
}

// A number with the given count of decimals.
std::string fmt(int decimals, double a) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, a);
  return buf;
}

struct Row {
  std::string measure, ours, ip, note;
};

}  // namespace

int main() {
  const std::string why_not = testing_support::enter_private_netns();
  if (!why_not.empty()) {
    std::fprintf(stderr, "bench: %s\n", why_not.c_str());
    return 1;
  }
  setenv("PATH",
         (std::string(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin") +
          ":/usr/sbin:/sbin")
             .c_str(),
         1);
  signal(SIGPIPE, SIG_IGN);
  run_ip("link add nc0 type veth peer name nc1");
  const unsigned nc0 = if_nametoindex("nc0");
  const unsigned nc1 = if_nametoindex("nc1");
  const unsigned lo = if_nametoindex("lo");
  testing_support::AddressChanger changer;
  std::vector<Row> rows;

  // Latency: one address added and deleted, a few milliseconds apart.
  // Half the changes with each watcher subscribed last, and so told first.
  Pair pair;
  constexpr int latency_changes = 1000;
  std::vector<double> lat_ours, lat_ip;
  long missed_ours = 0, missed_ip = 0;
  for (int i = 0; i < latency_changes; ++i) {
    if (i % (latency_changes / 2) == 0) {
      pair.stop_both();
      pair.start_both(i != 0);
    }
    const std::size_t before_ours = pair.ours.lines.size();
    const std::size_t before_ip = pair.ip.lines.size();
    const auto t0 = Clock::now();
    changer.queue(i % 2 == 0 ? Op::Add : Op::Delete, lo, doc_address, 24);
    changer.send();
    pump(pair.both(), t0 + 1s,
         [&] { return pair.ours.lines.size() > before_ours && pair.ip.lines.size() > before_ip; });
    if (pair.ours.lines.size() > before_ours) {
      lat_ours.push_back(ms(pair.ours.lines[before_ours] - t0) * 1000.0);
    } else {
      ++missed_ours;
    }
    if (pair.ip.lines.size() > before_ip) {
      lat_ip.push_back(ms(pair.ip.lines[before_ip] - t0) * 1000.0);
    } else {
      ++missed_ip;
    }
    pump(pair.both(), Clock::now() + 3ms);
  }
  const Percentiles po = percentiles(lat_ours), pi = percentiles(lat_ip);
  const std::pair<const char*, double Percentiles::*> cuts[] = {{"p50", &Percentiles::p50},
                                                                {"p90", &Percentiles::p90},
                                                                {"p99", &Percentiles::p99},
                                                                {"max", &Percentiles::max}};
  for (const auto& [name, field] : cuts) {
    rows.push_back(
        {std::string("latency ") + name + " (µs, " + std::to_string(latency_changes) + " changes)",
         fmt(0, po.*field), fmt(0, pi.*field), "ours / ip = " + fmt(2, po.*field / pi.*field)});
  }
  rows.push_back({"changes without a line within 1 s", std::to_string(missed_ours),
                  std::to_string(missed_ip), ""});

  // Idle cost: ten seconds without a change.
  const long ticks_o = cpu_ticks(pair.ours.pid), ticks_i = cpu_ticks(pair.ip.pid);
  const long sw_o = switches(pair.ours.pid), sw_i = switches(pair.ip.pid);
  const std::size_t lines_o = pair.ours.lines.size(), lines_i = pair.ip.lines.size();
  pump(pair.both(), Clock::now() + 10s);
  rows.push_back({"idle 10 s: CPU ticks", std::to_string(cpu_ticks(pair.ours.pid) - ticks_o),
                  std::to_string(cpu_ticks(pair.ip.pid) - ticks_i), "target 0"});
  rows.push_back({"idle 10 s: context switches", std::to_string(switches(pair.ours.pid) - sw_o),
                  std::to_string(switches(pair.ip.pid) - sw_i), "target 0"});
  rows.push_back({"idle 10 s: lines", std::to_string(pair.ours.lines.size() - lines_o),
                  std::to_string(pair.ip.lines.size() - lines_i), ""});

  // Bursts: 10,000 changes as fast as the kernel takes them.
  {
    const std::size_t o0 = pair.ours.lines.size(), i0 = pair.ip.lines.size();
    for (std::uint32_t i = 0; i < 5000; ++i) {
      changer.queue(Op::Add, nc0, bench_base + i, 32);
      changer.queue(Op::Delete, nc0, bench_base + i, 32);
    }
    const auto t_start = Clock::now();
    changer.send();
    const auto t_last = Clock::now();
    // Until a second passes without a line from either.
    for (std::size_t seen = 0;;) {
      pump(pair.both(), Clock::now() + 1s);
      const std::size_t now_seen = pair.ours.lines.size() + pair.ip.lines.size();
      if (now_seen == seen) {
        break;
      }
      seen = now_seen;
    }
    auto after_last = [&](const Watcher& w, std::size_t from) {
      return std::any_of(w.lines.begin() + static_cast<long>(from), w.lines.end(),
                         [&](Clock::time_point t) { return t >= t_last; });
    };
    rows.push_back({"burst of 10,000 changes (" + fmt(0, ms(t_last - t_start)) + " ms): lines",
                    std::to_string(pair.ours.lines.size() - o0),
                    std::to_string(pair.ip.lines.size() - i0), ""});
    rows.push_back({"burst: a line after the last change", after_last(pair.ours, o0) ? "yes" : "no",
                    after_last(pair.ip, i0) ? "yes" : "no", "target yes for ours"});
    auto drops = [](const Watcher& w) {
      std::uint64_t n = 0;
      for (const auto& sock : testing_support::netlink_sockets_of(w.pid)) {
        n += sock.drops;
      }
      return std::to_string(n);
    };
    rows.push_back({"burst: messages the kernel dropped", drops(pair.ours), drops(pair.ip), ""});
    rows.push_back({"burst: still running", still_running(pair.ours) ? "yes" : "no",
                    still_running(pair.ip) ? "yes" : "no", ""});
    rows.push_back({"burst: peak RSS (KiB)", std::to_string(status_field(pair.ours.pid, "VmHWM:")),
                    std::to_string(status_field(pair.ip.pid, "VmHWM:")), ""});
  }
  pair.stop_both();

  // Scale: a table already holding many addresses.
  std::uint32_t placed = 0;
  for (const std::uint32_t n : {1000u, 10000u, 50000u}) {
    for (; placed < n; ++placed) {
      changer.queue(Op::Add, nc0, bench_base + placed, 32);
    }
    changer.send();
    // The median of a few changes, one at a time, each waited for; half of
    // them with each watcher subscribed last.
    std::vector<double> one_o, one_i;
    double ready_o = 0, ready_i = 0;
    for (std::size_t k = 0; k < 20; ++k) {
      if (k % 10 == 0) {
        pair.stop_both();
        const auto took = pair.start_both(k != 0);
        if (k == 0) {
          std::tie(ready_o, ready_i) = took;
        }
      }
      const std::size_t seen = k % 10;
      const auto t0 = Clock::now();
      changer.queue(k % 2 == 0 ? Op::Add : Op::Delete, lo, test_net_3, 32);
      changer.send();
      pump(pair.both(), t0 + 2s, [&] { return has_lines(pair.both(), seen + 1); });
      if (has_lines(pair.both(), seen + 1)) {
        one_o.push_back(ms(pair.ours.lines[seen] - t0) * 1000.0);
        one_i.push_back(ms(pair.ip.lines[seen] - t0) * 1000.0);
      }
    }
    auto median = [](const std::vector<double>& v) {
      return v.empty() ? std::string("none") : fmt(0, percentiles(v).p50);
    };
    const std::string label = std::to_string(n) + " addresses: ";
    rows.push_back({label + "start until ready (ms)", fmt(1, ready_o), fmt(1, ready_i),
                    n == 50000 ? "target under 100 ms" : ""});
    rows.push_back(
        {label + "one change's latency, median of 20 (µs)", median(one_o), median(one_i), ""});
    rows.push_back({label + "RSS (KiB)", std::to_string(status_field(pair.ours.pid, "VmRSS:")),
                    std::to_string(status_field(pair.ip.pid, "VmRSS:")), ""});
    pair.stop_both();
  }
  // A table that keeps changing: 50,000 addresses on nc0, and one address
  // on lo added and deleted at a steady rate all the while.
  for (const int rate : {1000, 10000}) {
    const std::string label = "churn " + std::to_string(rate) + "/s: ";
    std::optional<Churn> churn;
    churn.emplace(lo, doc_address + 1, rate);
    std::this_thread::sleep_for(100ms);
    Watcher& w = pair.ours;
    const auto t0 = Clock::now();
    start(w, {NETWORK_CHANGE_BINARY});
    // A change made while the table is read gives a line once it is read.
    pump({&w}, t0 + 10s, [&] { return !w.lines.empty(); });
    rows.push_back({label + "start until watching, 50,000 addresses (ms)",
                    w.lines.empty() ? "never" : fmt(1, ms(w.lines[0] - t0)), "",
                    rate == 1000 ? "target under 200 ms" : "target under 1000 ms"});

    // A burst of 10,000 changes on nc1 while the program is stopped overflows
    // its socket for sure; the clock starts when it may run again.
    pump({&w}, Clock::now() + 50ms);
    kill(w.pid, SIGSTOP);
    for (std::uint32_t i = 0; i < 5000; ++i) {
      changer.queue(Op::Add, nc1, bench_base + 0x10000 + i, 32);
      changer.queue(Op::Delete, nc1, bench_base + 0x10000 + i, 32);
    }
    changer.send();
    std::uint64_t drops = 0;
    for (const auto& sock : testing_support::netlink_sockets_of(w.pid)) {
      drops += sock.drops;
    }
    const std::size_t before = w.lines.size();
    const auto resumed = Clock::now();
    kill(w.pid, SIGCONT);
    pump({&w}, resumed + 10s, [&] { return w.lines.size() > before; });
    rows.push_back({label + "burst that overflows the socket to its line (ms)",
                    w.lines.size() > before ? fmt(1, ms(w.lines[before] - resumed)) : "never", "",
                    std::to_string(drops) + " reports dropped; " +
                        (rate == 1000 ? "target under 200 ms" : "target under 1000 ms")});
    rows.push_back({label + "changes made at (per s)", fmt(0, churn->per_second()), "", ""});

    // Once the churn is over, the table must be exact: refreshing addresses
    // that were there all along gives no line, and the next address one.
    churn.reset();
    testing_support::wait_until_idle(w.pid, 10s);
    pump({&w}, Clock::now() + 100ms);
    const std::size_t settled = w.lines.size();
    for (std::uint32_t i = 0; i < 50000; i += 50) {
      changer.queue(Op::Refresh, nc0, bench_base + i, 32);
      if (i % 5000 == 4950) {
        changer.send();
        testing_support::wait_until_idle(w.pid, 10s);
      }
    }
    changer.queue(Op::Add, lo, test_net_3 + 1, 32);
    changer.send();
    pump({&w}, Clock::now() + 2s, [&] { return w.lines.size() > settled; });
    pump({&w}, Clock::now() + 100ms);
    rows.push_back({label + "afterwards, lines for 1,000 refreshes and then one new address",
                    std::to_string(w.lines.size() - settled), "", "target 1: the table is exact"});
    changer.queue(Op::Delete, lo, test_net_3 + 1, 32);
    changer.send();
    stop(w);
  }

  run_ip("link del nc0");
  run_ip("link add nc0 type veth peer name nc1");
  const unsigned nc0b = if_nametoindex("nc0");

  // Memory over time: RSS after 10 changes and after 100,000.
  {
    pair.start_both();
    for (int i = 0; i < 10; ++i) {
      changer.queue(i % 2 == 0 ? Op::Add : Op::Delete, nc0b, bench_base, 32);
      changer.send();
      pump(pair.both(), Clock::now() + 1s,
           [&] { return has_lines(pair.both(), static_cast<std::size_t>(i) + 1); });
    }
    const long rss10_o = status_field(pair.ours.pid, "VmRSS:"),
               rss10_i = status_field(pair.ip.pid, "VmRSS:");
    for (int round = 0; round < 100; ++round) {
      for (std::uint32_t i = 0; i < 500; ++i) {
        changer.queue(Op::Add, nc0b, bench_base + 1 + i, 32);
        changer.queue(Op::Delete, nc0b, bench_base + 1 + i, 32);
      }
      changer.send();
      pump(pair.both(), Clock::now() + 20ms);
    }
    testing_support::wait_until_idle(pair.ours.pid, 30s);
    pump(pair.both(), Clock::now() + 500ms);
    const long rss_o = status_field(pair.ours.pid, "VmRSS:"),
               rss_i = status_field(pair.ip.pid, "VmRSS:");
    rows.push_back(
        {"RSS after 10 changes (KiB)", std::to_string(rss10_o), std::to_string(rss10_i), ""});
    rows.push_back({"RSS after 100,000 more (KiB)", std::to_string(rss_o), std::to_string(rss_i),
                    "ours grew " + std::to_string(rss_o - rss10_o) + " KiB; target within 100"});
    rows.push_back({"lines for those 100,000", std::to_string(pair.ours.lines.size() - 10),
                    std::to_string(pair.ip.lines.size() - 10), ""});
    pair.stop_both();
  }

  std::printf("| measure | network-change | ip -o monitor address | note |\n|---|---:|---:|---|\n");
  for (const Row& r : rows) {
    std::printf("| %s | %s | %s | %s |\n", r.measure.c_str(), r.ours.c_str(), r.ip.c_str(),
                r.note.c_str());
  }
  if (const long refused = changer.send(); refused != 0) {
    std::printf("\n%ld change requests were refused by the kernel.\n", refused);
  }
  return 0;
}
