// The monitor's route socket, read a message at a time, and the untimed
// wait on it and on standard output.
#include "monitor.h"

#include <sys/types.h>
#include <sys/event.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace freebsd_layer {

namespace {

// The kernel gives a route socket 8 KiB, some twenty address changes with
// the route messages that come with each. More room makes an overflow, and
// the fresh read of the table it costs, rarer; the system may allow less.
constexpr int receive_buffer = 256 * 1024;

}  // namespace

Monitor::~Monitor() {
  emulated::close_fd(kqueue_);
  emulated::close_fd(fd_);
}

int Monitor::open() {
  if (!buffer_) {
    buffer_.reset(new std::uint8_t[buffer_size]);
  }
  emulated::close_fd(kqueue_);
  emulated::close_fd(fd_);
  view_.open();
  fd_ = emulated::above_stdio(socket(PF_ROUTE, SOCK_RAW | SOCK_CLOEXEC, AF_INET));
  if (fd_ < 0) {
    return errno;
  }
  const int on = 1;
  if (setsockopt(fd_, SOL_SOCKET, SO_RERROR, &on, sizeof on) != 0) {
    return errno;
  }
  // Best effort: the default still works, only overflows sooner.
  (void)setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  if (const int error = emulated::queue_bytes(fd_, queue_bytes_); error != 0) {
    return error;
  }
  queue_bytes_ += buffer_size;  // a datagram past the limit
  kqueue_ = emulated::above_stdio(kqueuex(KQUEUE_CLOEXEC));
  if (kqueue_ < 0) {
    return errno;
  }
  struct kevent watch;
  EV_SET(&watch, fd_, EVFILT_READ, EV_ADD, 0, 0, nullptr);
  if (kevent(kqueue_, &watch, 1, nullptr, 0, nullptr) != 0) {
    return errno;
  }
  output_ = emulated::standard_output();
  if (output_ == emulated::StandardOutput::Piped) {
    // A pipe or socket whose reader has gone is told by EV_EOF on its write
    // filter. The filter also fires whenever there is room to write, at
    // most once for each time the reader takes something (EV_CLEAR), which
    // wakes the wait only as often as lines are read.
    EV_SET(&watch, STDOUT_FILENO, EVFILT_WRITE, EV_ADD | EV_CLEAR, 0, 0, nullptr);
    if (kevent(kqueue_, &watch, 1, nullptr, 0, nullptr) != 0) {
      if (errno != EPIPE) {
        return errno;
      }
      // The reader of the pipe went before the watch began.
      output_ = emulated::StandardOutput::Closed;
    }
  }
  return 0;
}

long Monitor::receive() {
  iovec iov{buffer_.get(), buffer_size};
  msghdr mh{};
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  ssize_t n;
  while ((n = recvmsg(fd_, &mh, MSG_DONTWAIT)) < 0 && errno == EINTR) {
  }
  if (n < 0) {
    return errno == EAGAIN ? 0 : -1;
  }
  if ((mh.msg_flags & MSG_TRUNC) != 0) {
    errno = EMSGSIZE;
    return -1;
  }
  return n;
}

emulated::Drained Monitor::drain(const routing::ReportCallback& on_report) {
  return take(on_report, nullptr);
}

emulated::Drained Monitor::wait_and_drain(const routing::ReportCallback& on_report) {
  emulated::Drained d;
  if (output_ == emulated::StandardOutput::Closed) {
    d.reader_gone = true;
    return d;
  }
  for (bool readable = false; !readable;) {
    struct kevent ready[2];
    // No time-out: a signal is no reason to give up a wait.
    const int n = kevent(kqueue_, nullptr, 0, ready, 2, nullptr);
    if (n < 0 && errno != EINTR) {
      d.error = errno;
      return d;
    }
    for (int i = 0; i < n; ++i) {
      if (ready[i].filter == EVFILT_WRITE) {
        if ((ready[i].flags & EV_EOF) != 0) {
          d.reader_gone = true;
          return d;
        }
      } else {
        readable = true;
      }
    }
  }
  emulated::DrainBudget budget(queue_bytes_);
  return take(on_report, &budget);
}

emulated::Drained Monitor::take(const routing::ReportCallback& on_report,
                                emulated::DrainBudget* budget) {
  emulated::Drained d;
  // In a jail, only what it sees; elsewhere nothing stands between.
  routing::ReportCallback seen;
  if (view_.restricted()) {
    seen = [this, &on_report](const routing::Message& report) {
      if (view_.sees(report)) {
        on_report(report);
      }
    };
  }
  const routing::ReportCallback& hand_on = seen ? seen : on_report;
  for (;;) {
    const long n = receive();
    if (n == 0) {
      return d;
    }
    if (n < 0) {
      // ENOBUFS: the queue overflowed, and the kernel dropped reports. It
      // is told once what was queued before has been read.
      if (errno == ENOBUFS || errno == EMSGSIZE) {
        d.lost = true;
      } else {
        d.error = errno;
      }
      return d;
    }
    if (!routing::each_report(buffer_.get(), static_cast<std::size_t>(n), routing::freebsd_rounding,
                              hand_on)) {
      d.lost = true;
      return d;
    }
    if (budget != nullptr && !budget->take(static_cast<std::size_t>(n))) {
      return d;
    }
  }
}

int Monitor::discard() {
  for (long n; (n = receive()) != 0;) {
    if (n < 0 && errno != ENOBUFS && errno != EMSGSIZE) {
      return errno;
    }
  }
  return 0;
}

}  // namespace freebsd_layer
