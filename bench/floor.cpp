// The floor: the least a watcher or a start-up can do, in two modes of the
// benchmark's own program.
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "bench.h"
#include "netlink.h"
#include "socket.h"

namespace bench {

namespace {

int open_netlink(std::uint32_t groups) {
  const int fd = linux_layer::open_route_socket(groups, nullptr);
  if (fd < 0) {
    die(std::string("netlink socket: ") + std::strerror(errno));
  }
  return fd;
}

}  // namespace

// One recv and one write per datagram, no table.
int bare_watcher() {
  const int fd = open_netlink(RTMGRP_IPV4_IFADDR);
  static char buf[65536];
  for (unsigned n = 0;;) {
    if (recv(fd, buf, sizeof buf, 0) < 0) {
      if (errno == EINTR || errno == ENOBUFS) {
        continue;
      }
      return 1;
    }
    char line[32];
    const int len = std::snprintf(line, sizeof line, "net changed..%u\n", n++);
    if (write(STDOUT_FILENO, line, static_cast<std::size_t>(len)) != len) {
      return 2;
    }
  }
}

// Subscribes, reads one dump of the IPv4 addresses and throws it away, then
// waits as a watcher does.
int bare_dump() {
  const int monitor = open_netlink(RTMGRP_IPV4_IFADDR);
  const int dumper = open_netlink(0);
  std::uint8_t request[netlink::request_size];
  const std::size_t len = netlink::make_dump_request(request, 1);
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(dumper, request, len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
    return 1;
  }
  static std::uint8_t buf[32768];
  for (bool done = false; !done;) {
    const ssize_t n = recv(dumper, buf, sizeof buf, 0);
    if (n <= 0) {
      return 1;
    }
    std::size_t at = 0;
    for (netlink::Message m;
         netlink::next(buf, static_cast<std::size_t>(n), at, m) == netlink::Step::Message;) {
      done = done || m.kind == netlink::Kind::Done;
    }
  }
  for (;;) {
    recv(monitor, buf, sizeof buf, 0);
  }
}

}  // namespace bench
