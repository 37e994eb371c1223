// The address table against a model of it: which of the monitor's reports is
// a change, and how reports that come in while the table is read afresh are
// kept and replayed. The reports go through this system's layer, as the
// monitor's do.
#include <sys/socket.h>
#include <arpa/inet.h>

#include <random>
#include <set>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "address_table.h"
#include "change.h"
#include "layer_kernel.h"

namespace {

using emulated::Address;
using emulated::AddressTable;

using Kind = decltype(emulated::LayerReport::kind);

// One report of the monitor, as the layer hands it to the table.
bool report(AddressTable& t, Kind kind, const Address& a = {}) {
  emulated::LayerReport m;
  m.kind = kind;
  m.address = a;
  return emulated::apply(t, m);
}

// How the kernel tells addresses apart: interface, own address, prefix, and
// the peer's bits under the prefix, worked out here apart from Address::of.
using Key = std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, int>;

Key key_of(std::uint32_t ifindex, std::uint32_t local, std::uint32_t peer, int prefixlen) {
  const std::uint32_t host_peer = ntohl(peer);
  const std::uint32_t under =
      prefixlen == 0 ? 0 : host_peer >> (32 - prefixlen) << (32 - prefixlen);
  return {ifindex, local, under, prefixlen};
}

TEST(AddressTable, EveryReportAndReadAgreesWithAModelOfTheTable) {
  // A few hundred addresses: neighbours on three interfaces, and one own
  // address with peers that differ above, under and across the prefix.
  std::mt19937 random(7);
  std::vector<Address> all;
  std::vector<Key> keys;
  const auto add = [&](std::uint32_t ifindex, std::uint32_t local, std::uint32_t peer, int len) {
    all.push_back(Address::of(ifindex, local, peer, static_cast<std::uint8_t>(len)));
    keys.push_back(key_of(ifindex, local, peer, len));
  };
  for (std::uint32_t i = 0; i < 240; ++i) {
    add(1 + i % 3, htonl(0xC0000200 + i), htonl(0xC0000200 + i), 32);
  }
  for (const int len : {0, 1, 24, 25, 31, 32}) {
    for (const std::uint32_t peer : {0xC0000202U, 0xC0000203U, 0xC6336402U, 0x40000000U}) {
      add(5, htonl(0xC0000201), htonl(peer), len);
    }
  }

  // The model: the rows it holds, and during a read what it has found and
  // the reports that came, to replay in order.
  std::set<Key> rows, found;
  std::vector<std::pair<Key, bool>> replay;
  bool reading = false, reported = false;
  AddressTable t;
  const auto begin_or_end_read = [&] {
    if (!reading) {
      t.begin_read();
      rows.clear(), found.clear(), replay.clear();
      reading = true, reported = false;
      return;
    }
    ASSERT_EQ(t.end_read(), reported);
    rows.insert(found.begin(), found.end());
    for (const auto& [k, added] : replay) {
      if (added) {
        rows.insert(k);
      } else {
        rows.erase(k);
      }
    }
    reading = false;
  };
  for (int step = 0; step < 60000; ++step) {
    SCOPED_TRACE(step);
    const std::size_t i = random() % all.size();
    const auto op = static_cast<unsigned>(random() % 1000);
    // Grow, then shrink, then grow, so that the set both fills and empties;
    // now and then a short read of the table, with rows and few reports
    // inside it, unidentified ones among them, or none.
    const unsigned adds = step / 20000 == 1 ? 300 : 700;
    if (op < (reading ? 50U : 3U)) {
      ASSERT_EQ(t.reading(), reading);
      ASSERT_NO_FATAL_FAILURE(begin_or_end_read());
    } else if (op < (reading ? 80U : 5U)) {
      ASSERT_TRUE(report(t, Kind::Unidentified));
      reported = reported || reading;
    } else if (reading && op < 900) {
      t.listed(all[i]);
      found.insert(keys[i]);
    } else if (reading ? random() % 2 == 0 : op < adds) {
      // A change only where it is new, or while the table is read.
      ASSERT_EQ(report(t, Kind::NewAddress, all[i]), reading || rows.insert(keys[i]).second);
      if (reading) {
        replay.emplace_back(keys[i], true);
        reported = true;
      }
    } else {
      // Always a change: the kernel reports only the going of an address
      // that was there, and one the table lacks was missed by a read.
      ASSERT_TRUE(report(t, Kind::DelAddress, all[i]));
      if (reading) {
        replay.emplace_back(keys[i], false);
        reported = true;
      } else {
        rows.erase(keys[i]);
      }
    }
    ASSERT_EQ(t.size(), rows.size());
  }
  // What it holds, address by address; those the kernel cannot tell apart
  // are one.
  if (reading) {
    begin_or_end_read();
  }
  for (std::size_t i = 0; i < all.size(); ++i) {
    AddressTable probe = t;
    EXPECT_EQ(!probe.added(all[i]), rows.count(keys[i]) == 1) << i;
  }
}

}  // namespace
