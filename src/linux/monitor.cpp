// The monitor socket, drained in batches of datagrams: one system call for
// all that is queued.
#include "monitor.h"

#include <linux/rtnetlink.h>

#include <cerrno>

#include "socket.h"

namespace linux_layer {

Monitor::~Monitor() { close_fd(fd_); }

int Monitor::open() {
  if (!buffer_) {
    buffer_.reset(new std::uint8_t[slots * slot_size]);
  }
  close_fd(fd_);
  fd_ = open_route_socket(RTMGRP_IPV4_IFADDR, nullptr);
  return fd_ < 0 ? errno : 0;
}

int Monitor::receive(int flags) {
  for (std::size_t i = 0; i < slots; ++i) {
    iov_[i] = {buffer_.get() + i * slot_size, slot_size};
    batch_[i] = {};
    batch_[i].msg_hdr.msg_iov = &iov_[i];
    batch_[i].msg_hdr.msg_iovlen = 1;
    batch_[i].msg_hdr.msg_name = &from_[i];
    batch_[i].msg_hdr.msg_namelen = sizeof from_[i];
  }
  int n;
  // A signal is no reason to give up a wait.
  while ((n = recvmmsg(fd_, batch_.data(), slots, flags, nullptr)) < 0 && errno == EINTR) {
  }
  return n < 0 && errno == EAGAIN ? 0 : n;
}

emulated::Drained Monitor::take(const netlink::ReportCallback& on_report, bool wait,
                                std::size_t max_datagrams) {
  emulated::Drained d;
  for (std::size_t taken = 0; taken < max_datagrams; taken += slots) {
    const int n = receive(taken == 0 && wait ? MSG_WAITFORONE : MSG_DONTWAIT);
    if (n < 0) {
      // ENOBUFS: the queue overflowed, and the kernel dropped reports.
      if (errno == ENOBUFS) {
        d.lost = true;
      } else {
        d.error = errno;
      }
      return d;
    }
    for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) {
      const msghdr& mh = batch_[i].msg_hdr;
      if (from_[i].nl_pid != 0) {
        continue;  // only the kernel speaks for the table
      }
      if ((mh.msg_flags & MSG_TRUNC) != 0 ||
          !netlink::each_report(buffer_.get() + i * slot_size, batch_[i].msg_len, on_report)) {
        d.lost = true;
      }
    }
    if (d.lost || n < static_cast<int>(slots)) {
      return d;
    }
  }
  return d;
}

int Monitor::discard() {
  for (int n; (n = receive(MSG_DONTWAIT)) != 0;) {
    if (n < 0 && errno != ENOBUFS) {
      return errno;
    }
  }
  return 0;
}

}  // namespace linux_layer
