// The Linux kernel interface for the watch: the monitor's subscribed socket
// and the table reader's dumps, over rtnetlink.
#pragma once

#include "kernel.h"
#include "monitor.h"
#include "table_reader.h"

namespace emulated {

// A drain takes batches of datagrams, each up to a receive's worth of reports.
using LayerKernel = Kernel<linux_layer::Monitor, linux_layer::TableReader, linux_layer::apply, 16>;

}  // namespace emulated
