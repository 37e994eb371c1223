// What a layer's kernel interface does for the watch behind the platform
// calls: a subscription to the kernel's IPv4 address reports, and reads of
// the whole address table. Each layer defines make_kernel(); the watch
// (platform.cpp) is the same over every kernel.
#pragma once

#include <memory>

#include "address_table.h"

namespace emulated {

class Kernel {
 public:
  struct Reports {
    bool changed = false;  // a report changed the table
    bool lost = false;     // the kernel dropped reports, or one could not be read
    int error = 0;         // errno once the subscription is broken; nothing else holds then
  };
  struct Read {
    int error = 0;                   // 0, or the errno value that ended the reading
    bool changed_meanwhile = false;  // a report came in, or reports were lost
  };

  virtual ~Kernel() = default;

  // Subscribes to the reports. Returns 0, or an errno value. May throw
  // std::bad_alloc.
  virtual int subscribe() = 0;

  // Blocks until reports come, then hands those queued to the table, in the
  // order the kernel sent them; no more than a flood's first part, so that
  // one cannot hold back a line for ever. Signals do not end the wait.
  virtual Reports wait_for_reports(AddressTable& table) = 0;

  // Throws away whatever is queued, so that what the kernel queues from now
  // on follows any loss. Returns 0, or an errno value.
  virtual int discard() = 0;

  // Reads the table afresh (AddressTable::begin_read to end_read). The
  // subscription must be in place, so that every change from then on is in
  // the read or in its reports, never in neither; those reports go to the
  // table as well. May throw std::bad_alloc.
  virtual Read read(AddressTable& table) = 0;
};

// The kernel interface of this layer, not yet subscribed. May throw
// std::bad_alloc.
std::unique_ptr<Kernel> make_kernel();

// A kernel interface made of a layer's monitor (the subscribed socket: open,
// drain(on_report, wait, limit) and discard) and its table reader
// (read(monitor, table)), with apply(table, report) saying which report is a
// change. A wait takes in at most per_drain of what is queued: what came
// with the first report gives one line with it, but a flood cannot hold
// that line back for ever.
template <typename Monitor, typename Reader, auto apply, auto per_drain>
class KernelOver final : public Kernel {
 public:
  int subscribe() override { return monitor_.open(); }

  Reports wait_for_reports(AddressTable& table) override {
    Reports r;
    const auto d =
        monitor_.drain([&](const auto& report) { r.changed = apply(table, report) || r.changed; },
                       true, per_drain);
    r.lost = d.lost;
    r.error = d.error;
    return r;
  }

  int discard() override { return monitor_.discard(); }

  Read read(AddressTable& table) override {
    const auto result = reader_.read(monitor_, table);
    return {result.error, result.changed_meanwhile};
  }

 private:
  Monitor monitor_;
  Reader reader_;
};

}  // namespace emulated
