// The netlink parser, fed with hand-built byte buffers.
#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sandbox.h"

#include "netlink.h"

namespace {

using testing_support::ipv4;

using emulated::Address;
using netlink::Kind;
using netlink::Message;
using netlink::Step;
using Bytes = std::vector<std::uint8_t>;

void pad(Bytes& b) {
  while (b.size() % 4 != 0) {
    b.push_back(0);
  }
}

template <typename T>
void put(Bytes& b, const T& value) {
  const std::size_t at = b.size();
  b.resize(at + sizeof value);
  std::memcpy(b.data() + at, &value, sizeof value);
}

void attr(Bytes& b, std::uint16_t type, const void* data, std::size_t len) {
  put(b, rtattr{static_cast<std::uint16_t>(sizeof(rtattr) + len), type});
  const auto* p = static_cast<const std::uint8_t*>(data);
  b.insert(b.end(), p, p + len);
  pad(b);
}

void attr32(Bytes& b, std::uint16_t type, std::uint32_t value) {
  attr(b, type, &value, sizeof value);
}

// Wraps a payload in a netlink header of the given type; the length field
// covers the payload without the padding that follows it.
Bytes message(std::uint16_t type, const Bytes& payload, std::uint16_t flags = 0,
              std::uint32_t seq = 0, std::uint32_t port = 0) {
  Bytes b;
  put(b, nlmsghdr{static_cast<std::uint32_t>(sizeof(nlmsghdr) + payload.size()), type, flags, seq,
                  port});
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

Bytes ifaddr(std::uint8_t family, std::uint8_t prefixlen, std::uint32_t index) {
  Bytes b;
  put(b, ifaddrmsg{family, prefixlen, 0, RT_SCOPE_UNIVERSE, index});
  return b;
}

Bytes ipv4_address(std::uint8_t prefixlen, std::uint32_t index, const char* local) {
  Bytes b = ifaddr(AF_INET, prefixlen, index);
  attr32(b, IFA_LOCAL, ipv4(local));
  attr32(b, IFA_ADDRESS, ipv4(local));
  return b;
}

Bytes with_int(int value) {
  Bytes b;
  put(b, value);
  return b;
}

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) {
    all.insert(all.end(), p.begin(), p.end());
    pad(all);
  }
  return all;
}

// Reads every message of a buffer; the last step tells how the walk ended.
struct Walk {
  std::vector<Message> messages;
  Step last;
};

Walk walk(const Bytes& b) {
  Walk w;
  std::size_t offset = 0;
  Message m;
  while ((w.last = netlink::next(b.data(), b.size(), offset, m)) == Step::Message) {
    w.messages.push_back(m);
  }
  return w;
}

// The reports each_report hands out, a letter each (New, Del, Unidentified),
// then "?" if the buffer was malformed past them.
std::string reports(const Bytes& b) {
  std::string kinds;
  const bool sound = netlink::each_report(b.data(), b.size(), [&kinds](const Message& m) {
    kinds += m.kind == Kind::NewAddress ? 'N' : m.kind == Kind::DelAddress ? 'D' : 'U';
  });
  return kinds + (sound ? "" : "?");
}

