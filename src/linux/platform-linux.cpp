// The Linux layer under the watch loop: events, address-change requests and
// waits, made of two rtnetlink sockets and a copy of the IPv4 address table.
// A change is a kernel message that adds a row the table lacks or removes one
// it has; refreshes of a row already there are not changes.
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

#include "netlink.h"
#include "platform.h"

namespace {

thread_local int last_error = 0;

constexpr std::uint32_t event_magic = 0x4e43'4556;  // "NCEV"
constexpr std::uint32_t watch_magic = 0x4e43'5754;  // "NCWT"

// Large enough for any datagram the kernel builds for a dump or a broadcast.
constexpr std::size_t buffer_size = std::size_t{64} * 1024;

// The monitor socket is read a batch of datagrams at a time, one system call
// for all that is queued; an address notification is far smaller than a slot.
constexpr std::size_t slots = 16;
constexpr std::size_t slot_size = buffer_size / slots;

// A flood of changes must not hold the line back for ever: after this many
// batches in one go, what was seen is reported and the rest waits for the next pass.
constexpr int batches_per_drain = 16;

// Dumps that the kernel marks interrupted are retried, but not without end.
constexpr int dump_attempts = 1000;

struct Watch;

struct Event {
  std::uint32_t magic = event_magic;
  Event* next = nullptr;  // the layer's list of every event it has made
  bool signalled = false;
  Watch* watch = nullptr;  // the watch whose request will signal this event
};

struct Watch {
  std::uint32_t magic = watch_magic;
  Watch* next = nullptr;  // the layer's list of every watch it has opened
  int monitor = -1;       // subscribed to IPv4 address changes for the life of the process
  int dumper = -1;        // asks the kernel for the whole table
  std::uint32_t dumper_port = 0;
  std::uint32_t seq = 0;
  int broken = 0;  // errno that ended the watch, 0 while it works
  OVERLAPPED* pending = nullptr;
  netlink::AddressTable table;
  std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(buffer_size);
};

// Handles belong to the process, as in a handle table, until it ends: the
// caller need not keep them anywhere to keep them from being lost.
Event* all_events = nullptr;
Watch* all_watches = nullptr;

Event* as_event(HANDLE h) {
  auto* e = static_cast<Event*>(h);
  return e != nullptr && e->magic == event_magic ? e : nullptr;
}

// A netlink socket on 0, 1 or 2 would receive whatever the program prints, so
// a descriptor there is moved up and the low slot left closed.
int above_stdio(int fd) {
  if (fd < 0 || fd > STDERR_FILENO) {
    return fd;
  }
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  const int saved = errno;
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

// Receives one datagram into the watch's buffer. Returns its length, or -1
// with errno. *from_kernel tells whether the kernel (port 0) sent it.
ssize_t receive(Watch& w, int fd, int flags, bool* from_kernel, bool* truncated) {
  sockaddr_nl from{};
  iovec iov{w.buffer.data(), w.buffer.size()};
  msghdr mh{};
  mh.msg_name = &from;
  mh.msg_namelen = sizeof from;
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  const ssize_t n = recvmsg(fd, &mh, flags);
  if (n >= 0) {
    *from_kernel =
        mh.msg_namelen >= sizeof from && from.nl_family == AF_NETLINK && from.nl_pid == 0;
    *truncated = (mh.msg_flags & MSG_TRUNC) != 0;
  }
  return n;
}

// Reads the whole table afresh into w.table. Returns 0, or an errno value.
int dump(Watch& w) {
  for (int attempt = 0; attempt < dump_attempts; ++attempt) {
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
      return errno;
    }

    netlink::AddressTable fresh;
    bool intact = true;
    bool done = false;
    while (!done) {
      bool from_kernel = false;
      bool truncated = false;
      const ssize_t n = receive(w, w.dumper, 0, &from_kernel, &truncated);
      if (n < 0) {
        if (errno == EINTR) {
          continue;
        }
        if (errno == ENOBUFS) {
          // Part of the reply was dropped; the rest still ends with NLMSG_DONE.
          intact = false;
          continue;
        }
        return errno;
      }
      if (!from_kernel) {
        continue;
      }
      if (truncated) {
        intact = false;
      }
      std::size_t offset = 0;
      netlink::Message msg;
      netlink::Step step;
      while ((step = netlink::next(w.buffer.data(), static_cast<std::size_t>(n), offset, msg)) ==
             netlink::Step::Message) {
        if (msg.seq != seq || msg.port != w.dumper_port) {
          continue;  // a reply to some earlier request
        }
        if ((msg.flags & NLM_F_DUMP_INTR) != 0) {
          intact = false;
        }
        if (msg.kind == netlink::Kind::NewAddress) {
          fresh.insert(msg.row);
        } else if (msg.kind == netlink::Kind::Error) {
          return msg.error != 0 ? msg.error : EPROTO;
        } else if (msg.kind == netlink::Kind::Done) {
          done = true;
        }
      }
      if (step == netlink::Step::Malformed) {
        intact = false;
        // Whether NLMSG_DONE was in the unreadable part cannot be known; a
        // fresh request will have to do.
        break;
      }
    }
    if (intact && done) {
      w.table.swap(fresh);
      return 0;
    }
    if (!done) {
      // Drain what may still be coming for the abandoned request before asking again.
      bool from_kernel = false;
      bool truncated = false;
      while (receive(w, w.dumper, MSG_DONTWAIT, &from_kernel, &truncated) >= 0 || errno == EINTR) {
      }
    }
  }
  return EAGAIN;
}

void close_watch(Watch* w) {
  if (w->monitor >= 0) {
    close(w->monitor);
  }
  if (w->dumper >= 0) {
    close(w->dumper);
  }
  delete w;
}

// Subscribes first and reads the table second, so that a change made between
// the two is in the table or in the socket, never in neither.
Watch* open_watch(int* error) {
  auto* w = new (std::nothrow) Watch;
  if (w == nullptr) {
    *error = ENOMEM;
    return nullptr;
  }
  w->monitor = open_socket(RTMGRP_IPV4_IFADDR, nullptr);
  if (w->monitor >= 0) {
    w->dumper = open_socket(0, &w->dumper_port);
  }
  if (w->monitor < 0 || w->dumper < 0) {
    *error = errno;
    close_watch(w);
    return nullptr;
  }
  *error = dump(*w);
  if (*error != 0) {
    close_watch(w);
    return nullptr;
  }
  w->next = all_watches;
  all_watches = w;
  return w;
}

enum class Drained { Nothing, Changed, Broken };

// Reads what the monitor socket holds and applies it to the table. With
// block set, waits for the first datagram in the same call that takes the rest.
Drained drain(Watch& w, bool block) {
  bool changed = false;
  bool resync = false;
  sockaddr_nl from[slots];
  iovec iov[slots];
  mmsghdr batch[slots];
  int flags = block ? MSG_WAITFORONE : MSG_DONTWAIT;
  // Once a resync is due the queue is read to its end, however long it is:
  // after an overflow the kernel drops every new message, without telling
  // again, until the queue has been emptied, so a table read before then
  // could miss a change. After an overflow nothing new is queued meanwhile;
  // after a truncated or garbled datagram, reading outpaces any stream of
  // changes. Either way this ends.
  for (int round = 0; resync || round < batches_per_drain; ++round) {
    for (std::size_t i = 0; i < slots; ++i) {
      iov[i] = {w.buffer.data() + i * slot_size, slot_size};
      batch[i] = {};
      batch[i].msg_hdr.msg_name = &from[i];
      batch[i].msg_hdr.msg_namelen = sizeof from[i];
      batch[i].msg_hdr.msg_iov = &iov[i];
      batch[i].msg_hdr.msg_iovlen = 1;
    }
    const int n = recvmmsg(w.monitor, batch, slots, flags, nullptr);
    if (n < 0) {
      if (errno == EINTR) {
        continue;  // a signal is no reason to give up the wait
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        break;
      }
      if (errno == ENOBUFS) {
        // Messages were dropped: only a fresh copy of the table can be
        // trusted now, and something may have changed unseen.
        resync = true;
        flags = MSG_DONTWAIT;
        continue;
      }
      w.broken = errno;
      return Drained::Broken;
    }
    flags = MSG_DONTWAIT;
    for (int i = 0; i < n && !resync; ++i) {
      const msghdr& mh = batch[i].msg_hdr;
      if (mh.msg_namelen < sizeof(sockaddr_nl) || from[i].nl_pid != 0) {
        continue;  // only the kernel speaks for the table
      }
      if ((mh.msg_flags & MSG_TRUNC) != 0) {
        resync = true;
        break;
      }
      const std::uint8_t* data = w.buffer.data() + static_cast<std::size_t>(i) * slot_size;
      std::size_t offset = 0;
      netlink::Message msg;
      netlink::Step step;
      while ((step = netlink::next(data, batch[i].msg_len, offset, msg)) ==
             netlink::Step::Message) {
        changed = w.table.apply(msg) || changed;
      }
      if (step == netlink::Step::Malformed) {
        resync = true;
      }
    }
    // A short batch means the queue ran dry, unless only an error cut it short;
    // a resync wants to see that for itself.
    if (static_cast<std::size_t>(n) < slots && !resync) {
      break;
    }
  }
  if (resync) {
    const int error = dump(w);
    if (error != 0) {
      w.broken = error;
      return Drained::Broken;
    }
    return Drained::Changed;
  }
  return changed ? Drained::Changed : Drained::Nothing;
}

void complete(Watch& w, Event& e) {
  w.pending->Internal = 0;
  w.pending = nullptr;
  e.signalled = true;
}

int remaining_ms(std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
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
  auto* e = new (std::nothrow) Event;
  if (e == nullptr) {
    last_error = ENOMEM;
    return WSA_INVALID_EVENT;
  }
  e->next = all_events;
  all_events = e;
  return e;
}

int WSAGetLastError() { return last_error; }

DWORD NotifyAddrChange(HANDLE* handle, OVERLAPPED* overlapped) {
  Event* e = overlapped != nullptr ? as_event(overlapped->hEvent) : nullptr;
  if (handle == nullptr || e == nullptr) {
    last_error = EINVAL;
    return static_cast<DWORD>(last_error);
  }
  auto* w = static_cast<Watch*>(*handle);
  if (w == nullptr) {
    int error = 0;
    w = open_watch(&error);
    if (w == nullptr) {
      last_error = error != 0 ? error : EIO;
      return static_cast<DWORD>(last_error);
    }
    *handle = w;
  } else if (w->magic != watch_magic) {
    last_error = EBADF;
    return static_cast<DWORD>(last_error);
  }
  if (w->broken != 0) {
    last_error = w->broken;
    return static_cast<DWORD>(last_error);
  }
  e->signalled = false;
  e->watch = w;
  overlapped->Internal = STATUS_PENDING;
  w->pending = overlapped;
  last_error = ERROR_IO_PENDING;
  return static_cast<DWORD>(ERROR_IO_PENDING);
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  Event* e = as_event(handle);
  if (e == nullptr) {
    last_error = EINVAL;
    return WAIT_FAILED;
  }
  const bool forever = milliseconds == INFINITE;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(forever ? 0 : milliseconds);
  // Without a request outstanding on it, nothing will signal the event: the
  // wait just runs out its time, as it would on Windows.
  Watch* w = e->watch;
  if (w != nullptr && (w->pending == nullptr || w->pending->hEvent != handle)) {
    w = nullptr;
  }
  while (!e->signalled) {
    if (!forever || w == nullptr) {
      pollfd pfd{w != nullptr ? w->monitor : -1, POLLIN, 0};
      const int ready = poll(&pfd, 1, forever ? -1 : remaining_ms(deadline));
      if (ready < 0 && errno != EINTR) {
        last_error = errno;
        return WAIT_FAILED;
      }
      if (ready <= 0 || w == nullptr) {
        // Interrupted by a signal, or not yet time: wait on. Without a watch
        // poll has no descriptor that could be ready.
        if (forever || remaining_ms(deadline) > 0) {
          continue;
        }
        return WAIT_TIMEOUT;
      }
    }
    // Untimed, the wait is the read itself: no poll before it.
    switch (drain(*w, forever)) {
      case Drained::Changed:
        complete(*w, *e);
        break;
      case Drained::Broken:
        last_error = w->broken;
        return WAIT_FAILED;
      case Drained::Nothing:
        break;
    }
  }
  return WAIT_OBJECT_0;
}
