// libFuzzer target: any bytes at all through the routing-socket parser, in
// both systems' layouts, as reports to the address table and as a table
// read, as a broken kernel or a hostile sender could hand them over.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "address_table.h"
#include "change.h"
#include "routing.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  for (const std::size_t rounding : {routing::freebsd_rounding, routing::macos_rounding}) {
    emulated::AddressTable table;
    std::size_t offset = 0;
    routing::Message msg;
    routing::Step step;
    std::size_t reports = 0;
    while ((step = routing::next(data, size, offset, msg, rounding)) == routing::Step::Message) {
      if (msg.kind == routing::Kind::Other) {
        continue;
      }
      ++reports;
      const std::size_t before = table.size();
      const bool changed = emulated::apply(table, msg);
      // A report moves the row count by one at most, an addition that does
      // not move it is no change, and an unidentified one always is.
      const std::size_t after = table.size();
      if (after > before + 1 || before > after + 1 ||
          (msg.kind == routing::Kind::NewAddress && changed != (after == before + 1)) ||
          (msg.kind != routing::Kind::NewAddress && !changed)) {
        std::abort();
      }
    }
    // A walk always ends inside the buffer, and only an End reaches its end.
    if (offset > size || (step == routing::Step::End) != (offset >= size)) {
      std::abort();
    }
    // The same bytes as reports and as a table read: the same messages, and
    // no more rows than there were reports.
    std::size_t handed = 0;
    const bool sound = routing::each_report(data, size, rounding,
                                            [&handed](const routing::Message&) { ++handed; });
    table.begin_read();
    std::size_t rows = 0;
    const bool read = routing::each_row(data, size, rounding, [&](const emulated::Address& a) {
      table.listed(a);
      ++rows;
    });
    table.end_read();
    if (handed != reports || sound != (step == routing::Step::End) || read != sound ||
        rows > reports || table.size() > rows) {
      std::abort();
    }
  }
  return 0;
}
