// network-change: writes one numbered line to standard output each time the
// machine's IPv4 address table changes, flushed at once so that a reader at
// the other end of a pipe can act on it the moment it happens.

// The C headers, and first: with them printf is the C runtime's own, where a
// C++ header could have put a library's replacement in its place.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "platform.h"

namespace {

// The count is kept unsigned so that it cannot overflow; past 2147483647 it
// prints as the 32-bit two's-complement value that it has always shown.
int as_printed(uint32_t count) { return static_cast<int>(static_cast<int32_t>(count)); }

int print_failure(int code) {
  // No flush of its own: returning from main flushes it on the way out.
  printf("NotifyRouteChange error...%d\n", code);
  return EXIT_FAILURE;
}

// The exit status when a change line cannot be written whole: the reader has
// gone, the disk is full, or a non-blocking pipe is. Going on would lose that
// line and the ones after it without a word, and where no SIGPIPE ends the
// program (Windows, or wherever it is ignored) it would outlive its reader.
constexpr int output_failed = 2;

}  // namespace

int main() {
  WSADATA wsa_data;
  const int startup = WSAStartup(MAKEWORD(2, 2), &wsa_data);
  if (startup != 0) {
    return print_failure(startup);
  }

  HANDLE handle = nullptr;
  OVERLAPPED overlapped{};
  overlapped.hEvent = WSACreateEvent();
  // Without an event the wait would return at once, and the loop would spin
  // without ever printing.
  if (overlapped.hEvent == WSA_INVALID_EVENT) {
    return print_failure(WSAGetLastError());
  }

  uint32_t count = 0;
  for (;;) {
    const DWORD result = NotifyAddrChange(&handle, &overlapped);
    if (result != NO_ERROR && WSAGetLastError() != ERROR_IO_PENDING) {
      return print_failure(WSAGetLastError());
    }
    if (WaitForSingleObject(overlapped.hEvent, INFINITE) == WAIT_OBJECT_0) {
      if (printf("net changed..%d\n", as_printed(count)) < 0 || fflush(stdout) != 0) {
        return output_failed;
      }
    }
    ++count;
  }
}
