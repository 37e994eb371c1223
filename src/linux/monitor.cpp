// The monitor socket, drained in batches of datagrams: one system call for
// all that is queued; and the untimed wait on it and on standard output.
#include "monitor.h"

#include <linux/rtnetlink.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>

#include "socket.h"

namespace linux_layer {

Monitor::~Monitor() {
  close_fd(epoll_);
  close_fd(fd_);
}

int Monitor::open() {
  if (!buffer_) {
    buffer_.reset(new std::uint8_t[slots * slot_size]);
  }
  close_fd(epoll_);
  close_fd(fd_);
  fd_ = open_route_socket(RTMGRP_IPV4_IFADDR, nullptr);
  if (fd_ < 0) {
    return errno;
  }
  if (const int error = emulated::queue_bytes(fd_, queue_bytes_); error != 0) {
    return error;
  }
  queue_bytes_ += slot_size;  // a datagram past the limit
  epoll_ = emulated::above_stdio(epoll_create1(EPOLL_CLOEXEC));
  if (epoll_ < 0) {
    return errno;
  }
  epoll_event socket_ready{};
  socket_ready.events = EPOLLIN;
  socket_ready.data.fd = fd_;
  if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd_, &socket_ready) != 0) {
    return errno;
  }
  output_ = emulated::standard_output();
  if (output_ == emulated::StandardOutput::Piped) {
    // No event asked for: epoll always tells of EPOLLERR, which a pipe
    // whose last reader has closed has, and EPOLLHUP, which a socket whose
    // peer has gone has; a reader that reads, or a full pipe, wakes nothing.
    epoll_event reader_gone{};
    reader_gone.data.fd = STDOUT_FILENO;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, STDOUT_FILENO, &reader_gone) != 0) {
      return errno;
    }
  }
  return 0;
}

int Monitor::receive() {
  for (std::size_t i = 0; i < slots; ++i) {
    iov_[i] = {buffer_.get() + i * slot_size, slot_size};
    batch_[i] = {};
    batch_[i].msg_hdr.msg_iov = &iov_[i];
    batch_[i].msg_hdr.msg_iovlen = 1;
    batch_[i].msg_hdr.msg_name = &from_[i];
    batch_[i].msg_hdr.msg_namelen = sizeof from_[i];
  }
  int n;
  while ((n = recvmmsg(fd_, batch_.data(), slots, MSG_DONTWAIT, nullptr)) < 0 && errno == EINTR) {
  }
  return n < 0 && errno == EAGAIN ? 0 : n;
}

emulated::Drained Monitor::drain(const netlink::ReportCallback& on_report) {
  return take(on_report, nullptr);
}

emulated::Drained Monitor::wait_and_drain(const netlink::ReportCallback& on_report) {
  emulated::Drained d;
  if (output_ == emulated::StandardOutput::Closed) {
    d.reader_gone = true;
    return d;
  }
  epoll_event ready[2];
  int n;
  // A signal is no reason to give up a wait.
  while ((n = epoll_wait(epoll_, ready, 2, -1)) < 0 && errno == EINTR) {
  }
  if (n < 0) {
    d.error = errno;
    return d;
  }
  for (int i = 0; i < n; ++i) {
    if (ready[i].data.fd == STDOUT_FILENO) {
      d.reader_gone = true;
      return d;
    }
  }
  emulated::DrainBudget budget(queue_bytes_);
  return take(on_report, &budget);
}

emulated::Drained Monitor::take(const netlink::ReportCallback& on_report,
                                emulated::DrainBudget* budget) {
  emulated::Drained d;
  for (;;) {
    const int n = receive();
    if (n < 0) {
      // ENOBUFS: the queue overflowed, and the kernel dropped reports.
      if (errno == ENOBUFS) {
        d.lost = true;
      } else {
        d.error = errno;
      }
      return d;
    }
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) {
      const msghdr& mh = batch_[i].msg_hdr;
      bytes += batch_[i].msg_len;
      if (from_[i].nl_pid != 0) {
        continue;  // only the kernel speaks for the table
      }
      if ((mh.msg_flags & MSG_TRUNC) != 0 ||
          !netlink::each_report(buffer_.get() + i * slot_size, batch_[i].msg_len, on_report)) {
        d.lost = true;
      }
    }
    if (d.lost || n < static_cast<int>(slots) || (budget != nullptr && !budget->take(bytes))) {
      return d;
    }
  }
}

int Monitor::discard() {
  for (int n; (n = receive()) != 0;) {
    if (n < 0 && errno != ENOBUFS) {
      return errno;
    }
  }
  return 0;
}

}  // namespace linux_layer
