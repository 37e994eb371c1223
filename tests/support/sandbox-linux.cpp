// Private network namespaces, /proc readings and rtnetlink changes: the
// sandbox on Linux.
#include "sandbox.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "netlink.h"
#include "socket.h"

namespace testing_support {

namespace {

bool write_file(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

}  // namespace

std::string enter_private_netns() {
  make_sbin_reachable();
  if (unshare(CLONE_NEWNET) == 0) {
    return {};
  }
  const int first = errno;
  const uid_t uid = getuid();
  const gid_t gid = getgid();
  if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
    return std::string("no private network namespace: unshare: ") + std::strerror(first) +
           ", and with a user namespace: " + std::strerror(errno);
  }
  if (!write_file("/proc/self/setgroups", "deny") ||
      !write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
      !write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
    return std::string("user namespace maps: ") + std::strerror(errno);
  }
  return {};
}

namespace {

// Each descriptor of process pid, with what its /proc link points to.
std::vector<std::pair<int, std::string>> descriptors_of(pid_t pid) {
  std::vector<std::pair<int, std::string>> found;
  const std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
  if (DIR* dir = opendir(fd_dir.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      char target[64] = {};
      const std::string link = fd_dir + "/" + entry->d_name;
      if (readlink(link.c_str(), target, sizeof target - 1) > 0) {
        found.emplace_back(std::atoi(entry->d_name), target);
      }
    }
    closedir(dir);
  }
  return found;
}

}  // namespace

std::vector<pid_t> children_of(pid_t pid) {
  std::vector<pid_t> children;
  if (DIR* dir = opendir("/proc")) {
    while (const dirent* entry = readdir(dir)) {
      const pid_t child = std::atoi(entry->d_name);
      // pid (comm) state ppid ...: comm may hold spaces and parentheses.
      const std::string stat = read_file("/proc/" + std::string(entry->d_name) + "/stat");
      const auto after_comm = stat.rfind(')');
      char state = 0;
      int ppid = 0;
      if (child > 0 && after_comm != std::string::npos &&
          std::sscanf(stat.c_str() + after_comm + 1, " %c %d", &state, &ppid) == 2 && ppid == pid) {
        children.push_back(child);
      }
    }
    closedir(dir);
  }
  return children;
}

std::vector<int> wait_fds(pid_t pid) {
  std::vector<int> fds;
  for (const auto& [fd, target] : descriptors_of(pid)) {
    if (target == "anon_inode:[eventpoll]") {
      fds.push_back(fd);
    }
  }
  return fds;
}

std::vector<NetlinkSocket> netlink_sockets_of(pid_t pid) {
  std::vector<std::pair<int, unsigned long>> sockets;  // descriptor, inode
  for (const auto& [fd, target] : descriptors_of(pid)) {
    unsigned long inode = 0;
    if (std::sscanf(target.c_str(), "socket:[%lu]", &inode) == 1) {
      sockets.emplace_back(fd, inode);
    }
  }
  std::vector<NetlinkSocket> found;
  std::istringstream table(read_file("/proc/self/net/netlink"));
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    // sk Eth Pid Groups Rmem Wmem Dump Locks Drops Inode
    std::istringstream f(line);
    std::string sk, dump;
    int protocol = 0;
    unsigned long port = 0, wmem = 0, locks = 0;
    NetlinkSocket s;
    f >> sk >> protocol >> port >> std::hex >> s.groups >> std::dec >> s.queued >> wmem >> dump >>
        locks >> s.drops >> s.inode;
    for (const auto& [fd, inode] : sockets) {
      if (f && inode == s.inode) {
        s.fd = fd;
        found.push_back(s);
      }
    }
  }
  return found;
}

std::vector<int> kernel_socket_fds(pid_t pid) {
  std::vector<int> fds;
  for (const NetlinkSocket& s : netlink_sockets_of(pid)) {
    fds.push_back(s.fd);
  }
  return fds;
}

std::uint64_t netlink_drops_of(pid_t pid) {
  std::uint64_t drops = 0;
  for (const NetlinkSocket& s : netlink_sockets_of(pid)) {
    drops += s.drops;
  }
  return drops;
}

