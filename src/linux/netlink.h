// Reads rtnetlink messages about IPv4 addresses out of a byte buffer, and keeps
// the table of addresses that they describe. Nothing here touches a socket, so
// unit tests and the fuzzer can feed it whatever bytes they like.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_set>

namespace netlink {

// One row of the IPv4 address table: what the table is made of. Flags,
// lifetimes and labels are not part of a row, so refreshing them is no change.
struct AddressRow {
  std::uint32_t ifindex = 0;
  std::uint32_t address = 0;  // network byte order, as the kernel sends it
  std::uint8_t prefixlen = 0;

  friend bool operator==(const AddressRow& a, const AddressRow& b) {
    return a.ifindex == b.ifindex && a.address == b.address && a.prefixlen == b.prefixlen;
  }
};

enum class Kind {
  NewAddress,  // RTM_NEWADDR for IPv4; row is set
  DelAddress,  // RTM_DELADDR for IPv4; row is set
  Done,        // NLMSG_DONE: the end of a dump
  Error,       // NLMSG_ERROR; error is set
  Other,       // anything else, IPv6 addresses among them
};

struct Message {
  Kind kind = Kind::Other;
  std::uint16_t flags = 0;  // nlmsg_flags, NLM_F_DUMP_INTR among them
  std::uint32_t seq = 0;
  std::uint32_t port = 0;  // nlmsg_pid
  int error = 0;           // Error: the errno value the kernel reports; 0 is an ack
  AddressRow row;
};

enum class Step {
  Message,    // msg is filled in and offset has moved past it
  End,        // offset has reached the end of the buffer
  Malformed,  // the message at offset does not hold together; nothing after it can be trusted
};

// Reads the message that starts at offset in buf[0, len).
Step next(const std::uint8_t* buf, std::size_t len, std::size_t& offset, Message& msg);

// Writes an RTM_GETADDR dump request for IPv4 addresses into out, which must
// hold request_size bytes. Returns the number of bytes written.
inline constexpr std::size_t request_size = 24;
std::size_t make_dump_request(std::uint8_t* out, std::uint32_t seq);

class AddressTable {
 public:
  // Adds the row of a NewAddress or removes that of a DelAddress. Returns true
  // when that changed the set of rows; false for a row already there (or
  // already gone) and for other kinds of message.
  bool apply(const Message& msg);

  void insert(const AddressRow& row) { rows_.insert(row); }
  std::size_t size() const { return rows_.size(); }
  void swap(AddressTable& other) noexcept { rows_.swap(other.rows_); }

 private:
  struct Hash {
    std::size_t operator()(const AddressRow& r) const noexcept;
  };
  std::unordered_set<AddressRow, Hash> rows_;
};

}  // namespace netlink
