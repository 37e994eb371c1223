// The monitor: a socket subscribed to the kernel's IPv4 address reports for
// the life of the watch, read a batch of datagrams at a time, each report
// handed to whoever consumes them; and the wait for them, which also
// watches standard output for its reader going away.
#pragma once

#include <linux/netlink.h>
#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "descriptor.h"
#include "netlink.h"
#include "drain.h"

namespace linux_layer {

class Monitor {
 public:
  Monitor() = default;
  ~Monitor();
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  // Opens the socket and subscribes it, and the epoll instance that waits on
  // it and on standard output. Returns 0, or an errno value. May throw
  // std::bad_alloc.
  int open();
  int fd() const { return fd_; }

  // Hands every report queued to on_report, in the order the kernel sent
  // them, batch after batch until one is not full.
  emulated::Drained drain(const netlink::ReportCallback& on_report);
  // Blocks, with no time-out, until a datagram comes or standard output's
  // reader goes (at once if it is closed), then hands on what is queued as
  // drain() does, until the DrainBudget is spent.
  emulated::Drained wait_and_drain(const netlink::ReportCallback& on_report);

  // Throws away whatever is queued. After an overflow the kernel drops every
  // new report, and says so no more, until the queue has been emptied; this
  // makes it queue them again. Returns 0, or an errno value.
  int discard();

 private:
  // Takes batches while the budget lasts, if there is one.
  emulated::Drained take(const netlink::ReportCallback& on_report, emulated::DrainBudget* budget);
  // Reads one batch without waiting; returns the datagrams read (0 when none
  // was queued), or -1 with errno.
  int receive();

  // An address report is far smaller than a slot.
  static constexpr std::size_t slots = 16;
  static constexpr std::size_t slot_size = 4096;

  int fd_ = -1;
  int epoll_ = -1;
  emulated::StandardOutput output_ = emulated::StandardOutput::Other;
  std::size_t queue_bytes_ = 0;  // what the socket's queue can hold, as the budget counts it
  // Not zeroed, so that only the pages reports are written into are ever
  // touched.
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::array<mmsghdr, slots> batch_{};
  std::array<iovec, slots> iov_{};
  std::array<sockaddr_nl, slots> from_{};
};

}  // namespace linux_layer
