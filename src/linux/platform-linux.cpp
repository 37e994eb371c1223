// The Linux layer under the watch loop: its event, its address-change request
// and its untimed wait, made of two rtnetlink sockets and a copy of the IPv4
// address table. The kernel's reports go to the table, which says which of
// them are changes.
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <new>
#include <vector>

#include "address_table.h"
#include "netlink.h"
#include "platform.h"

namespace {

thread_local int last_error = 0;

// The monitor socket is read a batch of datagrams at a time, one system call
// for all that is queued; an address report is far smaller than a slot. A dump
// datagram (32 KiB at most) goes into the same buffer.
constexpr std::size_t slots = 16;
constexpr std::size_t slot_size = 4096;
constexpr std::size_t buffer_size = slots * slot_size;

// Once a change is seen, what is already queued is taken in with it, so that
// changes that came together give one line; but a flood must not hold the
// line back for ever.
constexpr int batches_per_drain = 16;

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
constexpr auto dump_silence = std::chrono::seconds(1);

struct Event {
  bool signalled = false;
};

struct Watch {
  int monitor = -1;  // subscribed to IPv4 address reports for the life of the watch
  int dumper = -1;   // asks the kernel for the whole table
  std::uint32_t dumper_port = 0;
  std::uint32_t seq = 0;
  int broken = 0;                 // errno that ended the watch, 0 while it works
  bool unreported = false;        // a change seen before any request could report it
  OVERLAPPED* pending = nullptr;  // the outstanding request
  emulated::AddressTable table;
  std::vector<std::uint8_t> buffer;
};

// The layer has one event and one watch, which is all the loop needs. Their
// handles are these objects' addresses, so a handle is checked by comparing
// it, never by reading through it.
Event the_event;
bool event_made = false;
Watch the_watch;

DWORD fail(int error) {
  last_error = error;
  return static_cast<DWORD>(error);
}

void close_fd(int& fd) {
  if (fd >= 0) {
    close(fd);
    fd = -1;
  }
}

// A netlink socket on 0, 1 or 2 would receive whatever the program prints, so
// a descriptor there is moved up and the low slot left closed.
int above_stdio(int fd) {
  if (fd < 0 || fd > STDERR_FILENO) {
    return fd;
  }
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  // F_DUPFD says EINVAL when no descriptor above 2 is allowed at all.
  const int saved = moved < 0 && errno == EINVAL ? EMFILE : errno;
  close(fd);
  errno = saved;
  return moved;
}

int open_socket(std::uint32_t groups, std::uint32_t* port) {
  const int fd = above_stdio(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (fd < 0) {
    return -1;
  }
  sockaddr_nl addr{};
  addr.nl_family = AF_NETLINK;
  addr.nl_groups = groups;
  socklen_t addr_len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      (port != nullptr && getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &addr_len) != 0)) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  if (port != nullptr) {
    *port = addr.nl_pid;
  }
  return fd;
}

// Points each slot of a batch at its part of the buffer, and at a place for
// its sender unless from is null.
void aim(Watch& w, mmsghdr* batch, iovec* iov, sockaddr_nl* from) {
  for (std::size_t i = 0; i < slots; ++i) {
    iov[i] = {w.buffer.data() + i * slot_size, slot_size};
    batch[i] = {};
    batch[i].msg_hdr.msg_iov = &iov[i];
    batch[i].msg_hdr.msg_iovlen = 1;
    if (from != nullptr) {
      batch[i].msg_hdr.msg_name = &from[i];
      batch[i].msg_hdr.msg_namelen = sizeof from[i];
    }
  }
}

// Reads one batch from the monitor socket and hands each report to the
// table. Returns the number of datagrams read (0 when nothing was queued and
// flags do not block), or -1 with errno once the socket is broken. Sets
// *changed when a report was a change, and *lost when the kernel dropped
// reports or a datagram could not be read whole: only a fresh read of the
// table can be trusted then.
int take_reports(Watch& w, int flags, bool* changed, bool* lost) {
  sockaddr_nl from[slots];
  iovec iov[slots];
  mmsghdr batch[slots];
  aim(w, batch, iov, from);
  int n;
  // A signal is no reason to give up a wait.
  while ((n = recvmmsg(w.monitor, batch, slots, flags, nullptr)) < 0 && errno == EINTR) {
  }
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      return 0;
    }
    if (errno == ENOBUFS) {
      *lost = true;
      return 0;
    }
    return -1;
  }
  for (int i = 0; i < n; ++i) {
    const msghdr& mh = batch[i].msg_hdr;
    if (mh.msg_namelen < sizeof(sockaddr_nl) || from[i].nl_pid != 0) {
      continue;  // only the kernel speaks for the table
    }
    if ((mh.msg_flags & MSG_TRUNC) != 0) {
      *lost = true;
      continue;
    }
    const std::uint8_t* data = w.buffer.data() + static_cast<std::size_t>(i) * slot_size;
    std::size_t offset = 0;
    netlink::Message msg;
    netlink::Step step;
    while ((step = netlink::next(data, batch[i].msg_len, offset, msg)) == netlink::Step::Message) {
      bool change = false;
      if (msg.kind == netlink::Kind::NewAddress) {
        change = w.table.added(msg.address);
      } else if (msg.kind == netlink::Kind::DelAddress) {
        change = w.table.removed(msg.address);
      } else if (msg.kind == netlink::Kind::Unreadable) {
        change = w.table.unreadable();
      }
      *changed = *changed || change;
    }
    if (step == netlink::Step::Malformed) {
      *lost = true;
    }
  }
  return n;
}

