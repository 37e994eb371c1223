// What a process in a jail without a network stack of its own can see of
// the host's IPv4 addresses: the route socket reports every address of the
// host, but the jail sees only those of its own list (none with ip4=disable,
// all with ip4=inherit), as a read of the table with sysctl shows.
#pragma once

#include <cstddef>

#include "address_table.h"
#include "routing.h"

namespace freebsd_layer {

class JailView {
 public:
  // Learns whether this process is in a jail whose network stack is the
  // host's (security.jail.jailed, without security.jail.vnet). Outside any
  // jail, and in one with a stack of its own, every report is seen.
  void open();

  // True when the report is of an address this process sees, or has seen:
  // the jail's list is not told to it, so an address is known to be the
  // jail's once a read of the table has shown it, or a socket could be
  // bound to it when its addition was reported. Where that cannot be
  // found out (no socket to try with), the report is taken as seen, for a
  // spare line is better than a lost one. May throw std::bad_alloc.
  bool sees(const routing::Message& report);

  // An address that a read of the table showed: the jail sees it. May
  // throw std::bad_alloc.
  void listed(const emulated::Address& a);

  // False where every report is seen.
  bool restricted() const { return restricted_; }

 private:
  // Remembers that the jail sees the address, by its own address alone.
  void learn(std::uint32_t local);

  bool restricted_ = false;
  // A jail's list holds at most this many addresses (jail_max_af_ips): one
  // that sees more has the host's (ip4=inherit), and sees every report.
  std::size_t most_ = 0;
  emulated::AddressSet known_;
};

}  // namespace freebsd_layer
