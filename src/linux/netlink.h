// Reads rtnetlink messages about IPv4 addresses out of a byte buffer, and
// follows the reply to a dump request through the datagrams that carry it.
// Nothing here touches a socket, so unit tests and the fuzzer can feed it
// whatever bytes they like; what it finds goes to a callback of the caller's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "address_table.h"

namespace netlink {

enum class Kind {
  NewAddress,    // RTM_NEWADDR for IPv4; address is set
  DelAddress,    // RTM_DELADDR for IPv4; address is set
  Unidentified,  // an address message, sound in length, that does not say which address
  Done,          // NLMSG_DONE: the end of a dump; error is set when the dump failed
  Error,         // NLMSG_ERROR; error is set (0 is an ack)
  Other,         // anything else, IPv6 addresses among them
};

struct Message {
  Kind kind = Kind::Other;
  std::uint16_t flags = 0;  // nlmsg_flags, NLM_F_DUMP_INTR among them
  std::uint32_t seq = 0;
  std::uint32_t port = 0;  // nlmsg_pid
  int error = 0;           // Done and Error: a positive errno value, or 0
  emulated::Address address;
};

enum class Step {
  Message,    // msg is filled in and offset has moved past it
  End,        // offset has reached the end of the buffer
  Malformed,  // the header at offset is unsound; nothing after it can be found
};

// Reads the message that starts at offset in buf[0, len).
Step next(const std::uint8_t* buf, std::size_t len, std::size_t& offset, Message& msg);

// Hands each NewAddress, DelAddress and Unidentified message of a datagram to
// on_report, in order. Returns false when the datagram is malformed past
// some point, so that reports after it may have been lost.
using ReportCallback = std::function<void(const Message&)>;
bool each_report(const std::uint8_t* buf, std::size_t len, const ReportCallback& on_report);

// Writes an RTM_GETADDR dump request for IPv4 addresses into out, which must
// hold request_size bytes. Returns the number of bytes written.
inline constexpr std::size_t request_size = 24;
std::size_t make_dump_request(std::uint8_t* out, std::uint32_t seq);

// The reply to one dump request, read a datagram at a time; each row it holds
// goes to the callback.
using RowCallback = std::function<void(const emulated::Address&)>;
class DumpReply {
 public:
  enum class State {
    Reading,      // more is to come
    Whole,        // NLMSG_DONE came, and the kernel marked nothing as interrupted
    Interrupted,  // NLMSG_DONE came, but the table changed while it was read
    Failed,       // the reply cannot be the whole table; error() says why
  };

  DumpReply(std::uint32_t seq, std::uint32_t port) : seq_(seq), port_(port) {}

  // Takes one datagram from the kernel. Messages for other requests are
  // passed over, and so is an address message that cannot be read.
  State take(const std::uint8_t* buf, std::size_t len, const RowCallback& on_row);

  State state() const { return state_; }
  int error() const { return error_; }

 private:
  std::uint32_t seq_;
  std::uint32_t port_;
  bool interrupted_ = false;
  State state_ = State::Reading;
  int error_ = 0;
};

}  // namespace netlink