// Reads the monitor socket to its end, for what it holds no longer counts.
// After an overflow the kernel drops every new report, without telling
// again, until the queue has been emptied; nothing is queued meanwhile, so
// this ends. Returns 0, or an errno value.
int discard_reports(Watch& w) {
  mmsghdr batch[slots];
  iovec iov[slots];
  aim(w, batch, iov, nullptr);
  for (;;) {
    const int n = recvmmsg(w.monitor, batch, slots, MSG_DONTWAIT, nullptr);
    if (n < 0 && errno != EINTR && errno != ENOBUFS) {
      return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : errno;
    }
  }
}

enum class ReadEnd { Whole, Interrupted, Failed, ReportsLost, Broken };

struct ReadOutcome {
  ReadEnd end;
  int error = 0;
};

int ms_until(std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Asks for the table once and reads the reply into the table, taking in the
// monitor's reports all the while, so that none is lost to an overflow and
// each is kept for AddressTable::end_read.
ReadOutcome read_once(Watch& w) {
  const std::uint32_t seq = ++w.seq;
  std::uint8_t request[netlink::request_size];
  const std::size_t len = netlink::make_dump_request(request, seq);
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  ssize_t sent;
  do {
    sent = sendto(w.dumper, request, len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) {
    return {ReadEnd::Failed, errno};
  }

  netlink::DumpReply reply(seq, w.dumper_port);
  auto deadline = std::chrono::steady_clock::now() + dump_silence;
  while (reply.state() == netlink::DumpReply::State::Reading) {
    pollfd fds[2] = {{w.monitor, POLLIN, 0}, {w.dumper, POLLIN, 0}};
    const int ready = poll(fds, 2, ms_until(deadline));
    if (ready < 0 && errno != EINTR) {
      return {ReadEnd::Broken, errno};
    }
    if (ready == 0 && ms_until(deadline) == 0) {
      return {ReadEnd::Failed, ETIMEDOUT};
    }
    if (ready <= 0) {
      continue;
    }
    // The reports come first, all that are queued: a flood of changes must
    // not fill the monitor's queue while the reply is read.
    for (int n = fds[0].revents != 0 ? static_cast<int>(slots) : 0; n == static_cast<int>(slots);) {
      bool changed = false;
      bool lost = false;
      n = take_reports(w, MSG_DONTWAIT, &changed, &lost);
      if (n < 0) {
        return {ReadEnd::Broken, errno};
      }
      if (lost) {
        return {ReadEnd::ReportsLost, ENOBUFS};
      }
    }
    if (fds[1].revents == 0) {
      continue;
    }
    sockaddr_nl from{};
    iovec iov{w.buffer.data(), w.buffer.size()};
    msghdr mh{};
    mh.msg_name = &from;
    mh.msg_namelen = sizeof from;
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    const ssize_t n = recvmsg(w.dumper, &mh, MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
        continue;
      }
      // ENOBUFS among them: the kernel could not build the next part, and
      // will queue nothing more for this request.
      return {ReadEnd::Failed, errno};
    }
    if (mh.msg_namelen < sizeof from || from.nl_pid != 0) {
      continue;
    }
    if ((mh.msg_flags & MSG_TRUNC) != 0) {
      return {ReadEnd::Failed, EMSGSIZE};
    }
    reply.take(w.buffer.data(), static_cast<std::size_t>(n), w.table);
    deadline = std::chrono::steady_clock::now() + dump_silence;
  }
  if (reply.state() == netlink::DumpReply::State::Failed) {
    return {ReadEnd::Failed, reply.error()};
  }
  // Every report of a change that the reply could show is queued by now.
  for (bool changed = false, lost = false;;) {
    const int n = take_reports(w, MSG_DONTWAIT, &changed, &lost);
    if (n < 0) {
      return {ReadEnd::Broken, errno};
    }
    if (lost) {
      return {ReadEnd::ReportsLost, ENOBUFS};
    }
    if (n == 0) {
      break;
    }
  }
  return {reply.state() == netlink::DumpReply::State::Whole ? ReadEnd::Whole
                                                            : ReadEnd::Interrupted};
}

// Reads the whole table afresh; the monitor must be subscribed already, so
// that every change from then on is in the read or in the reports, never in
// neither. Sets *reported when a report came in meanwhile. Returns 0, or an
// errno value.
int read_table(Watch& w, bool* reported) {
  w.table.begin_read();
  bool lost = false;
  int interrupted = 0;
  int failed = 0;
  int overflowed = 0;
  for (;;) {
    if (w.dumper < 0) {
      w.dumper = open_socket(0, &w.dumper_port);
      if (w.dumper < 0) {
        return errno;
      }
    }
    const ReadOutcome r = read_once(w);
    if (r.end == ReadEnd::Whole ||
        (r.end == ReadEnd::Interrupted && ++interrupted == reads_when_interrupted)) {
      break;
    }
    if (r.end == ReadEnd::Interrupted) {
      continue;
    }
    if (r.end == ReadEnd::Broken || (r.end == ReadEnd::Failed && ++failed == failed_reads) ||
        (r.end == ReadEnd::ReportsLost && ++overflowed == overflowed_reads)) {
      return r.error;
    }
    // The kernel refuses a new dump on a socket whose old one still runs.
    close_fd(w.dumper);
    if (r.end == ReadEnd::ReportsLost) {
      // What the reads found may have gone since, unseen: start afresh once
      // the queue is empty and the kernel queues reports again.
      lost = true;
      interrupted = 0;
      const int error = discard_reports(w);
      if (error != 0) {
        return error;
      }
      w.table.begin_read();
    }
  }
  *reported = w.table.end_read() || lost;
  return 0;
}

void close_watch(Watch& w) {
  close_fd(w.monitor);
  close_fd(w.dumper);
  w = Watch{};
}

// Subscribes first and reads the table second. Returns 0, or an errno value.
int open_watch(Watch& w) {
  w.buffer.resize(buffer_size);
  w.monitor = open_socket(RTMGRP_IPV4_IFADDR, nullptr);
  if (w.monitor < 0) {
    return errno;
  }
  // A change made while the first request reads the table is a change, and
  // which reports in that window are mere refreshes can't be told: each one
  // counts.
  return read_table(w, &w.unreported);
}

// Blocks until the monitor brings a change. Returns 0, or an errno value
// once the watch is broken.
int wait_for_change(Watch& w) {
  for (;;) {
    bool changed = false;
    bool lost = false;
    int n = take_reports(w, MSG_WAITFORONE, &changed, &lost);
    for (int round = 1; n == static_cast<int>(slots) && !lost && round < batches_per_drain;
         ++round) {
      n = take_reports(w, MSG_DONTWAIT, &changed, &lost);
    }
    if (n < 0) {
      return errno;
    }
    if (lost) {
      // Something may have changed unseen: a fresh read, and a line for it.
      bool reported = false;
      const int error = discard_reports(w);
      return error != 0 ? error : read_table(w, &reported);
    }
    if (changed) {
      return 0;
    }
  }
}

}  // namespace

