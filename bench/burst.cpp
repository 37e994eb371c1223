// Burst: 10,000 changes as fast as the kernel takes them.
#include <string>

#include "bench.h"

namespace bench {

void Bench::bursts() {
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
  rows.push_back(
      {"burst: messages the kernel dropped",
       each(watchers,
            [](Watcher& w) { return std::to_string(testing_support::netlink_drops_of(w.pid())); }),
       ""});
  rows.push_back({"burst: still running",
                  each(watchers, [](Watcher& w) { return still_running(w) ? "yes" : "no"; }), ""});
  rows.push_back(
      {"burst: peak RSS (KiB)",
       each(watchers, [](Watcher& w) { return std::to_string(status_field(w.pid(), "VmHWM:")); }),
       ""});
}

}  // namespace bench
