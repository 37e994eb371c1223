// The routing-socket parser, fed with byte buffers laid out as FreeBSD lays
// them out (socket addresses rounded to a long) and as macOS does (to 4
// bytes), on any host.
#include <sys/socket.h>
#include <arpa/inet.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "routing.h"
#include "sandbox.h"

namespace {

using testing_support::ipv4;

using emulated::Address;
using routing::Kind;
using routing::Message;
using routing::Step;
using Bytes = std::vector<std::uint8_t>;

// FreeBSD on a 64-bit machine rounds to 8 bytes, macOS (and FreeBSD on a
// 32-bit one) to 4, whatever the host that runs this test.
constexpr std::size_t freebsd_amd64 = 8;
constexpr std::size_t macos = routing::macos_rounding;
static_assert(macos == 4);

// The wire format's numbers, as the systems define them.
constexpr std::uint8_t version = 5;
constexpr std::uint8_t rtm_add = 0x1, rtm_newaddr = 0xc, rtm_deladdr = 0xd, rtm_ifinfo = 0xe;
constexpr int rtax_netmask = 2, rtax_ifp = 4, rtax_ifa = 5, rtax_brd = 7;
constexpr std::uint8_t af_inet = 2, af_inet6 = 28, af_link = 18;

// A socket address of sa_len bytes (its family and, for IPv4, its address
// in place), rounded up with zeros as the system rounds it.
Bytes sockaddr(std::uint8_t sa_len, std::uint8_t family, const char* ip = nullptr) {
  Bytes b(sa_len < 2 ? 2 : sa_len, 0);
  b[0] = sa_len;
  b[1] = family;
  if (ip != nullptr) {
    const std::uint32_t a = ipv4(ip);
    std::memcpy(b.data() + 4, &a, sizeof a);
  }
  b.resize(sa_len);
  return b;
}

Bytes inet(const char* ip) { return sockaddr(16, af_inet, ip); }

std::size_t rounded(std::size_t len, std::size_t to) {
  return len == 0 ? to : (len + to - 1) / to * to;
}

// An address message (struct ifa_msghdr and its socket addresses, keyed by
// their RTAX_ position) with each address rounded to `to` bytes.
Bytes message(std::uint8_t type, std::uint16_t index, const std::map<int, Bytes>& addresses,
              std::size_t to, std::uint8_t ver = version) {
  Bytes b(20, 0);
  b[2] = ver;
  b[3] = type;
  std::uint32_t addrs = 0;
  for (const auto& [position, sa] : addresses) {
    addrs |= 1U << position;
    b.insert(b.end(), sa.begin(), sa.end());
    b.resize(b.size() + rounded(sa.size(), to) - sa.size(), 0);
  }
  std::memcpy(b.data() + 4, &addrs, sizeof addrs);
  std::memcpy(b.data() + 12, &index, sizeof index);
  const auto len = static_cast<std::uint16_t>(b.size());
  std::memcpy(b.data(), &len, sizeof len);
  return b;
}

// A report as the kernel sends it: mask, interface, own address, broadcast
// (or peer).
Bytes report(std::uint8_t type, std::uint16_t index, const char* local, std::size_t to,
             const Bytes& brd = sockaddr(0, 0)) {
  return message(type, index,
                 {{rtax_netmask, inet("255.255.255.0")},
                  {rtax_ifp, sockaddr(54, af_link)},
                  {rtax_ifa, inet(local)},
                  {rtax_brd, brd}},
                 to);
}

// An interface's message (RTM_IFINFO) of len bytes, of which only the
// header matters here.
Bytes interface_message(std::uint16_t len) {
  Bytes b(len, 0);
  std::memcpy(b.data(), &len, sizeof len);
  b[2] = version;
  b[3] = rtm_ifinfo;
  return b;
}

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) {
    all.insert(all.end(), p.begin(), p.end());
  }
  return all;
}

