// The address table's rules: which report is a change, and how reports that
// come in while the table is read afresh are kept and replayed.
#include <arpa/inet.h>

#include <gtest/gtest.h>

#include "address_table.h"

namespace {

using emulated::Address;
using emulated::AddressTable;

std::uint32_t ipv4(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

Address address(const char* local, std::uint8_t prefixlen = 24, std::uint32_t ifindex = 2) {
  return Address::of(ifindex, ipv4(local), ipv4(local), prefixlen);
}

TEST(AddressTable, OnlyAddressesComingAndGoingAreChanges) {
  AddressTable t;
  const Address a = address("192.0.2.1");
  EXPECT_TRUE(t.added(a));
  EXPECT_FALSE(t.added(a));  // a refresh
  EXPECT_TRUE(t.added(address("192.0.2.1", 25)));
  EXPECT_TRUE(t.added(address("192.0.2.1", 24, 3)));
  EXPECT_TRUE(t.added(address("192.0.2.2")));
  EXPECT_EQ(t.size(), 4u);
  EXPECT_TRUE(t.removed(a));
  EXPECT_TRUE(t.added(a));  // back again
  EXPECT_TRUE(t.unreadable());
  EXPECT_EQ(t.size(), 4u);
  // The kernel reports only the removal of an address that was there; one
  // the table lacks was missed by a read, and its going is a change too.
  EXPECT_TRUE(t.removed(address("198.51.100.1")));
  EXPECT_EQ(t.size(), 4u);
}

TEST(AddressTable, AddressesAreToldApartByTheirPeerUnderThePrefix) {
  const std::uint32_t local = ipv4("192.0.2.1");
  const Address to_a = Address::of(5, local, ipv4("192.0.2.2"), 32);
  const Address to_b = Address::of(5, local, ipv4("198.51.100.2"), 32);
  const Address net = Address::of(5, local, ipv4("192.0.2.1"), 24);
  const Address peer_net = Address::of(5, local, ipv4("198.51.100.0"), 24);
  AddressTable t;
  for (const Address& a : {to_a, to_b, net, peer_net}) {
    EXPECT_TRUE(t.added(a));
  }
  EXPECT_TRUE(t.removed(to_a));
  EXPECT_FALSE(t.added(to_b));  // still there: a refresh
  EXPECT_TRUE(t.removed(to_b));
  EXPECT_TRUE(t.added(to_a));
  // Bits of the peer beyond the prefix do not tell addresses apart.
  EXPECT_EQ(Address::of(5, local, ipv4("198.51.100.77"), 24), peer_net);
  EXPECT_EQ(Address::of(5, local, ipv4("198.51.100.77"), 0), Address::of(5, local, 0, 0));
}

TEST(AddressTable, ReportsDuringAReadAreChangesReplayedOverIt) {
  AddressTable t;
  t.added(address("203.0.113.1"));  // forgotten by the fresh read
  t.begin_read();
  t.read(address("192.0.2.1"));
  t.read(address("192.0.2.2"));
  // Each report is a change, however the read turns out.
  EXPECT_TRUE(t.removed(address("192.0.2.1")));
  EXPECT_TRUE(t.added(address("192.0.2.3")));
  EXPECT_TRUE(t.removed(address("192.0.2.3")));
  EXPECT_TRUE(t.removed(address("192.0.2.4")));
  EXPECT_TRUE(t.added(address("192.0.2.4")));
  t.read(address("192.0.2.5"));
  EXPECT_TRUE(t.end_read());
  // The last report of an address holds over whatever the read found.
  EXPECT_EQ(t.size(), 3u);
  EXPECT_FALSE(t.added(address("192.0.2.2")));
  EXPECT_FALSE(t.added(address("192.0.2.4")));
  EXPECT_FALSE(t.added(address("192.0.2.5")));

  t.begin_read();
  t.read(address("192.0.2.2"));
  EXPECT_FALSE(t.end_read());  // no report came in
  EXPECT_EQ(t.size(), 1u);
}

}  // namespace
