// The address table's rules: which of the monitor's reports is a change, and
// how reports that come in while the table is read afresh are kept and
// replayed. The reports go through this system's layer, as the monitor's do.
#include <sys/socket.h>
#include <arpa/inet.h>

#include <random>
#include <set>
#include <tuple>

#include <gtest/gtest.h>

#include "sandbox.h"

#include "address_table.h"
#include "reports.h"
#include "table_reader.h"
#ifdef __linux__
#include "netlink.h"
#else
#include "routing.h"
#endif

namespace {

using testing_support::ipv4;

using emulated::Address;
using emulated::AddressSet;
using emulated::AddressTable;

Address address(const char* local, std::uint8_t prefixlen = 24, std::uint32_t ifindex = 2) {
  return Address::of(ifindex, ipv4(local), ipv4(local), prefixlen);
}

#ifdef __linux__
namespace report_of = netlink;
#else
namespace report_of = routing;
#endif

// One report of the monitor, as the layer hands it to the table.
bool report(AddressTable& t, report_of::Kind kind, const Address& a = {}) {
  report_of::Message m;
  m.kind = kind;
  m.address = a;
  return emulated::apply(t, m);
}

TEST(AddressTable, OnlyAddressesComingAndGoingAreChanges) {
  using enum report_of::Kind;
  AddressTable t;
  const Address a = address("192.0.2.1");
  EXPECT_TRUE(report(t, NewAddress, a));
  EXPECT_FALSE(report(t, NewAddress, a));  // a refresh
  EXPECT_TRUE(report(t, NewAddress, address("192.0.2.1", 25)));
  EXPECT_TRUE(report(t, NewAddress, address("192.0.2.1", 24, 3)));
  EXPECT_TRUE(report(t, NewAddress, address("192.0.2.2")));
  EXPECT_EQ(t.size(), 4u);
  EXPECT_TRUE(report(t, DelAddress, a));
  EXPECT_TRUE(report(t, NewAddress, a));  // back again
  // A report of an address that cannot be read may be of any change.
  EXPECT_TRUE(report(t, Unreadable));
  EXPECT_EQ(t.size(), 4u);
  // The kernel reports only the removal of an address that was there; one
  // the table lacks was missed by a read, and its going is a change too.
  EXPECT_TRUE(report(t, DelAddress, address("198.51.100.1")));
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
  t.listed(address("192.0.2.1"));
  t.listed(address("192.0.2.2"));
  // Each report is a change, however the read turns out.
  EXPECT_TRUE(t.removed(address("192.0.2.1")));
  EXPECT_TRUE(t.added(address("192.0.2.3")));
  EXPECT_TRUE(t.removed(address("192.0.2.3")));
  EXPECT_TRUE(t.removed(address("192.0.2.4")));
  EXPECT_TRUE(t.added(address("192.0.2.4")));
  t.listed(address("192.0.2.5"));
  EXPECT_TRUE(t.end_read());
  // The last report of an address holds over whatever the read found.
  EXPECT_EQ(t.size(), 3u);
  EXPECT_FALSE(t.added(address("192.0.2.2")));
  EXPECT_FALSE(t.added(address("192.0.2.4")));
  EXPECT_FALSE(t.added(address("192.0.2.5")));

  t.begin_read();
  t.listed(address("192.0.2.2"));
  EXPECT_FALSE(t.end_read());  // no report came in
  EXPECT_EQ(t.size(), 1u);
  t.begin_read();
  t.listed(address("192.0.2.2"));
  EXPECT_TRUE(t.removed(address("192.0.2.2")));
  EXPECT_TRUE(t.end_read());  // a removal alone is a change too
  EXPECT_EQ(t.size(), 0u);
  t.begin_read();
  EXPECT_TRUE(t.unreadable());
  EXPECT_TRUE(t.end_read());  // one came that could not be read
}

TEST(AddressSet, KeepsWhatASetOfAddressesWouldThroughGrowthAndRemovals) {
  // Few distinct addresses and many operations: runs of neighbours, runs
  // that wrap round the end, growth, and removals from the middle of a run.
  std::mt19937 random(7);
  const auto key = [](const Address& a) {
    return std::tie(a.ifindex, a.local, a.peer, a.prefixlen);
  };
  const auto less = [&](const Address& a, const Address& b) { return key(a) < key(b); };
  std::set<Address, decltype(less)> model(less);
  AddressSet set;
  std::vector<Address> all;
  for (std::uint32_t i = 0; i < 300; ++i) {
    all.push_back(Address::of(1 + i % 3, htonl(0xC0000200 + i), 0, 32));
  }
  for (int step = 0; step < 20000; ++step) {
    const Address& a = all[random() % all.size()];
    // Grow for a while, then mostly remove, so that the set both fills and
    // empties.
    if (random() % 100 < (step < 10000 ? 70u : 30u)) {
      ASSERT_EQ(set.insert(a), model.insert(a).second) << step;
    } else {
      ASSERT_EQ(set.erase(a), model.erase(a) == 1) << step;
    }
    ASSERT_EQ(set.size(), model.size()) << step;
  }
  for (const Address& a : all) {
    // Inserting reports whether it was there; erasing puts that back.
    const bool was_there = !set.insert(a);
    EXPECT_EQ(was_there, model.count(a) == 1);
    if (!was_there) {
      EXPECT_TRUE(set.erase(a));
    }
  }
  set.clear();
  EXPECT_EQ(set.size(), 0u);
  EXPECT_FALSE(set.erase(all[0]));
  EXPECT_TRUE(set.insert(all[0]));
}

}  // namespace