struct Walk {
  std::vector<Message> messages;
  Step last;
};

Walk walk(const Bytes& b, std::size_t to) {
  Walk w;
  std::size_t offset = 0;
  Message m;
  while ((w.last = routing::next(b.data(), b.size(), offset, m, to)) == Step::Message) {
    w.messages.push_back(m);
  }
  return w;
}

// The reports each_report hands out, a letter each (New, Del, Unidentified),
// then "?" if the buffer was malformed past them.
std::string reports(const Bytes& b, std::size_t to) {
  std::string kinds;
  const bool sound = routing::each_report(b.data(), b.size(), to, [&kinds](const Message& m) {
    kinds += m.kind == Kind::NewAddress ? 'N' : m.kind == Kind::DelAddress ? 'D' : 'U';
  });
  return kinds + (sound ? "" : "?");
}

class Layouts : public ::testing::TestWithParam<std::size_t> {};

INSTANTIATE_TEST_SUITE_P(Routing, Layouts, ::testing::Values(freebsd_amd64, macos),
                         [](const auto& param_info) {
                           return param_info.param == macos ? "macOS" : "FreeBSD";
                         });

TEST_P(Layouts, AddressReportsGiveTheInterfaceAndOwnAddressAlone) {
  const std::size_t to = GetParam();
  // Odd lengths, rounded differently by the two systems, before the own
  // address: an empty one, a short mask, and one of 12 bytes; the own
  // address itself no longer than it takes to hold an IPv4 address.
  const Bytes odd = message(rtm_newaddr, 9,
                            {{0, sockaddr(0, 0)},
                             {1, sockaddr(3, af_inet)},
                             {rtax_netmask, sockaddr(12, af_inet)},
                             {rtax_ifa, sockaddr(8, af_inet, "203.0.113.5")}},
                            to);
  const Walk w =
      walk(join({report(rtm_newaddr, 2, "192.0.2.1", to),
                 report(rtm_deladdr, 3, "198.51.100.1", to, inet("198.51.100.255")), odd}),
           to);
  ASSERT_EQ(w.last, Step::End);
  ASSERT_EQ(w.messages.size(), 3u);
  EXPECT_EQ(w.messages[0].kind, Kind::NewAddress);
  EXPECT_EQ(w.messages[0].address, (Address{2, ipv4("192.0.2.1"), 0, 0}));
  EXPECT_EQ(w.messages[1].kind, Kind::DelAddress);
  EXPECT_EQ(w.messages[1].address, (Address{3, ipv4("198.51.100.1"), 0, 0}));
  EXPECT_EQ(w.messages[2].address, (Address{9, ipv4("203.0.113.5"), 0, 0}));

  // The other system's rounding finds something else, or nothing sound.
  const std::size_t other = to == macos ? freebsd_amd64 : macos;
  const Walk misread = walk(odd, other);
  ASSERT_EQ(misread.messages.size(), 1u);
  EXPECT_FALSE(misread.messages[0].kind == Kind::NewAddress &&
               misread.messages[0].address == w.messages[2].address);

  // A new mask or peer is the same address, as the kernel keys it.
  const Walk peers = walk(join({report(rtm_newaddr, 4, "192.0.2.1", to, inet("192.0.2.2")),
                                message(rtm_newaddr, 4,
                                        {{rtax_netmask, inet("255.255.255.255")},
                                         {rtax_ifa, inet("192.0.2.1")},
                                         {rtax_brd, inet("192.0.2.3")}},
                                        to)}),
                          to);
  ASSERT_EQ(peers.messages.size(), 2u);
  EXPECT_EQ(peers.messages[0].address, peers.messages[1].address);
}