TEST(Parser, AddressMessagesGiveTheirAddressWithAttributesInAnyOrder) {
  // A point-to-point address: IFA_LOCAL is ours, IFA_ADDRESS the peer's.
  Bytes ptp = ifaddr(AF_INET, 32, 7);
  const char label[] = "veth0";
  attr(ptp, IFA_LABEL, label, sizeof label);
  attr32(ptp, IFA_ADDRESS, ipv4("198.51.100.2"));
  ifa_cacheinfo cache{100, 200, 0, 0};
  attr(ptp, IFA_CACHEINFO, &cache, sizeof cache);
  attr(ptp, 99, nullptr, 0);  // an attribute may be empty
  attr32(ptp, IFA_LOCAL, ipv4("198.51.100.1"));

  // The kernel leaves out IFA_LOCAL when our own address is 0.0.0.0.
  Bytes address_only = ifaddr(AF_INET, 15, 4);
  attr32(address_only, IFA_FLAGS, 0x80);
  attr32(address_only, IFA_ADDRESS, ipv4("198.18.0.9"));

  // And both, when both are: nothing after the ifaddrmsg.
  const Walk w =
      walk(join({message(RTM_NEWADDR, ptp), message(RTM_DELADDR, ipv4_address(24, 3, "192.0.2.1")),
                 message(RTM_NEWADDR, address_only), message(RTM_DELADDR, ifaddr(AF_INET, 8, 6))}));
  ASSERT_EQ(w.last, Step::End);
  ASSERT_EQ(w.messages.size(), 4u);
  EXPECT_EQ(w.messages[3].kind, Kind::DelAddress);
  EXPECT_EQ(w.messages[3].address, (Address{6, 0, 0, 8}));
  EXPECT_EQ(w.messages[0].kind, Kind::NewAddress);
  EXPECT_EQ(w.messages[0].address, (Address{7, ipv4("198.51.100.1"), ipv4("198.51.100.2"), 32}));
  EXPECT_EQ(w.messages[1].kind, Kind::DelAddress);
  EXPECT_EQ(w.messages[1].address, (Address{3, ipv4("192.0.2.1"), ipv4("192.0.2.0"), 24}));
  EXPECT_EQ(w.messages[2].kind, Kind::NewAddress);
  EXPECT_EQ(w.messages[2].address, (Address{4, 0, ipv4("198.18.0.0"), 15}));
}

TEST(Parser, HeaderFieldsAndTheOtherKindsOfMessage) {
  Bytes v6 = ifaddr(AF_INET6, 64, 2);
  const std::uint8_t addr6[16] = {0x20, 0x01, 0x0d, 0xb8};
  attr(v6, IFA_ADDRESS, addr6, sizeof addr6);

  const Walk w =
      walk(join({message(RTM_NEWADDR, v6, NLM_F_MULTI | NLM_F_DUMP_INTR, 41, 1234),
                 message(NLMSG_ERROR, with_int(-EPERM), 0, 42), message(NLMSG_ERROR, with_int(0)),
                 message(NLMSG_ERROR, with_int(INT_MIN)), message(NLMSG_NOOP, {}),
                 message(NLMSG_DONE, with_int(0), NLM_F_MULTI, 43, 99),
                 message(NLMSG_DONE, with_int(-EIO))}));
  ASSERT_EQ(w.last, Step::End);
  ASSERT_EQ(w.messages.size(), 7u);
  EXPECT_EQ(w.messages[0].kind, Kind::Other);
  EXPECT_EQ(w.messages[0].flags, NLM_F_MULTI | NLM_F_DUMP_INTR);
  EXPECT_EQ(w.messages[0].seq, 41u);
  EXPECT_EQ(w.messages[0].port, 1234u);
  EXPECT_EQ(w.messages[1].kind, Kind::Error);
  EXPECT_EQ(w.messages[1].error, EPERM);
  EXPECT_EQ(w.messages[1].seq, 42u);
  EXPECT_EQ(w.messages[2].error, 0);
  EXPECT_GT(w.messages[3].error, 0);
  EXPECT_EQ(w.messages[4].kind, Kind::Other);
  EXPECT_EQ(w.messages[5].kind, Kind::Done);
  EXPECT_EQ(w.messages[5].error, 0);
  EXPECT_EQ(w.messages[5].seq, 43u);
  EXPECT_EQ(w.messages[5].port, 99u);
  EXPECT_EQ(w.messages[6].kind, Kind::Done);
  EXPECT_EQ(w.messages[6].error, EIO);
  EXPECT_EQ(reports(join({message(RTM_NEWADDR, v6), message(NLMSG_DONE, with_int(0)),
                          message(RTM_DELADDR, ipv4_address(24, 3, "192.0.2.1"))})),
            "D");
}

