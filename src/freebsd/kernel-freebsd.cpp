// The FreeBSD kernel interface for the watch: the monitor's route socket and
// the table reader's sysctl.
#include <cstddef>
#include <memory>

#include "kernel.h"
#include "monitor.h"
#include "table_reader.h"

std::unique_ptr<emulated::Kernel> emulated::make_kernel() {
  // Messages, one report or one route each.
  constexpr std::size_t messages_per_drain = 256;
  return std::make_unique<emulated::KernelOver<freebsd_layer::Monitor, freebsd_layer::TableReader,
                                               freebsd_layer::apply, messages_per_drain>>();
}
