// The monitor: a route socket for IPv4 that receives the kernel's address
// reports for the life of the watch, each report handed to whoever consumes
// them; and the wait for them, which also watches standard output for its
// reader going away.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "descriptor.h"
#include "jail_view.h"
#include "drain.h"
#include "routing.h"

namespace freebsd_layer {

class Monitor {
 public:
  Monitor() = default;
  ~Monitor();
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  // Opens the socket, close-on-exec and above descriptor 2, with receive
  // errors kept (SO_RERROR), so that an overflow is told, not silent; and
  // the kqueue that waits on it and on standard output. Returns 0, or an
  // errno value. May throw std::bad_alloc.
  int open();

  // Hands every report queued that this process can see (JailView) to
  // on_report, in the order the kernel sent them, until none is left.
  emulated::Drained drain(const routing::ReportCallback& on_report);
  // Blocks, with no time-out, until a message comes or standard output's
  // reader goes (at once if it is closed), then hands on what is queued as
  // drain() does, until the DrainBudget is spent.
  emulated::Drained wait_and_drain(const routing::ReportCallback& on_report);

  // Throws away whatever is queued. Returns 0, or an errno value.
  int discard();

  // What of the host's addresses this process can see; a read of the table
  // tells it what it found.
  JailView& view() { return view_; }

 private:
  // Takes messages while the budget lasts, if there is one.
  emulated::Drained take(const routing::ReportCallback& on_report, emulated::DrainBudget* budget);
  // Reads one message without waiting; returns its length, 0 when none was
  // queued, or -1 with errno (EMSGSIZE for one cut short).
  long receive();

  // A message's length is 16 bits: any one fits.
  static constexpr std::size_t buffer_size = 65536;

  int fd_ = -1;
  int kqueue_ = -1;
  emulated::StandardOutput output_ = emulated::StandardOutput::Other;
  std::size_t queue_bytes_ = 0;  // what the socket's queue can hold, as the budget counts it
  std::unique_ptr<std::uint8_t[]> buffer_;
  JailView view_;
};

}  // namespace freebsd_layer
