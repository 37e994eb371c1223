// The netlink parser and the address table, fed with hand-built byte buffers.
#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <climits>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "netlink.h"

namespace {

using netlink::AddressRow;
using netlink::AddressTable;
using netlink::Kind;
using netlink::Message;
using netlink::Step;
using Bytes = std::vector<std::uint8_t>;

std::uint32_t ipv4(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

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

TEST(Parser, AddressMessagesGiveTheirRowWithAttributesInAnyOrder) {
  // A point-to-point row: IFA_LOCAL is ours, IFA_ADDRESS the peer's.
  Bytes ptp = ifaddr(AF_INET, 32, 7);
  const char label[] = "veth0";
  attr(ptp, IFA_LABEL, label, sizeof label);
  attr32(ptp, IFA_ADDRESS, ipv4("198.51.100.2"));
  ifa_cacheinfo cache{100, 200, 0, 0};
  attr(ptp, IFA_CACHEINFO, &cache, sizeof cache);
  attr32(ptp, IFA_LOCAL, ipv4("198.51.100.1"));

  Bytes local_first = ifaddr(AF_INET, 24, 3);
  attr32(local_first, IFA_LOCAL, ipv4("192.0.2.1"));
  attr32(local_first, IFA_ADDRESS, ipv4("192.0.2.1"));

  Bytes address_only = ifaddr(AF_INET, 15, 4);
  attr32(address_only, IFA_FLAGS, 0x80);
  attr32(address_only, IFA_ADDRESS, ipv4("198.18.0.9"));

  const Walk w = walk(join({message(RTM_NEWADDR, ptp), message(RTM_DELADDR, local_first),
                            message(RTM_NEWADDR, address_only)}));
  ASSERT_EQ(w.last, Step::End);
  ASSERT_EQ(w.messages.size(), 3u);
  EXPECT_EQ(w.messages[0].kind, Kind::NewAddress);
  EXPECT_EQ(w.messages[0].row, (AddressRow{7, ipv4("198.51.100.1"), 32}));
  EXPECT_EQ(w.messages[1].kind, Kind::DelAddress);
  EXPECT_EQ(w.messages[1].row, (AddressRow{3, ipv4("192.0.2.1"), 24}));
  EXPECT_EQ(w.messages[2].kind, Kind::NewAddress);
  EXPECT_EQ(w.messages[2].row, (AddressRow{4, ipv4("198.18.0.9"), 15}));
}

TEST(Parser, HeaderFieldsAndTheOtherKindsOfMessage) {
  Bytes v6 = ifaddr(AF_INET6, 64, 2);
  const std::uint8_t addr6[16] = {0x20, 0x01, 0x0d, 0xb8};
  attr(v6, IFA_ADDRESS, addr6, sizeof addr6);
  Bytes eperm;
  put(eperm, nlmsgerr{-EPERM, {}});
  Bytes ack;
  put(ack, nlmsgerr{0, {}});
  Bytes int_min;
  put(int_min, INT_MIN);
  Bytes done;
  put(done, 0);
  Bytes link(sizeof(ifinfomsg), 0);

  const Walk w = walk(join({message(RTM_NEWADDR, v6, NLM_F_MULTI | NLM_F_DUMP_INTR, 41, 1234),
                            message(NLMSG_ERROR, eperm, 0, 42), message(NLMSG_ERROR, ack),
                            message(NLMSG_ERROR, int_min), message(RTM_NEWLINK, link),
                            message(NLMSG_DONE, done, NLM_F_MULTI, 43, 99)}));
  ASSERT_EQ(w.last, Step::End);
  ASSERT_EQ(w.messages.size(), 6u);
  EXPECT_EQ(w.messages[0].kind, Kind::Other);
  EXPECT_EQ(w.messages[0].flags, NLM_F_MULTI | NLM_F_DUMP_INTR);
  EXPECT_EQ(w.messages[0].seq, 41u);
  EXPECT_EQ(w.messages[0].port, 1234u);
  EXPECT_EQ(w.messages[1].kind, Kind::Error);
  EXPECT_EQ(w.messages[1].error, EPERM);
  EXPECT_EQ(w.messages[1].seq, 42u);
  EXPECT_EQ(w.messages[2].kind, Kind::Error);
  EXPECT_EQ(w.messages[2].error, 0);
  EXPECT_GT(w.messages[3].error, 0);
  EXPECT_EQ(w.messages[4].kind, Kind::Other);
  EXPECT_EQ(w.messages[5].kind, Kind::Done);
  EXPECT_EQ(w.messages[5].seq, 43u);
  EXPECT_EQ(w.messages[5].port, 99u);
}

TEST(Parser, TheLastMessageMayComeWithoutPadding) {
  Bytes odd = ifaddr(AF_INET, 24, 1);
  attr32(odd, IFA_ADDRESS, ipv4("203.0.113.5"));
  odd.push_back(0);  // an odd length: unaligned, with nothing after it
  const Bytes b = message(RTM_NEWADDR, odd);
  ASSERT_EQ(b.size() % 4, 1u);
  const Walk w = walk(b);
  EXPECT_EQ(w.last, Step::End);
  ASSERT_EQ(w.messages.size(), 1u);
  EXPECT_EQ(w.messages[0].row.address, ipv4("203.0.113.5"));
}

TEST(Parser, MalformedBuffersStopTheWalk) {
  Bytes good = ifaddr(AF_INET, 24, 1);
  attr32(good, IFA_LOCAL, ipv4("192.0.2.7"));
  const Bytes good_msg = message(RTM_NEWADDR, good);

  auto with_len = [](Bytes b, std::uint32_t len) {
    std::memcpy(b.data(), &len, sizeof len);
    return b;
  };
  Bytes attr_too_long = ifaddr(AF_INET, 24, 1);
  attr32(attr_too_long, IFA_LOCAL, ipv4("192.0.2.7"));
  attr_too_long[sizeof(ifaddrmsg)] = 40;  // rta_len past the message
  Bytes attr_too_short = ifaddr(AF_INET, 24, 1);
  attr32(attr_too_short, IFA_LOCAL, ipv4("192.0.2.7"));
  attr_too_short[sizeof(ifaddrmsg)] = 3;
  Bytes v6_sized_local = ifaddr(AF_INET, 24, 1);
  const std::uint8_t sixteen[16] = {};
  attr(v6_sized_local, IFA_LOCAL, sixteen, sizeof sixteen);
  Bytes no_address = ifaddr(AF_INET, 24, 1);
  attr32(no_address, IFA_FLAGS, 0);
  const Bytes short_ifaddr(sizeof(ifaddrmsg) - 1, 0);

  const struct {
    const char* what;
    Bytes bytes;
  } cases[] = {
      {"shorter than a header", Bytes(good_msg.begin(), good_msg.begin() + 10)},
      {"length under a header", with_len(good_msg, 8)},
      {"length past the buffer",
       with_len(good_msg, static_cast<std::uint32_t>(good_msg.size() + 4))},
      {"cut short", Bytes(good_msg.begin(), good_msg.end() - 4)},
      {"attribute past the message", message(RTM_NEWADDR, attr_too_long)},
      {"attribute under its own header", message(RTM_NEWADDR, attr_too_short)},
      {"IPv4 address of 16 bytes", message(RTM_DELADDR, v6_sized_local)},
      {"no address at all", message(RTM_NEWADDR, no_address)},
      {"payload under an ifaddrmsg", message(RTM_NEWADDR, short_ifaddr)},
      {"error without its code", message(NLMSG_ERROR, {})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // A good message first: what came before the fault is still handed out.
    const Walk w = walk(join({good_msg, c.bytes}));
    EXPECT_EQ(w.last, Step::Malformed);
    ASSERT_EQ(w.messages.size(), 1u);
    EXPECT_EQ(w.messages[0].row.address, ipv4("192.0.2.7"));
  }
  EXPECT_EQ(walk({}).last, Step::End);
}

TEST(Parser, TheDumpRequestAsksForIPv4Addresses) {
  std::uint8_t request[netlink::request_size];
  ASSERT_EQ(netlink::make_dump_request(request, 77), sizeof request);
  nlmsghdr hdr;
  std::memcpy(&hdr, request, sizeof hdr);
  EXPECT_EQ(hdr.nlmsg_len, sizeof request);
  EXPECT_EQ(hdr.nlmsg_type, RTM_GETADDR);
  EXPECT_EQ(hdr.nlmsg_flags, NLM_F_REQUEST | NLM_F_DUMP);
  EXPECT_EQ(hdr.nlmsg_seq, 77u);
  ifaddrmsg ifa;
  std::memcpy(&ifa, request + NLMSG_HDRLEN, sizeof ifa);
  EXPECT_EQ(ifa.ifa_family, AF_INET);
}

Message address(Kind kind, AddressRow row) {
  Message m;
  m.kind = kind;
  m.row = row;
  return m;
}

TEST(Table, OnlyRowsComingAndGoingAreChanges) {
  AddressTable t;
  const AddressRow a{2, ipv4("192.0.2.1"), 24};
  EXPECT_TRUE(t.apply(address(Kind::NewAddress, a)));
  EXPECT_FALSE(t.apply(address(Kind::NewAddress, a)));  // a refresh of the same row
  EXPECT_TRUE(t.apply(address(Kind::NewAddress, {2, a.address, 25})));
  EXPECT_TRUE(t.apply(address(Kind::NewAddress, {3, a.address, 24})));
  EXPECT_TRUE(t.apply(address(Kind::NewAddress, {2, ipv4("192.0.2.2"), 24})));
  EXPECT_EQ(t.size(), 4u);
  EXPECT_FALSE(t.apply(address(Kind::Done, a)));
  EXPECT_TRUE(t.apply(address(Kind::DelAddress, a)));
  EXPECT_FALSE(t.apply(address(Kind::DelAddress, a)));
  EXPECT_TRUE(t.apply(address(Kind::NewAddress, a)));  // back again: a change too
  EXPECT_EQ(t.size(), 4u);

  AddressTable fresh;
  fresh.insert(a);
  t.swap(fresh);
  EXPECT_EQ(t.size(), 1u);
  EXPECT_FALSE(t.apply(address(Kind::NewAddress, a)));
}

}  // namespace
