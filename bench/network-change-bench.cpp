// Measures network-change beside `ip -o monitor address` and beside the floor,
// the least a watcher or a table read can do, on the same changes in one run,
// inside a private network namespace. Prints one Markdown table.
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "child.h"
#include "netlink.h"
#include "sandbox.h"
#include "socket.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using testing_support::AddressChanger;
using Op = AddressChanger::Op;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "bench: %s\n", what.c_str());
  std::exit(1);
}

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// ---------------------------------------------------------------------------
// The floor: two modes of this program, started as the watchers are.

int open_netlink(std::uint32_t groups) {
  const int fd = linux_layer::open_route_socket(groups, nullptr);
  if (fd < 0) {
    die(std::string("netlink socket: ") + std::strerror(errno));
  }
  return fd;
}

// One recv and one write per datagram, no table.
int bare_watcher() {
  const int fd = open_netlink(RTMGRP_IPV4_IFADDR);
  static char buf[65536];
  for (unsigned n = 0;;) {
    if (recv(fd, buf, sizeof buf, 0) < 0) {
      if (errno == EINTR || errno == ENOBUFS) {
        continue;
      }
      return 1;
    }
    char line[32];
    const int len = std::snprintf(line, sizeof line, "net changed..%u\n", n++);
    if (write(STDOUT_FILENO, line, static_cast<std::size_t>(len)) != len) {
      return 2;
    }
  }
}

// Subscribes, reads one dump of the IPv4 addresses and throws it away, then
// waits as a watcher does.
int bare_dump() {
  const int monitor = open_netlink(RTMGRP_IPV4_IFADDR);
  const int dumper = open_netlink(0);
  std::uint8_t request[netlink::request_size];
  const std::size_t len = netlink::make_dump_request(request, 1);
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(dumper, request, len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
    return 1;
  }
  static std::uint8_t buf[32768];
  for (bool done = false; !done;) {
    const ssize_t n = recv(dumper, buf, sizeof buf, 0);
    if (n <= 0) {
      return 1;
    }
    std::size_t at = 0;
    for (netlink::Message m;
         netlink::next(buf, static_cast<std::size_t>(n), at, m) == netlink::Step::Message;) {
      done = done || m.kind == netlink::Kind::Done;
    }
  }
  for (;;) {
    recv(monitor, buf, sizeof buf, 0);
  }
}

// ---------------------------------------------------------------------------
// Watchers: child processes whose lines are stamped as they are read.

