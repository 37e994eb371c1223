// Parsing of routing-socket address messages from bytes.
#include "routing.h"

#include <cstddef>

#ifdef __FreeBSD__
#include <sys/types.h>
#include <sys/socket.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#endif

#include "bytes.h"

namespace routing {

namespace {

// The wire format, as FreeBSD's <net/route.h> and <net/if.h> (and macOS's)
// define it. Spelt out here so that the parser builds on any host; the
// FreeBSD build checks them against the system's own headers.
constexpr std::uint8_t rtm_version = 5;
constexpr std::uint8_t rtm_newaddr = 0xc;
constexpr std::uint8_t rtm_deladdr = 0xd;
constexpr unsigned rtax_ifa = 5;  // the interface address: our own
constexpr std::uint8_t af_inet = 2;
// struct ifa_msghdr: msglen (u16), version (u8), type (u8), addrs (int),
// flags (int), index (u16), a spare u16, metric (int).
constexpr std::size_t header_size = 4;  // msglen, version, type: common to every message
constexpr std::size_t ifa_msghdr_size = 20;
constexpr std::size_t ifam_addrs_at = 4;
constexpr std::size_t ifam_index_at = 12;
// struct sockaddr_in: len (u8), family (u8), port (u16), address (4 bytes).
constexpr std::size_t sin_addr_at = 4;
constexpr std::size_t sin_min_len = sin_addr_at + 4;

#ifdef __FreeBSD__
static_assert(rtm_version == RTM_VERSION && rtm_newaddr == RTM_NEWADDR &&
              rtm_deladdr == RTM_DELADDR && rtax_ifa == RTAX_IFA && af_inet == AF_INET);
static_assert(ifa_msghdr_size == sizeof(ifa_msghdr) &&
              ifam_addrs_at == offsetof(ifa_msghdr, ifam_addrs) &&
              ifam_index_at == offsetof(ifa_msghdr, ifam_index));
static_assert(sin_addr_at == offsetof(sockaddr_in, sin_addr) && freebsd_rounding == sizeof(long));
#endif

using emulated::load;

std::size_t rounded(std::uint8_t sa_len, std::size_t rounding) {
  return sa_len == 0 ? rounding : 1 + ((sa_len - std::size_t{1}) | (rounding - 1));
}

// Reads an address message of len bytes (its header included) into msg.
// Returns false when its contents don't hold together.
bool parse_address(const std::uint8_t* p, std::size_t len, std::size_t rounding, Message& msg) {
  if (p[2] != rtm_version || len < ifa_msghdr_size) {
    return false;
  }
  const auto addrs = load<std::uint32_t>(p + ifam_addrs_at);
  if ((addrs & (1U << rtax_ifa)) == 0) {
    return false;  // no own address: it cannot be told which one this is
  }
  // The addresses follow the header in the order of their bits.
  std::size_t at = ifa_msghdr_size;
  for (unsigned i = 0; i < rtax_ifa; ++i) {
    if ((addrs & (1U << i)) != 0) {
      if (at >= len) {
        return false;
      }
      at += rounded(p[at], rounding);
    }
  }
  // The own address, whole within the message; its family says whether
  // this is an IPv4 address at all.
  const std::size_t sa_len = at < len ? p[at] : 0;
  if (sa_len < 2 || sa_len > len - at) {
    return false;
  }
  if (p[at + 1] != af_inet) {
    msg.kind = Kind::Other;
    return true;
  }
  if (sa_len < sin_min_len) {
    return false;
  }
  const auto local = load<std::uint32_t>(p + at + sin_addr_at);
  msg.address = emulated::Address::of(load<std::uint16_t>(p + ifam_index_at), local, 0, 0);
  return true;
}

}  // namespace

Step next(const std::uint8_t* buf, std::size_t len, std::size_t& offset, Message& msg,
          std::size_t rounding) {
  if (offset >= len) {
    return Step::End;
  }
  const std::size_t left = len - offset;
  if (left < header_size) {
    return Step::Malformed;
  }
  const std::uint8_t* p = buf + offset;
  const auto msglen = load<std::uint16_t>(p);
  if (msglen < header_size || msglen > left) {
    return Step::Malformed;
  }
  msg = Message{};
  msg.type = p[3];
  if (msg.type == rtm_newaddr || msg.type == rtm_deladdr) {
    msg.kind = msg.type == rtm_newaddr ? Kind::NewAddress : Kind::DelAddress;
    if (!parse_address(p, msglen, rounding, msg)) {
      msg.kind = Kind::Unidentified;
    }
  }
  offset += msglen;
  return Step::Message;
}

namespace {

// Hands each message of the buffer to on_message. Returns false when the
// buffer is malformed past some point.
template <typename OnMessage>
bool each_message(const std::uint8_t* buf, std::size_t len, std::size_t rounding,
                  OnMessage on_message) {
  std::size_t offset = 0;
  Message msg;
  Step step;
  while ((step = next(buf, len, offset, msg, rounding)) == Step::Message) {
    on_message(msg);
  }
  return step == Step::End;
}

}  // namespace

bool each_report(const std::uint8_t* buf, std::size_t len, std::size_t rounding,
                 const ReportCallback& on_report) {
  return each_message(buf, len, rounding, [&](const Message& msg) {
    if (msg.kind != Kind::Other) {
      on_report(msg);
    }
  });
}

bool each_row(const std::uint8_t* buf, std::size_t len, std::size_t rounding,
              const RowCallback& on_row) {
  return each_message(buf, len, rounding, [&](const Message& msg) {
    if (msg.kind == Kind::NewAddress) {
      on_row(msg.address);
    }
  });
}

}  // namespace routing
