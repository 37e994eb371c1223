// The Linux kernel interface for the watch: the monitor's subscribed socket
// and the table reader's dumps, over rtnetlink.
#pragma once

#include "kernel.h"
#include "monitor.h"
#include "table_reader.h"

namespace emulated {

using LayerKernel = Kernel<linux_layer::Monitor, linux_layer::TableReader>;

}  // namespace emulated
