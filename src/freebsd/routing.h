// Reads the BSD routing socket's messages about IPv4 addresses out of a byte
// buffer: the reports a route socket receives, and the table that sysctl's
// NET_RT_IFLIST answers with, which come in the same format. Nothing here
// touches a socket, nor needs the system's headers, so the unit tests and
// the fuzzer feed it whatever bytes they like on any host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "address_table.h"

namespace routing {

// Each socket address in a message takes its own length rounded up to this
// many bytes (and this many when its length is 0). It is the only way in
// which the systems that share the format differ for these messages.
inline constexpr std::size_t freebsd_rounding = sizeof(long);
inline constexpr std::size_t macos_rounding = 4;

enum class Kind {
  NewAddress,    // RTM_NEWADDR of an IPv4 address; address is set
  DelAddress,    // RTM_DELADDR of an IPv4 address; address is set
  Unidentified,  // an address message, sound in length, that does not say which address
  Other,         // anything else, IPv6 addresses and interfaces among them
};

struct Message {
  Kind kind = Kind::Other;
  std::uint8_t type = 0;  // the message's own type (RTM_*)
  // The kernel tells addresses apart by interface and own address alone: a
  // new mask or peer is sent as the address deleted and added anew. So the
  // rest of the address is left out.
  emulated::Address address;
};

enum class Step {
  Message,    // msg is filled in and offset has moved past it
  End,        // offset has reached the end of the buffer
  Malformed,  // the header at offset is unsound; nothing after it can be found
};

// Reads the message that starts at offset in buf[0, len), its socket
// addresses rounded to `rounding` bytes (a power of two).
Step next(const std::uint8_t* buf, std::size_t len, std::size_t& offset, Message& msg,
          std::size_t rounding);

// Hands each NewAddress, DelAddress and Unidentified message of a buffer to
// on_report, in order. Returns false when the buffer is malformed past some
// point, so that reports after it may have been lost.
using ReportCallback = std::function<void(const Message&)>;
bool each_report(const std::uint8_t* buf, std::size_t len, std::size_t rounding,
                 const ReportCallback& on_report);

// Hands each IPv4 address of a table, as sysctl NET_RT_IFLIST gives it, to
// on_row. An address message that cannot be read is passed over. Returns
// false when the buffer is malformed past some point.
using RowCallback = std::function<void(const emulated::Address&)>;
bool each_row(const std::uint8_t* buf, std::size_t len, std::size_t rounding,
              const RowCallback& on_row);

}  // namespace routing
