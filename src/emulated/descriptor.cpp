// Moving descriptors off the standard streams, and closing them.
#include "descriptor.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace emulated {

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

void close_fd(int& fd) {
  if (fd >= 0) {
    close(fd);
    fd = -1;
  }
}

}  // namespace emulated
