// The monitor: a socket subscribed to the kernel's IPv4 address reports for
// the life of the watch, read a batch of datagrams at a time, each report
// handed to whoever consumes them.
#pragma once

#include <linux/netlink.h>
#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>

#include "netlink.h"
#include "reports.h"

namespace linux_layer {

class Monitor {
 public:
  Monitor() = default;
  ~Monitor();
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  // Opens the socket and subscribes it. Returns 0, or an errno value. May
  // throw std::bad_alloc.
  int open();
  int fd() const { return fd_; }

  // Hands every report queued to on_report, in the order the kernel sent
  // them, batch after batch until one is not full.
  emulated::Drained drain(const netlink::ReportCallback& on_report) {
    return take(on_report, false, std::numeric_limits<std::size_t>::max());
  }
  // The same, but blocks until the first datagram comes, and stops once
  // max_datagrams have been taken, so that a flood cannot hold back what
  // the caller does with them.
  emulated::Drained wait_and_drain(const netlink::ReportCallback& on_report,
                                   std::size_t max_datagrams) {
    return take(on_report, true, max_datagrams);
  }

  // Throws away whatever is queued. After an overflow the kernel drops every
  // new report, and says so no more, until the queue has been emptied; this
  // makes it queue them again. Returns 0, or an errno value.
  int discard();

 private:
  emulated::Drained take(const netlink::ReportCallback& on_report, bool wait,
                         std::size_t max_datagrams);
  // Reads one batch; returns the datagrams read (0 when none was queued
  // without waiting), or -1 with errno.
  int receive(int flags);

  // An address report is far smaller than a slot.
  static constexpr std::size_t slots = 16;
  static constexpr std::size_t slot_size = 4096;

  int fd_ = -1;
  // Not zeroed, so that only the pages reports are written into are ever
  // touched.
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::array<mmsghdr, slots> batch_{};
  std::array<iovec, slots> iov_{};
  std::array<sockaddr_nl, slots> from_{};
};

}  // namespace linux_layer
