// The monitor: a route socket for IPv4 that receives the kernel's address
// reports for the life of the watch, each report handed to whoever consumes
// them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>

#include "reports.h"
#include "routing.h"

namespace freebsd_layer {

class Monitor {
 public:
  Monitor() = default;
  ~Monitor();
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  // Opens the socket, close-on-exec and above descriptor 2, with receive
  // errors kept (SO_RERROR), so that an overflow is told, not silent.
  // Returns 0, or an errno value. May throw std::bad_alloc.
  int open();

  // Hands every report queued to on_report, in the order the kernel sent
  // them, until none is left.
  emulated::Drained drain(const routing::ReportCallback& on_report) {
    return take(on_report, false, std::numeric_limits<std::size_t>::max());
  }
  // The same, but blocks until the first message comes, and stops once
  // max_datagrams have been taken, so that a flood cannot hold back what the
  // caller does with them.
  emulated::Drained wait_and_drain(const routing::ReportCallback& on_report,
                                   std::size_t max_datagrams) {
    return take(on_report, true, max_datagrams);
  }

  // Throws away whatever is queued. Returns 0, or an errno value.
  int discard();

 private:
  emulated::Drained take(const routing::ReportCallback& on_report, bool wait,
                         std::size_t max_datagrams);
  // Reads one message; returns its length, 0 when none was queued without
  // waiting, or -1 with errno (EMSGSIZE for one cut short).
  long receive(int flags);

  // A message's length is 16 bits: any one fits.
  static constexpr std::size_t buffer_size = 65536;

  int fd_ = -1;
  std::unique_ptr<std::uint8_t[]> buffer_;
};

}  // namespace freebsd_layer
