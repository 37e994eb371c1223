// The Linux kernel interface for the watch: the monitor's subscribed socket
// and the table reader's dumps, over rtnetlink.
#include <memory>

#include "kernel.h"
#include "monitor.h"
#include "table_reader.h"

namespace {

// Once a change is seen, what is already queued is taken in with it, so that
// changes that came together give one line; but a flood must not hold the
// line back for ever.
constexpr int batches_per_drain = 16;

class LinuxKernel final : public emulated::Kernel {
 public:
  int subscribe() override { return monitor_.open(); }

  Reports wait_for_reports(emulated::AddressTable& table) override {
    Reports r;
    const linux_layer::Monitor::Drained d = monitor_.drain(
        [&](const netlink::Message& report) {
          r.changed = linux_layer::apply(table, report) || r.changed;
        },
        true, batches_per_drain);
    r.lost = d.lost;
    r.error = d.error;
    return r;
  }

  int discard() override { return monitor_.discard(); }

  Read read(emulated::AddressTable& table) override {
    const auto result = reader_.read(monitor_, table);
    return {result.error, result.changed_meanwhile};
  }

 private:
  linux_layer::Monitor monitor_;
  linux_layer::TableReader reader_;
};

}  // namespace

std::unique_ptr<emulated::Kernel> emulated::make_kernel() { return std::make_unique<LinuxKernel>(); }
