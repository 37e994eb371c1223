// Opening the layer's rtnetlink sockets.
#include "socket.h"

#include <linux/netlink.h>
#include <sys/socket.h>

#include <cerrno>

namespace linux_layer {

int open_route_socket(std::uint32_t groups, std::uint32_t* port) {
  int fd = emulated::above_stdio(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
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
    close_fd(fd);
    errno = saved;
    return -1;
  }
  if (port != nullptr) {
    *port = addr.nl_pid;
  }
  return fd;
}

}  // namespace linux_layer