TEST_P(Layouts, OtherMessagesAndFamiliesAreNoReports) {
  const std::size_t to = GetParam();
  const Bytes ifinfo = interface_message(168);
  const Bytes route = message(rtm_add, 2, {{0, inet("192.0.2.0")}}, to);
  const Bytes v6 =
      message(rtm_newaddr, 2, {{rtax_ifa, sockaddr(28, af_inet6)}, {rtax_brd, sockaddr(0, 0)}}, to);
  // An own address of another family need hold no more than its family.
  const Bytes other = message(rtm_deladdr, 2, {{rtax_ifa, sockaddr(2, af_link)}}, to);
  const Walk w = walk(join({ifinfo, route, v6, other}), to);
  ASSERT_EQ(w.last, Step::End);
  ASSERT_EQ(w.messages.size(), 4u);
  for (const Message& m : w.messages) {
    EXPECT_EQ(m.kind, Kind::Other);
  }
  EXPECT_EQ(w.messages[0].type, rtm_ifinfo);
  // Nor need the last message hold more than the header all messages share.
  const Walk bare = walk(interface_message(4), to);
  EXPECT_EQ(bare.last, Step::End);
  EXPECT_EQ(bare.messages.size(), 1u);
  EXPECT_EQ(reports(join({ifinfo, route, v6, report(rtm_deladdr, 2, "192.0.2.1", to)}), to), "D");
}

TEST_P(Layouts, AnUnsoundHeaderEndsTheWalkAndUnsoundContentsOnlyTheirMessage) {
  const std::size_t to = GetParam();
  const Bytes good = report(rtm_newaddr, 1, "192.0.2.7", to);
  const auto with_len = [](Bytes b, std::uint16_t len) {
    std::memcpy(b.data(), &len, sizeof len);
    return b;
  };
  const struct {
    const char* what;
    Bytes bytes;
  } unsound_headers[] = {
      {"shorter than a header", Bytes(good.begin(), good.begin() + 3)},
      {"length 0", with_len(good, 0)},
      {"length under a header", with_len(good, 3)},
      {"length past the buffer", with_len(good, static_cast<std::uint16_t>(good.size() + 1))},
  };
  for (const auto& c : unsound_headers) {
    SCOPED_TRACE(c.what);
    // What came before the fault is still handed out.
    const Walk w = walk(join({good, c.bytes}), to);
    EXPECT_EQ(w.last, Step::Malformed);
    EXPECT_EQ(w.messages.size(), 1u);
    EXPECT_EQ(reports(join({good, c.bytes}), to), "N?");
  }

  Bytes other_version = good;
  other_version[2] = version + 1;
  Bytes short_sin = report(rtm_newaddr, 1, "192.0.2.8", to);
  const std::size_t ifa_at = 20 + 16 + 56;  // after the mask and the interface
  short_sin[ifa_at] = 7;                    // too short to hold an IPv4 address
  const struct {
    const char* what;
    Bytes bytes;
  } unsound_contents[] = {
      {"another version", other_version},
      {"shorter than its header", with_len(Bytes(good.begin(), good.begin() + 19), 19)},
      {"no own address, but one after it",
       message(rtm_deladdr, 1, {{rtax_netmask, inet("255.0.0.0")}, {rtax_brd, inet("192.0.2.255")}},
               to)},
      {"own address past the message",
       with_len(Bytes(good.begin(), good.begin() + ifa_at + 10), ifa_at + 10)},
      {"addresses before it past the message",
       with_len(Bytes(good.begin(), good.begin() + 30), 30)},
      {"addresses before it ending with the message",
       with_len(Bytes(good.begin(), good.begin() + 36), 36)},
      {"own address too short", short_sin},
      {"own address without its family", message(rtm_newaddr, 1, {{rtax_ifa, sockaddr(1, 0)}}, to)},
  };
  for (const auto& c : unsound_contents) {
    SCOPED_TRACE(c.what);
    const Walk w = walk(join({good, c.bytes, good}), to);
    EXPECT_EQ(w.last, Step::End);
    ASSERT_EQ(w.messages.size(), 3u);
    EXPECT_EQ(w.messages[1].kind, Kind::Unidentified);
    EXPECT_EQ(w.messages[2].kind, Kind::NewAddress);
    EXPECT_EQ(reports(join({good, c.bytes, good}), to), "NUN");
    // Alone, nothing past its end is read (as the sanitizers see).
    EXPECT_EQ(reports(c.bytes, to), "U");
  }
}

