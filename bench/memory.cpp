// Memory over time: RSS before and after 100,000 changes.
#include <net/if.h>

#include <cstdlib>
#include <string>

#include "bench.h"

namespace bench {

void Bench::memory() {
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

}  // namespace bench