int WSAStartup(WORD version, WSADATA* data) {
  if (data != nullptr) {
    data->wVersion = version;
    data->wHighVersion = MAKEWORD(2, 2);
  }
  return 0;
}

WSAEVENT WSACreateEvent() {
  the_event.signalled = false;
  event_made = true;
  return &the_event;
}

int WSAGetLastError() { return last_error; }

DWORD NotifyAddrChange(HANDLE* handle, OVERLAPPED* overlapped) {
  if (handle == nullptr || overlapped == nullptr || !event_made ||
      overlapped->hEvent != &the_event || (*handle != nullptr && *handle != &the_watch)) {
    return fail(EINVAL);
  }
  Watch& w = the_watch;
  if (*handle == nullptr) {
    // A first request starts a watch of its own.
    close_watch(w);
    int error;
    try {
      error = open_watch(w);
    } catch (const std::bad_alloc&) {
      error = ENOMEM;
    }
    if (error != 0) {
      close_watch(w);
      return fail(error);
    }
    *handle = &the_watch;
  }
  if (w.monitor < 0) {
    return fail(EBADF);
  }
  if (w.broken != 0) {
    return fail(w.broken);
  }
  the_event.signalled = false;
  overlapped->Internal = STATUS_PENDING;
  w.pending = overlapped;
  last_error = ERROR_IO_PENDING;
  return static_cast<DWORD>(ERROR_IO_PENDING);
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  if (handle != &the_event || !event_made || milliseconds != INFINITE) {
    last_error = EINVAL;
    return WAIT_FAILED;
  }
  if (the_event.signalled) {
    return WAIT_OBJECT_0;
  }
  Watch& w = the_watch;
  if (w.pending == nullptr || w.pending->hEvent != handle) {
    last_error = EINVAL;  // nothing could ever signal the event
    return WAIT_FAILED;
  }
  if (!w.unreported) {
    try {
      w.broken = wait_for_change(w);
    } catch (const std::bad_alloc&) {
      w.broken = ENOMEM;
    }
    if (w.broken != 0) {
      last_error = w.broken;
      return WAIT_FAILED;
    }
  }
  w.unreported = false;
  w.pending->Internal = 0;
  w.pending = nullptr;
  the_event.signalled = true;
  return WAIT_OBJECT_0;
}