TEST_P(Layouts, ATableGivesItsIPv4AddressesAndPassesOverTheRest) {
  const std::size_t to = GetParam();
  const Bytes ifinfo = interface_message(152);
  Bytes garbled = report(rtm_newaddr, 2, "192.0.2.9", to);
  garbled[2] = 0;
  const Bytes table =
      join({ifinfo,
            message(rtm_newaddr, 1,
                    {{rtax_netmask, inet("255.0.0.0")}, {rtax_ifa, inet("127.0.0.1")}}, to),
            ifinfo, garbled, report(rtm_newaddr, 2, "198.51.100.2", to),
            message(rtm_newaddr, 2, {{rtax_ifa, sockaddr(28, af_inet6)}}, to)});
  std::vector<Address> rows;
  const auto take = [&rows](const Address& a) { rows.push_back(a); };
  EXPECT_TRUE(routing::each_row(table.data(), table.size(), to, take));
  EXPECT_EQ(rows,
            (std::vector<Address>{{1, ipv4("127.0.0.1"), 0, 0}, {2, ipv4("198.51.100.2"), 0, 0}}));
  rows.clear();
  EXPECT_FALSE(routing::each_row(table.data(), table.size() - 1, to, take));
  EXPECT_EQ(rows.size(), 2u);
}

#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
// Messages that FreeBSD 15.1's kernel for amd64 sent and sysctl gave,
// captured in a machine, which the fuzzer starts from too. They are in that
// machine's byte order.
TEST(Routing, WhatFreeBSDSentReadsAsTheChangesMade) {
  const auto bytes = [](const char* name) {
    const std::string text = testing_support::read_file(std::string(ROUTING_CORPUS "/") + name);
    return Bytes(text.begin(), text.end());
  };
  // 192.0.2.1/32 added to lo0 and deleted, with a route message between.
  const Bytes added = bytes("report-0");
  const Bytes route = bytes("report-1");
  const Bytes deleted = bytes("report-2");
  ASSERT_FALSE(added.empty() || route.empty() || deleted.empty());
  const Walk w = walk(join({added, route, deleted}), freebsd_amd64);
  ASSERT_EQ(w.last, Step::End);
  ASSERT_EQ(w.messages.size(), 3u);
  EXPECT_EQ(w.messages[0].kind, Kind::NewAddress);
  EXPECT_EQ(w.messages[0].address, (Address{1, ipv4("192.0.2.1"), 0, 0}));
  EXPECT_EQ(w.messages[1].kind, Kind::Other);
  EXPECT_EQ(w.messages[2].kind, Kind::DelAddress);
  EXPECT_EQ(w.messages[2].address, w.messages[0].address);

  // The table with lo0, an epair with an alias, and a point-to-point gif.
  const Bytes table = bytes("dump-0");
  std::vector<Address> rows;
  EXPECT_TRUE(routing::each_row(table.data(), table.size(), freebsd_amd64,
                                [&rows](const Address& a) { rows.push_back(a); }));
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0], (Address{1, ipv4("127.0.0.1"), 0, 0}));
  EXPECT_EQ(rows[1].local, ipv4("198.51.100.1"));
  EXPECT_EQ(rows[2].local, ipv4("198.51.100.2"));
  EXPECT_EQ(rows[1].ifindex, rows[2].ifindex);
  EXPECT_EQ(rows[3].local, ipv4("203.0.113.1"));
  EXPECT_NE(rows[3].ifindex, rows[1].ifindex);
}
#endif

}  // namespace
