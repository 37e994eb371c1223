// What every layer's kernel reports share: fields read out of the kernel's
// bytes, how a drain of the monitor ends, how much one drain takes, and what
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
  bool lost = false;  // the kernel dropped reports, or one could not be read
  int error = 0;      // errno once the socket is broken; nothing else holds then
};

// The most datagrams one wait takes from the monitor's queue before it
// answers, so that what came with the first gives one line with it, but a
// flood cannot hold that line back for ever.
inline constexpr std::size_t per_drain = 256;

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
