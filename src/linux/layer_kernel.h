// The Linux kernel interface for the watch: the monitor's subscribed socket
// and the table reader's dumps, over rtnetlink.
#pragma once

#include "kernel.h"
#include "monitor.h"
#include "table_reader.h"

namespace emulated {

// What the layer's monitor hands to the table, a report at a time.
using LayerReport = netlink::Message;
using LayerKernel = Kernel<linux_layer::Monitor, linux_layer::TableReader>;

}  // namespace emulated
