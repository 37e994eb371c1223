// Where a kernel's report becomes a change, or not: what each kind of report
// means to the address table, for both layers.
#pragma once

#include "address_table.h"

namespace emulated {

// Hands one report of the kernel's (a parser's Message, whose Kind names
// NewAddress and DelAddress) to the table. Returns true when it is a change.
template <typename Report>
bool apply(AddressTable& table, const Report& report) {
  using Kind = decltype(report.kind);
  switch (report.kind) {
    case Kind::NewAddress:
      return table.added(report.address);
    case Kind::DelAddress:
      return table.removed(report.address);
    default:
      return table.unidentified();
  }
}

}  // namespace emulated
