// Reading the IPv4 address table with sysctl, each attempt judged by the
// read policy that the Linux layer's dumps share.
#include "table_reader.h"

#include <sys/types.h>
#include <sys/socket.h>
#include <sys/sysctl.h>

#include <cerrno>

#include "change.h"

namespace freebsd_layer {

using Policy = emulated::ReadPolicy;

int TableReader::fetch() {
  int mib[] = {CTL_NET, PF_ROUTE, 0, AF_INET, NET_RT_IFLIST, 0};
  std::size_t needed = 0;
  if (sysctl(mib, 6, nullptr, &needed, nullptr, 0) != 0) {
    return errno;
  }
  // Room for what may come between the two calls.
  needed += needed / 8 + 4096;
  if (buffer_.size() < needed) {
    buffer_.resize(needed);
  }
  std::size_t got = buffer_.size();
  if (sysctl(mib, 6, buffer_.data(), &got, nullptr, 0) != 0) {
    return errno;
  }
  size_ = got;
  return 0;
}

TableReader::Tried TableReader::attempt(Monitor& monitor, emulated::AddressTable& table) {
  if (const int error = fetch(); error != 0) {
    // A table that grew past the room made for it is fetched again.
    return {error == ENOMEM ? Policy::Outcome::Incomplete : Policy::Outcome::Fatal, error};
  }
  JailView& view = monitor.view();
  if (!routing::each_row(buffer_.data(), size_, routing::freebsd_rounding,
                         [&table, &view](const emulated::Address& a) {
                           table.listed(a);
                           view.listed(a);
                         })) {
    return {Policy::Outcome::Fatal, EBADMSG};
  }
  // Every report of a change that the read could show is queued by now.
  const emulated::Drained d =
      monitor.drain([&table](const routing::Message& report) { emulated::apply(table, report); });
  if (d.error != 0) {
    return {Policy::Outcome::Fatal, d.error};
  }
  return {d.lost ? Policy::Outcome::ReportsLost : Policy::Outcome::Whole};
}

emulated::ReadResult TableReader::read(Monitor& monitor, emulated::AddressTable& table,
                                       bool after_loss) {
  Policy policy(table, after_loss);
  for (Policy::Decision next = policy.start();;) {
    switch (next.action) {
      case Policy::Action::Attempt: {
        const Tried a = attempt(monitor, table);
        next = policy.ended(a.how, a.error);
        break;
      }
      case Policy::Action::Discard:
        next = policy.discarded(monitor.discard());
        break;
      case Policy::Action::Done:
        return policy.result();
    }
  }
}

}  // namespace freebsd_layer
