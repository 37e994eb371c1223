// Descriptors of the layers' kernel sockets: kept off the standard streams,
// and closed once; and what standard output is, for the watch's wait.
#pragma once

#include <cstddef>

namespace emulated {

// What standard output is to the wait for a change, which also watches for
// the reader of a pipe or socket going away, so that the program ends then
// rather than at the next change.
enum class StandardOutput {
  Closed,  // not open at all: no line can ever be written
  Piped,   // a pipe, FIFO or socket: its reader may go
  Other,   // a file, a terminal, /dev/null: there is no reader to go
};
StandardOutput standard_output();

// A socket on 0, 1 or 2 would receive whatever the program prints, so a new
// descriptor there is moved above them, close-on-exec, and the low slot left
// closed. Returns fd itself when it is already above 2 or negative, the new
// descriptor, or -1 with errno set (EMFILE when none above 2 is allowed).
int above_stdio(int fd);

// Sets bytes to the most that the receive queue of socket fd holds
// (SO_RCVBUF). Returns 0, or an errno value.
int queue_bytes(int fd, std::size_t& bytes);

// Closes fd if it is open, and marks it closed.
void close_fd(int& fd);

}  // namespace emulated
