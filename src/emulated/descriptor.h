// Descriptors of the layers' kernel sockets: kept off the standard streams,
// and closed once.
#pragma once

namespace emulated {

// A socket on 0, 1 or 2 would receive whatever the program prints, so a new
// descriptor there is moved above them, close-on-exec, and the low slot left
// closed. Returns fd itself when it is already above 2 or negative, the new
// descriptor, or -1 with errno set (EMFILE when none above 2 is allowed).
int above_stdio(int fd);

// Closes fd if it is open, and marks it closed.
void close_fd(int& fd);

}  // namespace emulated
