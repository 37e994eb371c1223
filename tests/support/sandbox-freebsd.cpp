// Vnet jails, the kernel's tables of processes and descriptors, and address
// changes by ioctl: the sandbox on FreeBSD.
#include "sandbox.h"

#include <sys/param.h>
#include <sys/types.h>
#include <sys/ioctl.h>
#include <sys/jail.h>
#include <sys/socket.h>
#include <sys/sockio.h>
#include <sys/sysctl.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <arpa/inet.h>
#include <net/if.h>
#include <net/netisr.h>
#include <netinet/in.h>
#include <libutil.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

namespace testing_support {

namespace {

struct RouteSocket {
  int fd;
  std::size_t queued;  // bytes waiting in its receive queue
};

// Hands each open file of process pid to on_file.
template <typename OnFile>
void each_file(pid_t pid, OnFile on_file) {
  int count = 0;
  const std::unique_ptr<kinfo_file, decltype(&std::free)> files(kinfo_getfile(pid, &count),
                                                                &std::free);
  for (int i = 0; files && i < count; ++i) {
    on_file(files.get()[i]);
  }
}

std::vector<RouteSocket> route_sockets_of(pid_t pid) {
  std::vector<RouteSocket> found;
  each_file(pid, [&](const kinfo_file& f) {
    if (f.kf_type == KF_TYPE_SOCKET && f.kf_un.kf_sock.kf_sock_domain0 == PF_ROUTE) {
      found.push_back({f.kf_fd, f.kf_un.kf_sock.kf_sock_recvq});
    }
  });
  return found;
}

}  // namespace

namespace {

// The kernel's table of processes (or threads) that the sysctl names; empty
// if it cannot be read.
std::vector<kinfo_proc> processes(std::vector<int> mib) {
  const auto n = static_cast<u_int>(mib.size());
  std::size_t len = 0;
  if (sysctl(mib.data(), n, nullptr, &len, nullptr, 0) != 0) {
    return {};
  }
  // Room for some that start meanwhile.
  std::vector<kinfo_proc> found(len / sizeof(kinfo_proc) + 16);
  len = found.size() * sizeof(kinfo_proc);
  if (sysctl(mib.data(), n, found.data(), &len, nullptr, 0) != 0) {
    return {};
  }
  found.resize(len / sizeof(kinfo_proc));
  return found;
}

}  // namespace

bool asleep_in_the_wait(pid_t pid) {
  for (const kinfo_proc& thread :
       processes({CTL_KERN, KERN_PROC, KERN_PROC_PID | KERN_PROC_INC_THREAD, pid})) {
    // The layer's only sleep in a kqueue is its untimed wait; a blocking
    // read of a socket is how other watchers wait.
    if (thread.ki_stat == SSLEEP && (std::strcmp(thread.ki_wmesg, "kqread") == 0 ||
                                     std::strcmp(thread.ki_wmesg, "sbwait") == 0)) {
      return true;
    }
  }
  return false;
}

bool drained(pid_t pid) {
  const auto sockets = route_sockets_of(pid);
  for (const auto& s : sockets) {
    if (s.queued != 0) {
      return false;
    }
  }
  return !sockets.empty();
}

std::string enter_private_netns() {
  make_sbin_reachable();
  // A jail of this process alone, with the filesystem as it is and a
  // network stack of its own; it goes when its last process does.
  char path_name[] = "path";
  char path[] = "/";
  char vnet_name[] = "vnet";
  int vnet = JAIL_SYS_NEW;
  char children_name[] = "children.max";
  int children = 8;
  iovec params[] = {{path_name, sizeof path_name},         {path, sizeof path},
                    {vnet_name, sizeof vnet_name},         {&vnet, sizeof vnet},
                    {children_name, sizeof children_name}, {&children, sizeof children}};
  if (jail_set(params, 6, JAIL_CREATE | JAIL_ATTACH) < 0) {
    return std::string("no vnet jail: jail_set: ") + std::strerror(errno);
  }
  return {};
}

Jail::Jail(Ip4 ip4, const std::vector<std::string>& addresses) {
  char path_name[] = "path";
  char path[] = "/";
  char persist_name[] = "persist";
  char ip4_name[] = "ip4";
  int mode = ip4 == Ip4::Disable ? JAIL_SYS_DISABLE : JAIL_SYS_INHERIT;
  char addresses_name[] = "ip4.addr";
  std::vector<in_addr> list;
  for (const std::string& a : addresses) {
    list.push_back({ipv4(a.c_str())});
  }
  std::vector<iovec> params = {{path_name, sizeof path_name},
                               {path, sizeof path},
                               {persist_name, sizeof persist_name},
                               {nullptr, 0}};
  if (ip4 == Ip4::Addresses) {
    params.push_back({addresses_name, sizeof addresses_name});
    params.push_back({list.data(), list.size() * sizeof(in_addr)});
  } else {
    params.push_back({ip4_name, sizeof ip4_name});
    params.push_back({&mode, sizeof mode});
  }
  jid_ = jail_set(params.data(), static_cast<unsigned>(params.size()), JAIL_CREATE);
  if (jid_ < 0) {
    error_ = std::string("no jail: jail_set: ") + std::strerror(errno);
  }
}

Jail::~Jail() {
  if (jid_ >= 0) {
    jail_remove(jid_);
  }
}

std::vector<pid_t> children_of(pid_t pid) {
  std::vector<pid_t> children;
  for (const kinfo_proc& p : processes({CTL_KERN, KERN_PROC, KERN_PROC_PROC})) {
    if (p.ki_ppid == pid) {
      children.push_back(p.ki_pid);
    }
  }
  return children;
}

std::vector<int> wait_fds(pid_t pid) {
  std::vector<int> fds;
  each_file(pid, [&](const kinfo_file& f) {
    if (f.kf_type == KF_TYPE_KQUEUE) {
      fds.push_back(f.kf_fd);
    }
  });
  return fds;
}

std::vector<int> kernel_socket_fds(pid_t pid) {
  std::vector<int> fds;
  for (const RouteSocket& s : route_sockets_of(pid)) {
    fds.push_back(s.fd);
  }
  return fds;
}

namespace {

// One queued change: the ioctl and its argument.
struct Request {
  unsigned long command;
  union {
    ifaliasreq add;
    ifreq remove;
  };
};

sockaddr in_sockaddr(std::uint32_t host_order) {
  sockaddr_in sin{};
  sin.sin_len = sizeof sin;
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(host_order);
  sockaddr sa{};
  std::memcpy(&sa, &sin, sizeof sin);
  return sa;
}

}  // namespace

AddressChanger::AddressChanger() { fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); }

