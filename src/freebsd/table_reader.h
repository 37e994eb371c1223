// The table reader: reads the whole IPv4 address table with sysctl
// NET_RT_IFLIST, then takes in the monitor's reports queued meanwhile, so
// that no change falls between the two.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "address_table.h"
#include "monitor.h"
#include "routing.h"

namespace freebsd_layer {

class TableReader {
 public:
  struct Result {
    int error = 0;                   // 0, or the errno value that ended the reading
    bool changed_meanwhile = false;  // a report came in, or reports were lost
  };

  // Reads the table afresh. The monitor must be open already, so that every
  // change from then on is in the read or in its reports, never in neither;
  // those reports go to the table as well. A read during which the kernel
  // dropped reports is started again, within bounds. May throw
  // std::bad_alloc.
  Result read(Monitor& monitor, emulated::AddressTable& table);

 private:
  // The table's bytes into buffer_, kept from read to read. Returns 0, or
  // an errno value.
  int fetch();

  std::vector<std::uint8_t> buffer_;
  std::size_t size_ = 0;
};

}  // namespace freebsd_layer
