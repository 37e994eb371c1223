// Parsing of rtnetlink address messages from bytes, and the address table.
#include "netlink.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace netlink {

namespace {

// The buffer may come from anywhere (a fuzzer among them), so nothing is read
// through a cast pointer: every field is copied out, whatever its alignment.
template <typename T>
T load(const std::uint8_t* p) {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

constexpr std::size_t align(std::size_t n) {
  return (n + NLMSG_ALIGNTO - 1) & ~std::size_t{NLMSG_ALIGNTO - 1};
}

constexpr std::size_t header_size = align(sizeof(nlmsghdr));
constexpr std::size_t ifaddr_size = align(sizeof(ifaddrmsg));

// Fills msg.row from an address message's payload. Returns false when the
// payload is too short or an attribute runs past its end.
bool parse_address(const std::uint8_t* p, std::size_t len, Message& msg) {
  if (len < sizeof(ifaddrmsg)) {
    return false;
  }
  const auto ifa = load<ifaddrmsg>(p);
  if (ifa.ifa_family != AF_INET) {
    msg.kind = Kind::Other;
    return true;
  }
  bool have_local = false;
  bool have_address = false;
  std::uint32_t local = 0;
  std::uint32_t address = 0;
  std::size_t at = ifaddr_size;
  while (at + sizeof(rtattr) <= len) {
    const auto rta = load<rtattr>(p + at);
    if (rta.rta_len < sizeof(rtattr) || rta.rta_len > len - at) {
      return false;
    }
    const std::size_t data_len = rta.rta_len - sizeof(rtattr);
    const std::uint8_t* data = p + at + RTA_ALIGN(sizeof(rtattr));
    if (rta.rta_type == IFA_LOCAL || rta.rta_type == IFA_ADDRESS) {
      if (data_len != sizeof(std::uint32_t)) {
        return false;
      }
      const auto value = load<std::uint32_t>(data);
      if (rta.rta_type == IFA_LOCAL) {
        local = value;
        have_local = true;
      } else {
        address = value;
        have_address = true;
      }
    }
    at += RTA_ALIGN(rta.rta_len);
  }
  // On a point-to-point link IFA_ADDRESS is the peer and IFA_LOCAL our own;
  // elsewhere the kernel sends both alike, or IFA_ADDRESS alone.
  if (!have_local && !have_address) {
    return false;
  }
  msg.row.ifindex = ifa.ifa_index;
  msg.row.address = have_local ? local : address;
  msg.row.prefixlen = ifa.ifa_prefixlen;
  return true;
}

}  // namespace

Step next(const std::uint8_t* buf, std::size_t len, std::size_t& offset, Message& msg) {
  if (offset >= len) {
    return Step::End;
  }
  const std::size_t left = len - offset;
  if (left < sizeof(nlmsghdr)) {
    return Step::Malformed;
  }
  const std::uint8_t* p = buf + offset;
  const auto hdr = load<nlmsghdr>(p);
  if (hdr.nlmsg_len < sizeof(nlmsghdr) || hdr.nlmsg_len > left) {
    return Step::Malformed;
  }
  msg = Message{};
  msg.flags = hdr.nlmsg_flags;
  msg.seq = hdr.nlmsg_seq;
  msg.port = hdr.nlmsg_pid;
  const std::uint8_t* payload = p + header_size;
  const std::size_t payload_len = hdr.nlmsg_len > header_size ? hdr.nlmsg_len - header_size : 0;

  switch (hdr.nlmsg_type) {
    case RTM_NEWADDR:
    case RTM_DELADDR:
      msg.kind = hdr.nlmsg_type == RTM_NEWADDR ? Kind::NewAddress : Kind::DelAddress;
      if (!parse_address(payload, payload_len, msg)) {
        return Step::Malformed;
      }
      break;
    case NLMSG_DONE:
      msg.kind = Kind::Done;
      break;
    case NLMSG_ERROR:
      if (payload_len < sizeof(int)) {
        return Step::Malformed;
      }
      msg.kind = Kind::Error;
      {
        // The kernel sends a negative errno; INT_MIN has no positive twin.
        const int raw = load<int>(payload);
        msg.error = raw >= 0 ? raw : (raw == INT_MIN ? INT_MAX : -raw);
      }
      break;
    default:
      msg.kind = Kind::Other;
      break;
  }
  // The last message of a buffer may come without its padding.
  offset += std::min<std::size_t>(align(hdr.nlmsg_len), left);
  return Step::Message;
}

std::size_t make_dump_request(std::uint8_t* out, std::uint32_t seq) {
  static_assert(request_size == NLMSG_LENGTH(sizeof(ifaddrmsg)));
  nlmsghdr hdr{};
  hdr.nlmsg_len = request_size;
  hdr.nlmsg_type = RTM_GETADDR;
  hdr.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  hdr.nlmsg_seq = seq;
  ifaddrmsg ifa{};
  ifa.ifa_family = AF_INET;
  std::memcpy(out, &hdr, sizeof hdr);
  std::memcpy(out + header_size, &ifa, sizeof ifa);
  return request_size;
}

bool AddressTable::apply(const Message& msg) {
  switch (msg.kind) {
    case Kind::NewAddress:
      return rows_.insert(msg.row).second;
    case Kind::DelAddress:
      return rows_.erase(msg.row) != 0;
    default:
      return false;
  }
}

std::size_t AddressTable::Hash::operator()(const AddressRow& r) const noexcept {
  std::uint64_t h =
      (std::uint64_t{r.ifindex} << 40) ^ (std::uint64_t{r.prefixlen} << 32) ^ r.address;
  // A multiplicative mix, so that neighbouring addresses spread over the buckets.
  h *= 0x9E3779B97F4A7C15ULL;
  return static_cast<std::size_t>(h ^ (h >> 29));
}

}  // namespace netlink
