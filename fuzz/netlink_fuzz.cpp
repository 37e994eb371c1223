// libFuzzer target: any bytes at all through the netlink parser and the
// address table, as a hostile or broken sender could hand them over.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "netlink.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  netlink::AddressTable table;
  std::size_t offset = 0;
  netlink::Message msg;
  netlink::Step step;
  while ((step = netlink::next(data, size, offset, msg)) == netlink::Step::Message) {
    const std::size_t before = table.size();
    const bool changed = table.apply(msg);
    // A change moves the row count by exactly one; anything else leaves it.
    const std::size_t after = table.size();
    if (changed != (after != before) || (after > before + 1) || (before > after + 1)) {
      std::abort();
    }
  }
  // A walk always ends inside the buffer, and only an End reaches its end.
  if (offset > size || (step == netlink::Step::End) != (offset >= size)) {
    std::abort();
  }
  return 0;
}
