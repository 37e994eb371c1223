// Opening the layer's rtnetlink sockets.
#include "socket.h"

#include <fcntl.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace linux_layer {

namespace {

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

}  // namespace

int open_route_socket(std::uint32_t groups, std::uint32_t* port) {
  int fd = above_stdio(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
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

void close_fd(int& fd) {
  if (fd >= 0) {
    close(fd);
    fd = -1;
  }
}

}  // namespace linux_layer
