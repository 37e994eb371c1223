// The table reader: reads the whole IPv4 address table with sysctl
// NET_RT_IFLIST, then takes in the monitor's reports queued meanwhile, so
// that no change falls between the two.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "address_table.h"
#include "monitor.h"
#include "read_policy.h"
#include "routing.h"

namespace freebsd_layer {

class TableReader {
 public:
  // Reads the table afresh. The monitor must be open already, so that every
  // change from then on is in the read or in its reports, never in neither;
  // those reports go to the table as well. After a loss of reports, the
  // monitor's queue is thrown away first. May throw std::bad_alloc.
  emulated::ReadResult read(Monitor& monitor, emulated::AddressTable& table,
                            bool after_loss = false);

 private:
  // One sysctl of the table and a drain of the reports queued meanwhile.
  struct Tried {
    emulated::ReadPolicy::Outcome how;
    int error = 0;
  };
  Tried attempt(Monitor& monitor, emulated::AddressTable& table);

  // The table's bytes into buffer_, kept from read to read. Returns 0, or
  // an errno value: ENOMEM when the table outgrew the room made for it.
  int fetch();

  std::vector<std::uint8_t> buffer_;
  std::size_t size_ = 0;
};

}  // namespace freebsd_layer
