// What a layer's kernel interface does for the watch behind the platform
// calls (platform.cpp): a subscription to the kernel's IPv4 address reports,
// and reads of the whole address table. The watch is the same over every
// kernel; each layer names its own in layer_kernel.h, as a Kernel made of
// its parts.
#pragma once

#include "address_table.h"
#include "read_policy.h"
#include "change.h"
#include "drain.h"

namespace emulated {

// A layer's monitor (the subscribed socket and the wait on it and on
// standard output: open, wait_and_drain, drain and discard) and its table reader (read(monitor,
// table, after_loss)); apply (change.h) says which of the monitor's reports is a change.
template <typename Monitor, typename Reader>
class Kernel {
 public:
  struct Reports {
    bool changed = false;      // a report changed the table
    bool lost = false;         // reports may have been lost (Drained::lost)
    bool reader_gone = false;  // no line can reach standard output's reader any more
    int error = 0;             // errno once the subscription is broken; nothing else holds then
  };

  // Subscribes to the reports. Returns 0, or an errno value. May throw
  // std::bad_alloc.
  int subscribe() { return monitor_.open(); }

  // Blocks until reports come or standard output's reader goes, then hands
  // the reports queued to the table, in the order the kernel sent them, as
  // much as the monitor's DrainBudget allows. Signals do not end the wait.
  Reports wait_for_reports(AddressTable& table) {
    Reports r;
    const auto d = monitor_.wait_and_drain(
        [&](const auto& report) { r.changed = apply(table, report) || r.changed; });
    r.lost = d.lost;
    r.reader_gone = d.reader_gone;
    r.error = d.error;
    return r;
  }

  // Reads the table afresh (AddressTable::begin_read to end_read). The
  // subscription must be in place, so that every change from then on is in
  // the read or in its reports, never in neither; those reports go to the
  // table as well. After reports were lost, the queue is thrown away first,
  // so that what the kernel queues from then on follows the loss. May throw
  // std::bad_alloc.
  ReadResult read(AddressTable& table, bool after_loss = false) {
    return reader_.read(monitor_, table, after_loss);
  }

 private:
  Monitor monitor_;
  Reader reader_;
};

}  // namespace emulated
