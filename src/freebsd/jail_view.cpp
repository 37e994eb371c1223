// Telling which of the host's address reports a jail without a network
// stack of its own can see.
#include "jail_view.h"

#include <sys/types.h>
#include <sys/socket.h>
#include <sys/sysctl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>

namespace freebsd_layer {

namespace {

int sysctl_int(const char* name, int otherwise) {
  int value = 0;
  std::size_t len = sizeof value;
  return sysctlbyname(name, &value, &len, nullptr, 0) == 0 ? value : otherwise;
}

enum class Bound { Yes, NotHere, CannotTell };

// Whether a socket can be bound to the address: the kernel allows it for an
// address that is there and that this jail may use.
Bound bind_to(std::uint32_t local) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    // A jail with ip4=disable has no IPv4 at all.
    return errno == EPROTONOSUPPORT || errno == EAFNOSUPPORT ? Bound::NotHere : Bound::CannotTell;
  }
  sockaddr_in sin{};
  sin.sin_len = sizeof sin;
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = local;
  const int bound = bind(fd, reinterpret_cast<const sockaddr*>(&sin), sizeof sin);
  const int error = errno;
  close(fd);
  if (bound == 0) {
    return Bound::Yes;
  }
  return error == EADDRNOTAVAIL ? Bound::NotHere : Bound::CannotTell;
}

}  // namespace

void JailView::open() {
  restricted_ =
      sysctl_int("security.jail.jailed", 0) != 0 && sysctl_int("security.jail.vnet", 0) == 0;
  most_ = static_cast<std::size_t>(sysctl_int("security.jail.jail_max_af_ips", 255));
  known_ = emulated::AddressSet();
}

bool JailView::sees(const routing::Message& report) {
  if (!restricted_ || report.kind == routing::Kind::Unidentified ||
      known_.contains(emulated::Address::of(0, report.address.local, 0, 0))) {
    return true;
  }
  // Gone, an address cannot be tried; one never seen was the host's.
  if (report.kind != routing::Kind::NewAddress) {
    return false;
  }
  switch (bind_to(report.address.local)) {
    case Bound::Yes:
      learn(report.address.local);
      return true;
    case Bound::NotHere:
      return false;
    case Bound::CannotTell:
      break;
  }
  return true;
}

void JailView::listed(const emulated::Address& a) {
  if (restricted_) {
    learn(a.local);
  }
}

void JailView::learn(std::uint32_t local) {
  known_.insert(emulated::Address::of(0, local, 0, 0));
  if (known_.size() > most_) {
    restricted_ = false;
    known_ = emulated::AddressSet();
  }
}

}  // namespace freebsd_layer
