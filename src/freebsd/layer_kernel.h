// The FreeBSD kernel interface for the watch: the monitor's route socket and
// the table reader's sysctl.
#pragma once

#include "kernel.h"
#include "monitor.h"
#include "table_reader.h"

namespace emulated {

// What the layer's monitor hands to the table, a report at a time.
using LayerReport = routing::Message;
using LayerKernel = Kernel<freebsd_layer::Monitor, freebsd_layer::TableReader>;

}  // namespace emulated
