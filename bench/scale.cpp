// Scale: start-up, latency and RSS with 1,000 to 50,000 addresses present.
#include <string>
#include <vector>

#include "bench.h"

namespace bench {

void Bench::scale() {
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
         each(watchers, [](Watcher& w) { return std::to_string(status_field(w.pid(), "VmRSS:")); }),
         ""});
    stop_all();
    changer.queue(Op::Delete, lo, test_net_3, 32);  // the 21st change added it
    changer.send();
  }
}

}  // namespace bench