TEST(Parser, TheLastMessageMayComeWithoutPadding) {
  Bytes odd = ifaddr(AF_INET, 24, 1);
  attr32(odd, IFA_LOCAL, ipv4("203.0.113.5"));
  odd.push_back(0);  // an odd length: unaligned, with nothing after it
  const Bytes b = message(RTM_NEWADDR, odd);
  ASSERT_EQ(b.size() % 4, 1u);
  const Walk w = walk(b);
  EXPECT_EQ(w.last, Step::End);
  ASSERT_EQ(w.messages.size(), 1u);
  // No IFA_ADDRESS: the peer is 0.0.0.0.
  EXPECT_EQ(w.messages[0].address, (Address{1, ipv4("203.0.113.5"), 0, 24}));
  // Nor need the last message hold more than its header.
  const Walk bare = walk(message(NLMSG_NOOP, {}));
  EXPECT_EQ(bare.last, Step::End);
  EXPECT_EQ(bare.messages.size(), 1u);
}

TEST(Parser, AnUnsoundHeaderEndsTheWalkAndUnsoundContentsOnlyTheirMessage) {
  const Bytes good = message(RTM_NEWADDR, ipv4_address(24, 1, "192.0.2.7"));
  auto with_len = [](Bytes b, std::uint32_t len) {
    std::memcpy(b.data(), &len, sizeof len);
    return b;
  };
  const struct {
    const char* what;
    Bytes bytes;
  } unsound_headers[] = {
      {"shorter than a header", Bytes(good.begin(), good.begin() + 10)},
      {"length under a header", with_len(good, 8)},
      {"length past the buffer", with_len(good, static_cast<std::uint32_t>(good.size() + 4))},
      {"error without its code", message(NLMSG_ERROR, {})},
      {"end of a dump without its code", message(NLMSG_DONE, {})},
  };
  for (const auto& c : unsound_headers) {
    SCOPED_TRACE(c.what);
    // What came before the fault is still handed out.
    const Walk w = walk(join({good, c.bytes}));
    EXPECT_EQ(w.last, Step::Malformed);
    EXPECT_EQ(w.messages.size(), 1u);
    EXPECT_EQ(reports(join({good, c.bytes})), "N?");
  }

  // IFA_LOCAL first, then a label, each with its rta_len set as given.
  const auto with_rta_len = [](std::size_t attribute, std::uint16_t len) {
    Bytes b = ipv4_address(24, 1, "192.0.2.8");
    const char label[] = "lo";
    attr(b, IFA_LABEL, label, sizeof label);
    std::memcpy(b.data() + (attribute == 0 ? sizeof(ifaddrmsg) : b.size() - 8), &len, sizeof len);
    return b;
  };
  Bytes v6_sized_local = ifaddr(AF_INET, 24, 1);
  const std::uint8_t sixteen[16] = {};
  attr(v6_sized_local, IFA_LOCAL, sixteen, sizeof sixteen);
  const struct {
    const char* what;
    Bytes bytes;
  } unsound_contents[] = {
      {"address past the message", message(RTM_NEWADDR, with_rta_len(0, 60))},
      {"address under its own header", message(RTM_DELADDR, with_rta_len(0, 3))},
      {"label past the message", message(RTM_NEWADDR, with_rta_len(1, 12))},
      {"label under its own header", message(RTM_NEWADDR, with_rta_len(1, 2))},
      {"IPv4 address of 16 bytes", message(RTM_NEWADDR, v6_sized_local)},
      {"payload under an ifaddrmsg", message(RTM_NEWADDR, Bytes(sizeof(ifaddrmsg) - 1, 0))},
  };
  for (const auto& c : unsound_contents) {
    SCOPED_TRACE(c.what);
    const Walk w = walk(join({good, c.bytes, good}));
    EXPECT_EQ(w.last, Step::End);
    ASSERT_EQ(w.messages.size(), 3u);
    EXPECT_EQ(w.messages[1].kind, Kind::Unidentified);
    EXPECT_EQ(w.messages[2].kind, Kind::NewAddress);
    EXPECT_EQ(reports(join({good, c.bytes, good})), "NUN");
  }
}

}  // namespace
