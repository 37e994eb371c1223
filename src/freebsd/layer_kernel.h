// The FreeBSD kernel interface for the watch: the monitor's route socket and
// the table reader's sysctl.
#pragma once

#include <cstddef>

#include "kernel.h"
#include "monitor.h"
#include "routing.h"
#include "table_reader.h"

namespace emulated {

// A drain takes messages, one report or one route each.
using LayerKernel =
    Kernel<freebsd_layer::Monitor, freebsd_layer::TableReader, routing::apply, std::size_t{256}>;

}  // namespace emulated
