// What every layer's kernel reports share: fields read out of the kernel's
// bytes, how a drain of the monitor ends, how much one wait takes, and what
// a report means to the address table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "address_table.h"

namespace emulated {

// A field of the kernel's bytes. The bytes may come from anywhere (a fuzzer
// among them), so nothing is read through a cast pointer: every field is
// copied out, whatever its alignment.
template <typename T>
T load(const std::uint8_t* p) {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

// How a drain of the monitor's queue ended.
struct Drained {
  bool lost = false;         // the kernel dropped reports, or one could not be read
  bool reader_gone = false;  // standard output's reader has gone, or it was never open
  int error = 0;             // errno once the socket is broken; nothing else holds then
};

// How much one wait takes from the monitor's queue before it answers. Every
// report queued when the wait looks fits in the socket's receive buffer, so
// all of them, however many, come in one answer and give one line; a flood
// that keeps the queue from emptying is answered once more than a bufferful
// has been taken, so that its line is not held back for ever.
class DrainBudget {
 public:
  // queue_bytes: the most the socket's queue can hold (SO_RCVBUF), with
  // room for one more datagram, as large as the monitor reads, that a
  // kernel may queue past it.
  explicit DrainBudget(std::size_t queue_bytes) : left_(queue_bytes) {}

  // Counts bytes taken. Returns false once the budget is spent.
  bool take(std::size_t bytes) {
    left_ = bytes < left_ ? left_ - bytes : 0;
    return left_ != 0;
  }

 private:
  std::size_t left_;
};

// Hands one report of the kernel's (a parser's Message, whose Kind names
// NewAddress and DelAddress) to the table. Returns true when it is a change.
template <typename Report>
bool apply(AddressTable& table, const Report& report) {
  using Kind = decltype(report.kind);
  switch (report.kind) {
    case Kind::NewAddress:
      return table.added(report.address);
    case Kind::DelAddress:
      return table.removed(report.address);
    default:
      return table.unreadable();
  }
}

}  // namespace emulated
