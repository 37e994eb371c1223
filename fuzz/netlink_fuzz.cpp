// libFuzzer target: any bytes at all through the netlink parser, the address
// table and a dump reply, as a hostile or broken sender could hand them over.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "address_table.h"
#include "netlink.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  emulated::AddressTable table;
  std::size_t offset = 0;
  netlink::Message msg;
  netlink::Step step;
  while ((step = netlink::next(data, size, offset, msg)) == netlink::Step::Message) {
    const std::size_t before = table.size();
    const bool changed = msg.kind == netlink::Kind::NewAddress   ? table.added(msg.address)
                         : msg.kind == netlink::Kind::DelAddress ? table.removed(msg.address)
                                                                 : false;
    // A report moves the row count by one at most, and an addition that
    // does not move it is no change.
    const std::size_t after = table.size();
    if (after > before + 1 || before > after + 1 ||
        (msg.kind == netlink::Kind::NewAddress && changed != (after == before + 1))) {
      std::abort();
    }
  }
  // A walk always ends inside the buffer, and only an End reaches its end.
  if (offset > size || (step == netlink::Step::End) != (offset >= size)) {
    std::abort();
  }
  // The same bytes as a dump reply: it ends at most once, and a failure says why.
  netlink::DumpReply reply(0, 0);
  table.begin_read();
  const auto read_row = [&table](const emulated::Address& a) { table.read(a); };
  const auto state = reply.take(data, size, read_row);
  table.end_read();
  if ((state == netlink::DumpReply::State::Failed) != (reply.error() != 0) ||
      reply.take(data, size, read_row) != state) {
    std::abort();
  }
  return 0;
}