void AddressChanger::queue(Op op, unsigned ifindex, std::uint32_t host_order, std::uint8_t prefix) {
  Request r{};
  char name[IF_NAMESIZE] = {};
  if (op == Op::Refresh || if_indextoname(ifindex, name) == nullptr) {
    ++refused_;
    return;
  }
  if (op == Op::Add) {
    r.command = SIOCAIFADDR;
    std::memcpy(r.add.ifra_name, name, sizeof name);
    r.add.ifra_addr = in_sockaddr(host_order);
    r.add.ifra_mask = in_sockaddr(prefix == 0 ? 0 : ~0U << (32 - prefix));
  } else {
    r.command = SIOCDIFADDR;
    std::memcpy(r.remove.ifr_name, name, sizeof name);
    r.remove.ifr_addr = in_sockaddr(host_order);
  }
  ++seq_;
  const auto* p = reinterpret_cast<const std::uint8_t*>(&r);
  pending_.insert(pending_.end(), p, p + sizeof r);
}

namespace {

// True once the kernel's deferred queue for routing messages (netisr) has
// handed on every message it took: each has reached every route socket
// that had room for it.
bool routing_queue_handed_on() {
  std::vector<sysctl_netisr_work> work(64);
  std::size_t len = work.size() * sizeof work[0];
  if (sysctlbyname("net.isr.work", work.data(), &len, nullptr, 0) != 0) {
    return true;  // nothing to be told: take it as done
  }
  std::uint64_t queued = 0, handled = 0;
  for (std::size_t i = 0; i < len / sizeof work[0]; ++i) {
    if (work[i].snw_proto == NETISR_ROUTE) {
      queued += work[i].snw_queued;
      handled += work[i].snw_handled;
    }
  }
  return queued == handled;
}

}  // namespace

long AddressChanger::send() {
  if (fd_ < 0) {
    return -1;
  }
  for (std::size_t at = 0; at + sizeof(Request) <= pending_.size(); at += sizeof(Request)) {
    Request r;
    std::memcpy(&r, pending_.data() + at, sizeof r);
    if (ioctl(fd_, r.command, &r.add) != 0) {
      ++refused_;
    }
  }
  pending_.clear();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!routing_queue_handed_on() && std::chrono::steady_clock::now() < deadline) {
    // Nothing to wait on for the kernel's own thread; look again soon.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return refused_;
}

}  // namespace testing_support
