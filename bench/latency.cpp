// Latency: 1,200 changes, each waited for, each watcher subscribed last for a
// third of them.
#include <string>
#include <utility>
#include <vector>

#include "bench.h"

namespace bench {

void Bench::latency() {
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
  for (const auto& [name, q] : {std::pair{"p50", 0.5}, {"p90", 0.9}, {"p99", 0.99}, {"max", 1.0}}) {
    std::vector<std::string> values;
    for (const auto& v : got) {
      values.push_back(fmt(0, percentile(v, q)));
    }
    rows.push_back(
        {std::string("latency ") + name + " (µs, " + std::to_string(changes) + " changes)", values,
         "ours / floor = " + fmt(2, percentile(got[0], q) / percentile(got[2], q))});
  }
  rows.push_back({"changes without a line within 1 s",
                  {std::to_string(missed[0]), std::to_string(missed[1]), std::to_string(missed[2])},
                  ""});
}

}  // namespace bench
