// The address table and its rules for what is a change.
#include "address_table.h"

#include <arpa/inet.h>

namespace emulated {

Address Address::of(std::uint32_t ifindex, std::uint32_t local, std::uint32_t peer,
                    std::uint8_t prefixlen) {
  const std::uint32_t mask = prefixlen == 0 ? 0 : (prefixlen >= 32 ? ~0U : ~0U << (32 - prefixlen));
  return Address{ifindex, local, peer & htonl(mask), prefixlen};
}

bool AddressTable::added(const Address& a) {
  if (reading_) {
    during_read_.push_back({a, true});
    reported_ = true;
    return true;
  }
  return rows_.insert(a).second;
}

bool AddressTable::removed(const Address& a) {
  if (reading_) {
    during_read_.push_back({a, false});
    reported_ = true;
  } else {
    rows_.erase(a);
  }
  return true;
}

bool AddressTable::unreadable() {
  reported_ = reported_ || reading_;
  return true;
}

void AddressTable::begin_read() {
  rows_.clear();
  during_read_.clear();
  reading_ = true;
  reported_ = false;
}

void AddressTable::read(const Address& a) { rows_.insert(a); }

bool AddressTable::end_read() {
  // In order: for an address reported more than once, the last report holds.
  for (const Report& r : during_read_) {
    if (r.added) {
      rows_.insert(r.address);
    } else {
      rows_.erase(r.address);
    }
  }
  during_read_.clear();
  reading_ = false;
  return reported_;
}

std::size_t AddressTable::Hash::operator()(const Address& a) const noexcept {
  std::uint64_t h = (std::uint64_t{a.ifindex} << 40) ^ (std::uint64_t{a.prefixlen} << 32) ^
                    a.local ^ (std::uint64_t{a.peer} << 7);
  // A multiplicative mix, so that neighbouring addresses spread over the buckets.
  h *= 0x9E3779B97F4A7C15ULL;
  return static_cast<std::size_t>(h ^ (h >> 29));
}

}  // namespace emulated
