// Idle: CPU and context switches over 10 s without a change.
#include <string>
#include <vector>

#include "bench.h"

namespace bench {

void Bench::idle() {
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

}  // namespace bench
