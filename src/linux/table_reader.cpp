// Reading the IPv4 address table with an RTM_GETADDR dump, and the policy for
// a read that does not go through.
#include "table_reader.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <optional>

#include "socket.h"

namespace linux_layer {

namespace {

// The largest datagram the kernel builds for a dump.
constexpr std::size_t dump_datagram = 32768;

// While the table keeps changing the kernel marks every read of it as
// interrupted. Rows a read shows existed when it was read, so two reads
// together are taken as the table instead of waiting for a quiet moment.
constexpr int reads_when_interrupted = 2;

// Reads that fail or are cut short are started again, but not without end.
constexpr int failed_reads = 8;

// A read during which the kernel dropped reports is started again, for as
// long as a flood outruns the reading; this only bounds a kernel gone wrong.
constexpr int overflowed_reads = 1000;

// The kernel builds the next part of a dump while the last one is received,
// so a dump socket that stays silent this long will never speak again.
using Clock = std::chrono::steady_clock;
constexpr auto dump_silence = std::chrono::seconds(1);

int ms_until(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

bool apply(emulated::AddressTable& table, const netlink::Message& report) {
  switch (report.kind) {
    case netlink::Kind::NewAddress:
      return table.added(report.address);
    case netlink::Kind::DelAddress:
      return table.removed(report.address);
    default:
      return table.unreadable();
  }
}

TableReader::~TableReader() { close_fd(fd_); }

TableReader::Outcome TableReader::read_once(Monitor& monitor, emulated::AddressTable& table) {
  const std::uint32_t seq = ++seq_;
  std::uint8_t request[netlink::request_size];
  const std::size_t len = netlink::make_dump_request(request, seq);
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  ssize_t sent;
  do {
    sent = sendto(fd_, request, len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) {
    return {End::Failed, errno};
  }

  // Each report is kept by the table for AddressTable::end_read; one lost
  // makes the read worthless. Returns what ends the read, if anything does.
  const auto take_reports = [&]() -> std::optional<Outcome> {
    const Monitor::Drained d =
        monitor.drain([&table](const netlink::Message& report) { apply(table, report); });
    if (d.error != 0) {
      return Outcome{End::Broken, d.error};
    }
    if (d.lost) {
      return Outcome{End::ReportsLost, ENOBUFS};
    }
    return std::nullopt;
  };
  netlink::DumpReply reply(seq, port_);
  const auto read_row = [&table](const emulated::Address& a) { table.read(a); };
  auto deadline = Clock::now() + dump_silence;
  while (reply.state() == netlink::DumpReply::State::Reading) {
    enum : std::size_t { monitor_fd, dump_fd, sockets };
    pollfd fds[sockets] = {{monitor.fd(), POLLIN, 0}, {fd_, POLLIN, 0}};
    const int ready = poll(fds, sockets, ms_until(deadline));
    if (ready < 0 && errno != EINTR) {
      return {End::Broken, errno};
    }
    // Reports that keep coming must not keep a silent reply waited for.
    if (fds[dump_fd].revents == 0 && ms_until(deadline) == 0) {
      return {End::Failed, ETIMEDOUT};
    }
    if (ready <= 0) {
      continue;
    }
    // The reports come first, all that are queued: a flood of changes must
    // not fill the monitor's queue while the reply is read.
    if (fds[monitor_fd].revents != 0) {
      if (const auto end = take_reports()) {
        return *end;
      }
    }
    if (fds[dump_fd].revents == 0) {
      continue;
    }
    sockaddr_nl from{};
    iovec iov{buffer_.data(), buffer_.size()};
    msghdr mh{};
    mh.msg_name = &from;
    mh.msg_namelen = sizeof from;
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    const ssize_t n = recvmsg(fd_, &mh, MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) {
        continue;
      }
      // ENOBUFS among them: the kernel could not build the next part, and
      // will queue nothing more for this request.
      return {End::Failed, errno};
    }
    if (from.nl_pid != 0) {
      continue;
    }
    if ((mh.msg_flags & MSG_TRUNC) != 0) {
      return {End::Failed, EMSGSIZE};
    }
    reply.take(buffer_.data(), static_cast<std::size_t>(n), read_row);
    deadline = Clock::now() + dump_silence;
  }
  if (reply.state() == netlink::DumpReply::State::Failed) {
    return {End::Failed, reply.error()};
  }
  // Every report of a change that the reply could show is queued by now.
  if (const auto end = take_reports()) {
    return *end;
  }
  return {reply.state() == netlink::DumpReply::State::Whole ? End::Whole : End::Interrupted};
}

TableReader::Result TableReader::read(Monitor& monitor, emulated::AddressTable& table) {
  buffer_.resize(dump_datagram);
  table.begin_read();
  bool lost = false;
  int interrupted = 0;
  int failed = 0;
  int overflowed = 0;
  for (;;) {
    if (fd_ < 0 && (fd_ = open_route_socket(0, &port_)) < 0) {
      return {errno};
    }
    const Outcome r = read_once(monitor, table);
    switch (r.end) {
      case End::Whole:
        return {0, table.end_read() || lost};
      case End::Interrupted:
        ++interrupted;
        if (interrupted == reads_when_interrupted) {
          return {0, table.end_read() || lost};
        }
        continue;  // on the same socket: its dump is over
      case End::Failed:
        ++failed;
        if (failed == failed_reads) {
          return {r.error};
        }
        break;
      case End::ReportsLost:
        ++overflowed;
        if (overflowed == overflowed_reads) {
          return {r.error};
        }
        // What the reads found may have gone since, unseen: start afresh once
        // the queue is empty and the kernel queues reports again.
        if (const int error = monitor.discard(); error != 0) {
          return {error};
        }
        lost = true;
        interrupted = 0;
        table.begin_read();
        break;
      case End::Broken:
        return {r.error};
    }
    // The kernel refuses a new dump on a socket whose old one still runs.
    close_fd(fd_);
  }
}

}  // namespace linux_layer
