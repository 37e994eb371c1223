// Parsing of rtnetlink address messages from bytes, and dump replies.
#include "netlink.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "bytes.h"

namespace netlink {

namespace {

using emulated::load;

constexpr std::size_t align(std::size_t n) {
  return (n + NLMSG_ALIGNTO - 1) & ~std::size_t{NLMSG_ALIGNTO - 1};
}

constexpr std::size_t header_size = align(sizeof(nlmsghdr));
constexpr std::size_t ifaddr_size = align(sizeof(ifaddrmsg));

// The kernel sends errors negated; INT_MIN has no positive twin.
int errno_of(int raw) { return raw >= 0 ? raw : (raw == INT_MIN ? INT_MAX : -raw); }

// Reads an address message's payload into msg. Returns false when the
// payload is too short or its attributes don't hold together.
bool parse_address(const std::uint8_t* p, std::size_t len, Message& msg) {
  if (len < sizeof(ifaddrmsg)) {
    return false;
  }
  const auto ifa = load<ifaddrmsg>(p);
  if (ifa.ifa_family != AF_INET) {
    msg.kind = Kind::Other;
    return true;
  }
  // The kernel leaves out an attribute whose address is 0.0.0.0. On a
  // point-to-point address IFA_ADDRESS is the peer and IFA_LOCAL our own.
  std::uint32_t local = 0;
  std::uint32_t address = 0;
  std::size_t at = ifaddr_size;
  while (at + sizeof(rtattr) <= len) {
    const auto rta = load<rtattr>(p + at);
    if (rta.rta_len < sizeof(rtattr) || rta.rta_len > len - at) {
      return false;
    }
    if (rta.rta_type == IFA_LOCAL || rta.rta_type == IFA_ADDRESS) {
      if (rta.rta_len - sizeof(rtattr) != sizeof(std::uint32_t)) {
        return false;
      }
      const auto value = load<std::uint32_t>(p + at + RTA_ALIGN(sizeof(rtattr)));
      (rta.rta_type == IFA_LOCAL ? local : address) = value;
    }
    at += RTA_ALIGN(rta.rta_len);
  }
  msg.address = emulated::Address::of(ifa.ifa_index, local, address, ifa.ifa_prefixlen);
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
        msg.kind = Kind::Unidentified;
      }
      break;
    case NLMSG_DONE:
    case NLMSG_ERROR:
      // Both carry an int: the dump's outcome, or the request's.
      if (payload_len < sizeof(int)) {
        return Step::Malformed;
      }
      msg.kind = hdr.nlmsg_type == NLMSG_DONE ? Kind::Done : Kind::Error;
      msg.error = errno_of(load<int>(payload));
      break;
    default:
      break;  // Kind::Other, as msg was made
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

bool each_report(const std::uint8_t* buf, std::size_t len, const ReportCallback& on_report) {
  std::size_t offset = 0;
  Message msg;
  Step step;
  while ((step = next(buf, len, offset, msg)) == Step::Message) {
    if (msg.kind == Kind::NewAddress || msg.kind == Kind::DelAddress ||
        msg.kind == Kind::Unidentified) {
      on_report(msg);
    }
  }
  return step == Step::End;
}

DumpReply::State DumpReply::take(const std::uint8_t* buf, std::size_t len,
                                 const RowCallback& on_row) {
  std::size_t offset = 0;
  Message msg;
  Step step = Step::End;
  while (state_ == State::Reading && (step = next(buf, len, offset, msg)) == Step::Message) {
    if (msg.seq != seq_ || msg.port != port_) {
      continue;  // a reply to some earlier request
    }
    interrupted_ = interrupted_ || (msg.flags & NLM_F_DUMP_INTR) != 0;
    switch (msg.kind) {
      case Kind::NewAddress:
        on_row(msg.address);
        break;
      case Kind::Done:
        error_ = msg.error;
        state_ = error_ != 0 ? State::Failed : (interrupted_ ? State::Interrupted : State::Whole);
        break;
      case Kind::Error:
        error_ = msg.error != 0 ? msg.error : EPROTO;
        state_ = State::Failed;
        break;
      default:
        break;
    }
  }
  // Whether NLMSG_DONE was in the part that cannot be found is unknown.
  if (state_ == State::Reading && step == Step::Malformed) {
    error_ = EBADMSG;
    state_ = State::Failed;
  }
  return state_;
}

}  // namespace netlink
