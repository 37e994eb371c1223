// The table reader: asks the kernel for the whole IPv4 address table over a
// dump socket of its own, and reads the reply while the monitor's reports go
// on coming in, so that no change falls between the two.
#pragma once

#include <cstdint>
#include <vector>

#include "address_table.h"
#include "monitor.h"
#include "netlink.h"

namespace linux_layer {

// Hands one report of the monitor to the table. Returns true when it is a
// change.
bool apply(emulated::AddressTable& table, const netlink::Message& report);

class TableReader {
 public:
  TableReader() = default;
  ~TableReader();
  TableReader(const TableReader&) = delete;
  TableReader& operator=(const TableReader&) = delete;

  struct Result {
    int error = 0;                   // 0, or the errno value that ended the reading
    bool changed_meanwhile = false;  // a report came in, or reports were lost
  };

  // Reads the table afresh. The monitor must be subscribed already, so that
  // every change from then on is in the read or in its reports, never in
  // neither; those reports go to the table as well. A read that fails, is
  // cut short or loses reports is started again, within bounds. May throw
  // std::bad_alloc.
  Result read(Monitor& monitor, emulated::AddressTable& table);

 private:
  enum class End { Whole, Interrupted, Failed, ReportsLost, Broken };
  struct Outcome {
    End end;
    int error = 0;
  };
  // One request and its reply, with the monitor's reports taken in.
  Outcome read_once(Monitor& monitor, emulated::AddressTable& table);

  int fd_ = -1;
  std::uint32_t port_ = 0;
  std::uint32_t seq_ = 0;
  std::vector<std::uint8_t> buffer_;
};

}  // namespace linux_layer