std::string self;  // this program, for the floor

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
double start(Watcher& w) {
  w.lines.clear();
  const auto t0 = Clock::now();
  w.child.emplace(w.argv);
  if (!testing_support::wait_until_idle(w.pid(), 30s)) {
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

// Reads what the watchers write until done() holds or the deadline passes.
// Every line completed at one wake-up gets that wake-up's stamp, so no
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

// Each watcher's count of lines, from its first line on.
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

// ---------------------------------------------------------------------------
// The table.

struct Row {
  std::string measure;
  std::vector<std::string> values;  // network-change, ip monitor, floor
  std::string note;
};

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
  unsigned lo = if_nametoindex("lo");
  unsigned nc0 = if_nametoindex("nc0");
  unsigned nc1 = if_nametoindex("nc1");
  std::vector<Row> rows;

  // The kernel tells the socket subscribed last first: each watcher is
  // started last in turn.
  void start_all(std::size_t last) {
    for (Watcher* w : watchers) {
      stop(*w);
    }
    for (std::size_t i = 1; i <= watchers.size(); ++i) {
      start(*watchers[(last + i) % watchers.size()]);
    }
  }
  void stop_all() {
    for (Watcher* w : watchers) {
      stop(*w);
    }
  }

  // Makes one change and waits for a line from every watcher; returns each
  // one's latency in µs (negative where none came within a second).
  std::vector<double> one_change(Op op, unsigned ifindex, std::uint32_t address) {
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

  void latency() {
    constexpr int changes = 1200;
    std::vector<std::vector<double>> got(watchers.size());
    std::vector<long> missed(watchers.size());
    for (int i = 0; i < changes; ++i) {
      if (i % (changes / 3) == 0) {
        start_all(static_cast<std::size_t>(i / (changes / 3)));
      }
      const auto latency = one_change(i % 2 == 0 ? Op::Add : Op::Delete, lo, doc_address);
      for (std::size_t w = 0; w < watchers.size(); ++w) {
        if (latency[w] < 0) {
          ++missed[w];
        } else {
          got[w].push_back(latency[w]);
        }
      }
      pump(watchers, Clock::now() + 3ms);
    }
    for (const auto& [name, q] :
         {std::pair{"p50", 0.5}, {"p90", 0.9}, {"p99", 0.99}, {"max", 1.0}}) {
      std::vector<std::string> values;
      for (const auto& v : got) {
        values.push_back(fmt(0, percentile(v, q)));
      }
      rows.push_back(
          {std::string("latency ") + name + " (µs, " + std::to_string(changes) + " changes)",
           values, "ours / floor = " + fmt(2, percentile(got[0], q) / percentile(got[2], q))});
    }
    rows.push_back(
        {"changes without a line within 1 s",
         {std::to_string(missed[0]), std::to_string(missed[1]), std::to_string(missed[2])},
         ""});
  }

  void idle() {
    if (!ours.child) {
      start_all(0);
    }
    std::vector<long> ticks, sw;
    for (Watcher* w : watchers) {
      ticks.push_back(cpu_ticks(w->pid()));
      sw.push_back(switches(w->pid()));
    }
    const auto lines = counts(watchers);
    pump(watchers, Clock::now() + 10s);
    std::vector<std::string> t, s, l;
    for (std::size_t i = 0; i < watchers.size(); ++i) {
      t.push_back(std::to_string(cpu_ticks(watchers[i]->pid()) - ticks[i]));
      s.push_back(std::to_string(switches(watchers[i]->pid()) - sw[i]));
      l.push_back(std::to_string(watchers[i]->lines.size() - lines[i]));
    }
    rows.push_back({"idle 10 s: CPU ticks", t, "target 0"});
    rows.push_back({"idle 10 s: context switches", s, "target 0"});
    rows.push_back({"idle 10 s: lines", l, ""});
  }

  // Addresses added and deleted on the link, 10,000 changes unless told
  // otherwise, sent as fast as the kernel takes them.
  Clock::duration burst(unsigned ifindex, std::uint32_t from, std::uint32_t addresses = 5000) {
    for (std::uint32_t i = 0; i < addresses; ++i) {
      changer.queue(Op::Add, ifindex, from + i, 32);
      changer.queue(Op::Delete, ifindex, from + i, 32);
    }
    const auto t0 = Clock::now();
    changer.send();
    return Clock::now() - t0;
  }

  void bursts() {
    if (!ours.child) {
      start_all(0);
    }
    const auto before = counts(watchers);
    const auto took = burst(nc0, bench_base);
    const auto last_change = Clock::now();
    // Until a second passes without a line from any.
    for (std::size_t seen = 0, now = 1; now != seen;) {
      seen = now;
      pump(watchers, Clock::now() + 1s);
      now = 0;
      for (const Watcher* w : watchers) {
        now += w->lines.size();
      }
    }
    std::size_t i = 0;
    rows.push_back(
        {"burst of 10,000 changes (" + fmt(0, ms(took)) + " ms): lines",
         each(watchers, [&](Watcher& w) { return std::to_string(w.lines.size() - before[i++]); }),
         ""});
    rows.push_back({"burst: a line after the last change",
                    each(watchers,
                         [&](Watcher& w) {
                           return !w.lines.empty() && w.lines.back() >= last_change ? "yes" : "no";
                         }),
                    "target yes for ours"});
    rows.push_back({"burst: messages the kernel dropped",
                    each(watchers,
                         [](Watcher& w) {
                           return std::to_string(testing_support::netlink_drops_of(w.pid()));
                         }),
                    ""});
    rows.push_back({"burst: still running",
                    each(watchers, [](Watcher& w) { return still_running(w) ? "yes" : "no"; }),
                    ""});
    rows.push_back(
        {"burst: peak RSS (KiB)",
         each(watchers, [](Watcher& w) { return std::to_string(status_field(w.pid(), "VmHWM:")); }),
         ""});
  }

  // Start-up: each started alone, five times; the median.
  std::string start_up(Watcher& w) {
    std::vector<double> took;
    for (int i = 0; i < 5; ++i) {
      took.push_back(start(w));
      stop(w);
    }
    return fmt(1, percentile(took, 0.5));
  }

  void scale() {
    std::uint32_t placed = 0;
    for (const std::uint32_t n : {1000u, 10000u, 50000u}) {
      for (; placed < n; ++placed) {
        changer.queue(Op::Add, nc0, bench_base + placed, 32);
      }
      changer.send();
      const std::string label = std::to_string(n) + " addresses: ";
      const std::string ours_ms = start_up(ours);
      const std::string dump_ms = start_up(dump);
      rows.push_back({label + "start until ready (ms)",
                      {ours_ms, start_up(ip), dump_ms},
                      "ours / bare dump = " + fmt(2, std::stod(ours_ms) / std::stod(dump_ms))});
      std::vector<std::vector<double>> got(watchers.size());
      for (std::size_t k = 0; k < 21; ++k) {
        if (k % 7 == 0) {
          start_all(k / 7);
        }
        const auto latency = one_change(k % 2 == 0 ? Op::Add : Op::Delete, lo, test_net_3);
        for (std::size_t w = 0; w < watchers.size(); ++w) {
          got[w].push_back(latency[w]);
        }
      }
      std::vector<std::string> medians;
      for (const auto& v : got) {
        medians.push_back(fmt(0, percentile(v, 0.5)));
      }
      rows.push_back({label + "one change's latency, median of 21 (µs)", medians, ""});
      rows.push_back(
          {label + "RSS (KiB)",
           each(watchers,
                [](Watcher& w) { return std::to_string(status_field(w.pid(), "VmRSS:")); }),
           ""});
      stop_all();
      changer.queue(Op::Delete, lo, test_net_3, 32);  // the 21st change added it
      changer.send();
    }
  }

  // 50,000 addresses on nc0, and one address on lo added and deleted at a
  // steady rate all the while, so that every read of the table is marked
  // interrupted.
  void churn(int rate) {
    const std::string label = "churn " + std::to_string(rate) + "/s: ";
    std::atomic<bool> over{false};
    std::atomic<long> made{0};
    std::thread churner([&] {
      AddressChanger own;
      const int per_ms = std::max(1, rate / 1000);
      for (auto tick = Clock::now(); !over; tick += 1ms) {
        for (int i = 0; i < per_ms; ++i, ++made) {
          own.queue(made % 2 == 0 ? Op::Add : Op::Delete, lo, doc_address + 1, 32);
        }
        own.send();
        std::this_thread::sleep_until(tick + 1ms);
      }
      if (made % 2 == 1) {
        own.queue(Op::Delete, lo, doc_address + 1, 32);
        own.send();
      }
    });
    const auto churn_start = Clock::now();
    std::this_thread::sleep_for(100ms);
    Watcher& w = ours;
    const auto t0 = Clock::now();
    w.lines.clear();
    w.child.emplace(w.argv);
    // A change made while the table is read gives a line once it is read.
    pump({&w}, t0 + 10s, [&] { return !w.lines.empty(); });
    const char* target = rate == 1000 ? "target under 200 ms" : "target under 1000 ms";
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
    over = true;
    churner.join();
    rows.push_back({label + "changes made at (per s)",
                    {fmt(0, static_cast<double>(made) / (ms(Clock::now() - churn_start) / 1000))},
                    ""});

    // Once the churn is over the table must be exact: refreshing addresses
    // that were there all along gives no line, and the next address one.
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

  // RSS after 10 changes and after 100,000 more, on an empty table.
  void memory() {
    if (std::system("ip link del nc0 && ip link add nc0 type veth peer name nc1") != 0) {
      die("could not make nc0 afresh");
    }
    nc0 = if_nametoindex("nc0");
    start_all(0);
    for (int i = 0; i < 10; ++i) {
      one_change(i % 2 == 0 ? Op::Add : Op::Delete, nc0, bench_base);
    }
    const auto rss = [](Watcher& w) { return std::to_string(status_field(w.pid(), "VmRSS:")); };
    const auto at_10 = each(watchers, rss);
    const auto lines_10 = counts(watchers);
    for (int round = 0; round < 100; ++round) {
      burst(nc0, bench_base + 1, 500);
      pump(watchers, Clock::now() + 20ms);
    }
    testing_support::wait_until_idle(ours.pid(), 30s);
    pump(watchers, Clock::now() + 500ms);
    const auto after = each(watchers, rss);
    rows.push_back({"RSS after 10 changes (KiB)", at_10, ""});
    rows.push_back({"RSS after 100,000 more (KiB)", after,
                    "ours grew " + std::to_string(std::stol(after[0]) - std::stol(at_10[0])) +
                        " KiB; target within 100"});
    std::size_t i = 0;
    rows.push_back(
        {"lines for those 100,000",
         each(watchers, [&](Watcher& w) { return std::to_string(w.lines.size() - lines_10[i++]); }),
         ""});
    stop_all();
  }

  void print() const {
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
};

}  // namespace

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
