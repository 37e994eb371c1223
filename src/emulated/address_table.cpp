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
  return rows_.insert(a);
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

bool AddressTable::unidentified() {
  reported_ = reported_ || reading_;
  return true;
}

void AddressTable::begin_read() {
  rows_.clear();
  found_.clear();
  during_read_.clear();
  reading_ = true;
  reported_ = false;
}

void AddressTable::listed(const Address& a) { found_.push_back(a); }

bool AddressTable::end_read() {
  rows_.reserve(found_.size());
  for (const Address& a : found_) {
    rows_.insert(a);
  }
  found_.clear();
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

std::size_t AddressSet::home(const Address& a) const {
  std::uint64_t h = (std::uint64_t{a.ifindex} << 40) ^ (std::uint64_t{a.prefixlen} << 32) ^
                    a.local ^ (std::uint64_t{a.peer} << 7);
  // A multiplicative mix, so that neighbouring addresses spread over the slots.
  h *= 0x9E3779B97F4A7C15ULL;
  return static_cast<std::size_t>(h >> 32) & (slots_.size() - 1);
}

void AddressSet::reserve(std::size_t n) {
  std::size_t slots = slots_.empty() ? 64 : slots_.size();
  while (n * 8 > slots * 7) {
    slots *= 2;
  }
  if (slots != slots_.size()) {
    rehash(slots);
  }
}

void AddressSet::rehash(std::size_t slots) {
  std::vector<Slot> old(slots);
  old.swap(slots_);
  size_ = 0;
  for (const Slot& s : old) {
    if (s.used) {
      insert(s.address);
    }
  }
}

bool AddressSet::insert(const Address& a) {
  reserve(size_ + 1);
  for (std::size_t i = home(a);; i = (i + 1) & (slots_.size() - 1)) {
    if (!slots_[i].used) {
      slots_[i] = {a, true};
      ++size_;
      return true;
    }
    if (slots_[i].address == a) {
      return false;
    }
  }
}

bool AddressSet::contains(const Address& a) const {
  if (size_ == 0) {
    return false;
  }
  for (std::size_t i = home(a);; i = (i + 1) & (slots_.size() - 1)) {
    if (!slots_[i].used) {
      return false;
    }
    if (slots_[i].address == a) {
      return true;
    }
  }
}

void AddressSet::erase(const Address& a) {
  if (size_ == 0) {
    return;
  }
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = home(a);
  while (slots_[i].used && !(slots_[i].address == a)) {
    i = (i + 1) & mask;
  }
  if (!slots_[i].used) {
    return;
  }
  // Later rows of the run move back into the gap where it lies on their way
  // from home, so that every row is still found without markers of the gone.
  for (std::size_t j = (i + 1) & mask; slots_[j].used; j = (j + 1) & mask) {
    if (((j - home(slots_[j].address)) & mask) >= ((j - i) & mask)) {
      slots_[i] = slots_[j];
      i = j;
    }
  }
  slots_[i].used = false;
  --size_;
}

void AddressSet::clear() {
  for (Slot& s : slots_) {
    s.used = false;
  }
  size_ = 0;
}

}  // namespace emulated
