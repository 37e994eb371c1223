// The table reader: asks the kernel for the whole IPv4 address table over a
// dump socket of its own, and reads the reply while the monitor's reports go
// on coming in, so that no change falls between the two. What to do at
// each step is DumpRead's to say; this does the I/O.
#pragma once

#include <cstdint>
#include <vector>

#include "address_table.h"
#include "dump_read.h"
#include "monitor.h"
#include "read_policy.h"

namespace linux_layer {

class TableReader {
 public:
  TableReader() = default;
  ~TableReader();
  TableReader(const TableReader&) = delete;
  TableReader& operator=(const TableReader&) = delete;

  // Reads the table afresh. The monitor must be subscribed already, so that
  // every change from then on is in the read or in its reports, never in
  // neither; those reports go to the table as well. After a loss of
  // reports, the monitor's queue is thrown away first. May throw
  // std::bad_alloc.
  emulated::ReadResult read(Monitor& monitor, emulated::AddressTable& table,
                            bool after_loss = false);

 private:
  DumpRead::Command send(DumpRead& read, bool fresh_socket);
  DumpRead::Command poll(Monitor& monitor, DumpRead& read, const DumpRead::Command& next);
  DumpRead::Command receive(DumpRead& read);

  int fd_ = -1;
  std::uint32_t port_ = 0;
  std::uint32_t seq_ = 0;
  std::vector<std::uint8_t> buffer_;
};

}  // namespace linux_layer
