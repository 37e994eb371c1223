// Moving descriptors off the standard streams, closing them, and telling
// what standard output is.
#include "descriptor.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
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

StandardOutput standard_output() {
  struct stat st {};
  if (fstat(STDOUT_FILENO, &st) != 0) {
    // EBADF. Any other failure says nothing of a reader, and so nothing ends.
    return errno == EBADF ? StandardOutput::Closed : StandardOutput::Other;
  }
  return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) ? StandardOutput::Piped
                                                      : StandardOutput::Other;
}

int queue_bytes(int fd, std::size_t& bytes) {
  int rcvbuf = 0;
  socklen_t len = sizeof rcvbuf;
  if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, &len) != 0) {
    return errno;
  }
  bytes = static_cast<std::size_t>(rcvbuf);
  return 0;
}

void close_fd(int& fd) {
  if (fd >= 0) {
    close(fd);
    fd = -1;
  }
}

}  // namespace emulated
