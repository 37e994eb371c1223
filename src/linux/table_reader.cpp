// The I/O of a read of the table: the dump socket, the request, and a poll
// of it beside the monitor's socket.
#include "table_reader.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

#include "socket.h"

namespace linux_layer {

namespace {

// The largest datagram the kernel builds for a dump.
constexpr std::size_t dump_datagram = 32768;

int ms_until(DumpRead::Clock::time_point deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - DumpRead::Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

TableReader::~TableReader() { close_fd(fd_); }

emulated::ReadResult TableReader::read(Monitor& monitor, emulated::AddressTable& table,
                                       bool after_loss) {
  buffer_.resize(dump_datagram);
  DumpRead read(table, after_loss);
  for (DumpRead::Command next = read.start();;) {
    switch (next.io) {
      case DumpRead::Io::SendRequest:
        next = send(read, next.fresh_socket);
        break;
      case DumpRead::Io::Poll:
        next = poll(monitor, read, next);
        break;
      case DumpRead::Io::Discard:
        next = read.discarded(monitor.discard());
        break;
      case DumpRead::Io::Done:
      case DumpRead::Io::Fail:
        return read.result();
    }
  }
}

DumpRead::Command TableReader::send(DumpRead& read, bool fresh_socket) {
  // The kernel refuses a new dump on a socket whose old one still runs.
  if (fresh_socket) {
    close_fd(fd_);
  }
  if (fd_ < 0 && (fd_ = open_route_socket(0, &port_)) < 0) {
    return read.broken(errno);
  }
  const std::uint32_t seq = ++seq_;
  std::uint8_t request[netlink::request_size];
  const std::size_t len = netlink::make_dump_request(request, seq);
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(fd_, request, len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
    return read.send_failed(errno);
  }
  return read.sent(seq, port_, DumpRead::Clock::now());
}

DumpRead::Command TableReader::poll(Monitor& monitor, DumpRead& read,
                                    const DumpRead::Command& next) {
  enum : std::size_t { monitor_fd, dump_fd, sockets };
  pollfd fds[sockets] = {{monitor.fd(), POLLIN, 0}, {next.reply ? fd_ : -1, POLLIN, 0}};
  if (::poll(fds, sockets, ms_until(next.deadline)) < 0 && errno != EINTR) {
    return read.broken(errno);
  }
  // The reports come first, all that are queued: a flood of changes must
  // not fill the monitor's queue while the reply is read.
  if (fds[monitor_fd].revents != 0) {
    const emulated::Drained d =
        monitor.drain([&read](const netlink::Message& report) { read.report(report); });
    if (const DumpRead::Command after = read.reports_taken(d.lost, d.error);
        after.io != DumpRead::Io::Poll) {
      return after;
    }
  }
  return fds[dump_fd].revents != 0 ? receive(read) : read.silence(DumpRead::Clock::now());
}

DumpRead::Command TableReader::receive(DumpRead& read) {
  sockaddr_nl from{};
  iovec iov{buffer_.data(), buffer_.size()};
  msghdr mh{};
  mh.msg_name = &from;
  mh.msg_namelen = sizeof from;
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  const ssize_t n = recvmsg(fd_, &mh, MSG_DONTWAIT);
  if (n < 0) {
    return read.receive_failed(errno, DumpRead::Clock::now());
  }
  return read.received(buffer_.data(), static_cast<std::size_t>(n), from.nl_pid,
                       (mh.msg_flags & MSG_TRUNC) != 0, DumpRead::Clock::now());
}

}  // namespace linux_layer
