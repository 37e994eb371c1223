// The monitor's route socket, read a message at a time.
#include "monitor.h"

#include <sys/types.h>
#include <sys/socket.h>

#include <cerrno>

#include "descriptor.h"

namespace freebsd_layer {

namespace {

// The kernel gives a route socket 8 KiB, some twenty address changes with
// the route messages that come with each. More room makes an overflow, and
// the fresh read of the table it costs, rarer; the system may allow less.
constexpr int receive_buffer = 256 * 1024;

}  // namespace

Monitor::~Monitor() { emulated::close_fd(fd_); }

int Monitor::open() {
  if (!buffer_) {
    buffer_.reset(new std::uint8_t[buffer_size]);
  }
  emulated::close_fd(fd_);
  fd_ = emulated::above_stdio(socket(PF_ROUTE, SOCK_RAW | SOCK_CLOEXEC, AF_INET));
  if (fd_ < 0) {
    return errno;
  }
  const int on = 1;
  if (setsockopt(fd_, SOL_SOCKET, SO_RERROR, &on, sizeof on) != 0) {
    const int error = errno;
    emulated::close_fd(fd_);
    return error;
  }
  // Best effort: the default still works, only overflows sooner.
  (void)setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  return 0;
}

long Monitor::receive(int flags) {
  iovec iov{buffer_.get(), buffer_size};
  msghdr mh{};
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  ssize_t n;
  // A signal is no reason to give up a wait.
  while ((n = recvmsg(fd_, &mh, flags)) < 0 && errno == EINTR) {
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

emulated::Drained Monitor::take(const routing::ReportCallback& on_report, bool wait,
                                std::size_t max_datagrams) {
  emulated::Drained d;
  for (std::size_t taken = 0; taken < max_datagrams; ++taken) {
    const long n = receive(taken == 0 && wait ? 0 : MSG_DONTWAIT);
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
                              on_report)) {
      d.lost = true;
      return d;
    }
  }
  return d;
}

int Monitor::discard() {
  for (long n; (n = receive(MSG_DONTWAIT)) != 0;) {
    if (n < 0 && errno != ENOBUFS && errno != EMSGSIZE) {
      return errno;
    }
  }
  return 0;
}

}  // namespace freebsd_layer
