// The Linux kernel interface for the watch: the monitor's subscribed socket
// and the table reader's dumps, over rtnetlink.
#include <memory>

#include "kernel.h"
#include "monitor.h"
#include "table_reader.h"

std::unique_ptr<emulated::Kernel> emulated::make_kernel() {
  // Batches of datagrams, each up to a receive's worth of reports.
  constexpr int batches_per_drain = 16;
  return std::make_unique<emulated::KernelOver<linux_layer::Monitor, linux_layer::TableReader,
                                               linux_layer::apply, batches_per_drain>>();
}
