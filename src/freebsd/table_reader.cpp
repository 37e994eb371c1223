// Reading the IPv4 address table with sysctl, and the policy for a read
// that the kernel's reports outran.
#include "table_reader.h"

#include <sys/types.h>
#include <sys/socket.h>
#include <sys/sysctl.h>

#include <cerrno>

namespace freebsd_layer {

namespace {

// The table may grow between asking its size and reading it; a read that
// finds it grown past the room made is tried again, but not without end.
constexpr int fetches = 8;

// A read during which the kernel dropped reports is started again, for as
// long as a flood outruns the reading; this only bounds a kernel gone wrong.
constexpr int overflowed_reads = 1000;

}  // namespace

int TableReader::fetch() {
  int mib[] = {CTL_NET, PF_ROUTE, 0, AF_INET, NET_RT_IFLIST, 0};
  for (int attempt = 0; attempt < fetches; ++attempt) {
    std::size_t needed = 0;
    if (sysctl(mib, 6, nullptr, &needed, nullptr, 0) != 0) {
      return errno;
    }
    // Room for what may come meanwhile.
    needed += needed / 8 + 4096;
    if (buffer_.size() < needed) {
      buffer_.resize(needed);
    }
    std::size_t got = buffer_.size();
    if (sysctl(mib, 6, buffer_.data(), &got, nullptr, 0) == 0) {
      size_ = got;
      return 0;
    }
    // ENOMEM: the table outgrew the room.
    if (errno != ENOMEM) {
      return errno;
    }
  }
  return ENOMEM;
}

TableReader::Result TableReader::read(Monitor& monitor, emulated::AddressTable& table) {
  bool lost = false;
  for (int overflowed = 0;;) {
    table.begin_read();
    if (const int error = fetch(); error != 0) {
      return {error};
    }
    if (!routing::each_row(buffer_.data(), size_, routing::freebsd_rounding,
                           [&table](const emulated::Address& a) { table.read(a); })) {
      return {EBADMSG};
    }
    // Every report of a change that the read could show is queued by now.
    const Monitor::Drained d =
        monitor.drain([&table](const routing::Message& report) { routing::apply(table, report); });
    if (d.error != 0) {
      return {d.error};
    }
    if (!d.lost) {
      return {0, table.end_read() || lost};
    }
    if (++overflowed == overflowed_reads) {
      return {ENOBUFS};
    }
    // What the read found may have gone since, unseen: start afresh once the
    // queue is empty.
    if (const int error = monitor.discard(); error != 0) {
      return {error};
    }
    lost = true;
  }
}

}  // namespace freebsd_layer
