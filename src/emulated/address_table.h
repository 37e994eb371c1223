// The IPv4 address table as a layer over a kernel's address reports sees it,
// and the rules that say which report is a change. It knows nothing of how
// the reports arrive, so any kernel interface (rtnetlink, PF_ROUTE) can use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace emulated {

// One IPv4 address, told apart from the others as the kernel tells them apart:
// by interface, own address, prefix length and the peer (or network) address
// under that prefix. Lifetimes, flags and labels are not part of it, so
// refreshing them is no change. Addresses are in network byte order.
struct Address {
  std::uint32_t ifindex = 0;
  std::uint32_t local = 0;
  std::uint32_t peer = 0;  // only the bits under the prefix
  std::uint8_t prefixlen = 0;

  // peer is masked to prefixlen here, so that any two reports of one address
  // compare equal.
  static Address of(std::uint32_t ifindex, std::uint32_t local, std::uint32_t peer,
                    std::uint8_t prefixlen);

  friend bool operator==(const Address& a, const Address& b) {
    return a.ifindex == b.ifindex && a.local == b.local && a.peer == b.peer &&
           a.prefixlen == b.prefixlen;
  }
};

// A set of addresses in one array (open addressing, linear probing): a table
// of many thousands is one block of memory, with no allocation per row.
class AddressSet {
 public:
  // Returns true if the address was not there. May throw std::bad_alloc.
  bool insert(const Address& a);
  // Removes the address, if it is there.
  void erase(const Address& a);
  bool contains(const Address& a) const;
  // Makes room for n addresses in all, so that inserting them moves nothing.
  void reserve(std::size_t n);
  // Empties the set and keeps its room.
  void clear();
  std::size_t size() const { return size_; }

 private:
  struct Slot {
    Address address;
    bool used = false;
  };
  std::size_t home(const Address& a) const;
  void rehash(std::size_t slots);

  std::vector<Slot> slots_;  // a power of two of them, never more than 7/8 used
  std::size_t size_ = 0;
};

// Every member that allocates may throw std::bad_alloc; the table is then no
// longer to be trusted, and its owner must stop using it.
class AddressTable {
 public:
  // A report that the address exists now, whether it is new or refreshed.
  // Returns true when it is a change: an address the table did not hold.
  bool added(const Address& a);

  // A report that the address has gone. Always a change, because the kernel
  // reports only addresses that existed; one the table lacks was missed by a
  // read of the table that could not be whole.
  bool removed(const Address& a);

  // An address report that does not say which address it is of. Counted as
  // a change, since a spare line is better than a lost one; the table stays
  // as it was.
  bool unidentified();

  // Starts a fresh read of the kernel's table: forgets every row, and keeps
  // the reports that come in meanwhile (each counted as a change) to replay
  // once the read is over, since the read may or may not show their effect.
  void begin_read();
  // A row as the read found it. Several reads may feed one begin_read(),
  // when the kernel marked an earlier one as interrupted: every row a read
  // shows existed when it was read, so together they miss less.
  void listed(const Address& a);
  // Replays the kept reports over the rows read. Returns true if any report
  // came in since begin_read().
  bool end_read();

  bool reading() const { return reading_; }
  std::size_t size() const { return rows_.size(); }

 private:
  struct Report {
    Address address;
    bool added;
  };
  AddressSet rows_;
  // What a read finds is set down in order first and put in rows_ at its
  // end: the kernel walks its own table meanwhile, and the fewer places this
  // one touches, the faster that walk.
  std::deque<Address> found_;
  std::vector<Report> during_read_;
  bool reading_ = false;
  bool reported_ = false;
};

}  // namespace emulated
