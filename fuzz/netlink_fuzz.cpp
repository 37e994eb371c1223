// libFuzzer target: any bytes at all through the netlink parser, the address
// table and a read of it, as a hostile or broken sender could hand them over.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "address_table.h"
#include "dump_read.h"
#include "netlink.h"
#include "change.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  emulated::AddressTable table;
  // As reports: each moves the row count by one at most, an addition that
  // does not move it is no change, and one that cannot be read is a change
  // that moves nothing.
  const bool sound = netlink::each_report(data, size, [&table](const netlink::Message& m) {
    const std::size_t before = table.size();
    const bool changed = emulated::apply(table, m);
    const std::size_t after = table.size();
    if (after > before + 1 || before > after + 1 ||
        (m.kind == netlink::Kind::NewAddress && changed != (after == before + 1)) ||
        (m.kind == netlink::Kind::Unidentified && (!changed || after != before))) {
      std::abort();
    }
  });
  // A walk always ends inside the buffer, and only an End reaches its end.
  std::size_t offset = 0;
  netlink::Message msg;
  netlink::Step step;
  while ((step = netlink::next(data, size, offset, msg)) == netlink::Step::Message) {
  }
  if (offset > size || (step == netlink::Step::End) != (offset >= size) ||
      sound != (step == netlink::Step::End)) {
    std::abort();
  }
  // As the reply to a read of the table, from the kernel, twice: what
  // follows is another poll, another attempt, or the end of the read; and
  // a read that ends without an error is whole.
  using linux_layer::DumpRead;
  DumpRead read(table);
  const auto now = DumpRead::Clock::now();
  DumpRead::Command next = read.start();
  for (int attempt = 0; attempt < 2 && next.io != DumpRead::Io::Done; ++attempt) {
    read.sent(0, 0, now);
    next = read.received(data, size, 0, false, now);
    if (next.io == DumpRead::Io::Poll && !next.reply) {
      next = read.silence(now);
    }
    if (next.io == DumpRead::Io::Discard || next.io == DumpRead::Io::Fail ||
        (next.io == DumpRead::Io::Done && read.result().error != 0)) {
      std::abort();
    }
  }
  return 0;
}