bool asleep_in_the_wait(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  const std::string wchan = read_file(proc + "/wchan");
  if (wchan == "__skb_wait_for_more_packets") {
    return true;  // a blocking read of a socket, as the benchmark's peers wait
  }
  if (wchan != "ep_poll" && wchan != "do_epoll_wait") {
    return false;
  }
  // The time-out is the fourth argument of epoll_wait and epoll_pwait alike,
  // as the program or qemu-user calls them: -1, as an int or a long.
  std::istringstream call(read_file(proc + "/syscall"));
  unsigned long long number = 0, fd = 0, events = 0, most = 0, timeout = 0;
  call >> number >> std::hex >> fd >> events >> most >> timeout;
  return call && (timeout == 0xffffffffULL || timeout == ~0ULL);
}

bool drained(pid_t pid) {
  bool subscribed = false;
  for (const auto& s : netlink_sockets_of(pid)) {
    if (s.queued != 0) {
      return false;
    }
    subscribed = subscribed || s.groups != 0;
  }
  return subscribed;
}

AddressChanger::AddressChanger() : fd_(linux_layer::open_route_socket(0, nullptr)) {}

void append_address_message(std::vector<std::uint8_t>& out, std::uint16_t type, std::uint16_t flags,
                            std::uint32_t seq, std::uint32_t port, unsigned ifindex,
                            std::uint32_t host_order, std::uint8_t prefix) {
  struct {
    nlmsghdr hdr;
    ifaddrmsg ifa;
    rtattr local_attr;
    std::uint32_t local;
    rtattr address_attr;
    std::uint32_t address;
  } msg{};
  msg.hdr = {sizeof msg, type, flags, seq, port};
  msg.ifa.ifa_family = AF_INET;
  msg.ifa.ifa_prefixlen = prefix;
  msg.ifa.ifa_scope = RT_SCOPE_UNIVERSE;
  msg.ifa.ifa_index = ifindex;
  msg.local_attr = {sizeof(rtattr) + 4, IFA_LOCAL};
  msg.local = htonl(host_order);
  msg.address_attr = {sizeof(rtattr) + 4, IFA_ADDRESS};
  msg.address = msg.local;
  const auto* p = reinterpret_cast<const std::uint8_t*>(&msg);
  out.insert(out.end(), p, p + sizeof msg);
}

void AddressChanger::queue(Op op, unsigned ifindex, std::uint32_t host_order, std::uint8_t prefix) {
  append_address_message(
      pending_, op == Op::Delete ? RTM_DELADDR : RTM_NEWADDR,
      static_cast<std::uint16_t>(NLM_F_REQUEST | (op == Op::Add ? NLM_F_CREATE | NLM_F_EXCL : 0) |
                                 (op == Op::Refresh ? NLM_F_REPLACE : 0)),
      ++seq_, 0, ifindex, host_order, prefix);
}

long AddressChanger::send() {
  if (fd_ < 0) {
    return -1;
  }
  constexpr std::size_t per_datagram = 32 * 1024 / 40 * 40;
  for (std::size_t at = 0; at < pending_.size(); at += per_datagram) {
    const std::size_t len = std::min(per_datagram, pending_.size() - at);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(fd_, pending_.data() + at, len, 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof kernel) < 0) {
      ++refused_;
    }
  }
  pending_.clear();
  // Refusals come back as NLMSG_ERROR; nothing else was asked for. So many
  // can come that the queue overflows: that is a refusal too.
  std::uint8_t buf[8192];
  for (ssize_t n; (n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT)) > 0 || errno == ENOBUFS;) {
    if (n < 0) {
      ++refused_;
      continue;
    }
    std::size_t at = 0;
    for (netlink::Message m;
         netlink::next(buf, static_cast<std::size_t>(n), at, m) == netlink::Step::Message;) {
      refused_ += m.kind == netlink::Kind::Error ? 1 : 0;
    }
  }
  return refused_;
}

}  // namespace testing_support
