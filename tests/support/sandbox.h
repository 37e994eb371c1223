// A network stack of a test's own, what the kernel tells of another
// process's sockets and sleep, and address changes made straight through the
// kernel's interface. Free of any test framework, so the benchmark uses it
// too.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

// True under CI, where a missing capability fails a test instead of skipping it.
bool in_ci();

// Moves this process into a network stack of its own: a new network
// namespace on Linux (through a user namespace when not root), a new vnet
// jail on FreeBSD, which may hold jails of its own. Returns an empty
// string, or why it could not.
std::string enter_private_netns();

// An IPv4 address in dotted form, in network byte order.
std::uint32_t ipv4(const char* text);

// The whole of a small file, such as one under /proc; empty if unreadable.
std::string read_file(const std::string& path);

// The descriptors of the sockets that process pid holds to the kernel's
// address reports: netlink sockets on Linux, route sockets on FreeBSD.
std::vector<int> kernel_socket_fds(pid_t pid);

// The descriptors of the epoll instances (Linux) or kqueues (FreeBSD) that
// process pid holds: what the layer waits for a change in.
std::vector<int> wait_fds(pid_t pid);

// Waits until pid holds such a socket (subscribed to some group, on Linux)
// and sleeps in its untimed wait for a change with nothing left in their
// receive queues: it has taken in every change made so far. Returns false
// if that has not happened before the timeout. It looks again after each
// period: a measure of how soon that happens wants a short one.
bool wait_until_idle(pid_t pid, std::chrono::milliseconds timeout,
                     std::chrono::microseconds period = std::chrono::milliseconds(2));

// What wait_until_idle looks at, each system in its own way: whether some
// thread of pid sleeps in the untimed wait that the layer waits for a change
// in (epoll on Linux, kqueue on FreeBSD), never in the timed poll of a read
// of the table, or in a blocking read of a socket, as other watchers wait;
// and whether pid holds such a socket (subscribed, on Linux) with nothing in
// any of their queues.
bool asleep_in_the_wait(pid_t pid);
bool drained(pid_t pid);

// The processes whose parent is pid, such as the parts of a pipeline that a
// shell started.
std::vector<pid_t> children_of(pid_t pid);

// Puts sbin, where ip and ifconfig live, on a PATH that may lack it.
void make_sbin_reachable();

#ifdef __linux__
struct NetlinkSocket {
  int fd = -1;  // its descriptor in that process
  unsigned long inode = 0;
  std::uint32_t groups = 0;
  std::size_t queued = 0;   // bytes waiting in the receive queue
  std::uint64_t drops = 0;  // messages the kernel dropped for want of room
};

// The netlink sockets that process pid holds, as this namespace's
// /proc/net/netlink describes them.
std::vector<NetlinkSocket> netlink_sockets_of(pid_t pid);

// The messages the kernel has dropped, for want of room, on the netlink
// sockets of process pid.
std::uint64_t netlink_drops_of(pid_t pid);

// Appends to out one rtnetlink message of the given type about the IPv4
// address host_order/prefix on the interface (its own address and peer
// alike), as a request from this process or a message from port.
void append_address_message(std::vector<std::uint8_t>& out, std::uint16_t type, std::uint16_t flags,
                            std::uint32_t seq, std::uint32_t port, unsigned ifindex,
                            std::uint32_t host_order, std::uint8_t prefix);
#endif

#ifdef __FreeBSD__
// A jail that shares the network stack it is made in, as services are run
// on FreeBSD: it may use the IPv4 addresses given (ip4.addr), none
// (ip4=disable), or all there are (ip4=inherit). It goes with this object,
// and so does every process in it.
class Jail {
 public:
  enum class Ip4 { Addresses, Disable, Inherit };
  explicit Jail(Ip4 ip4, const std::vector<std::string>& addresses = {});
  ~Jail();
  Jail(const Jail&) = delete;
  Jail& operator=(const Jail&) = delete;

  int jid() const { return jid_; }
  // Empty once made; otherwise why it could not be.
  const std::string& error() const { return error_; }

 private:
  int jid_ = -1;
  std::string error_;
};
#endif

// Address changes sent straight to the kernel in this thread's network
// stack: no process to start per change. On Linux they go over rtnetlink,
// hundreds to a datagram; on FreeBSD each is an ioctl.
class AddressChanger {
 public:
  // Refresh replaces an address that is there with itself, which Linux
  // reports anew; FreeBSD has no such change.
  enum class Op { Add, Delete, Refresh };

  AddressChanger();
  ~AddressChanger();
  AddressChanger(const AddressChanger&) = delete;
  AddressChanger& operator=(const AddressChanger&) = delete;

  // Queues a change of host_order/prefix on the interface.
  void queue(Op op, unsigned ifindex, std::uint32_t host_order, std::uint8_t prefix);

  // Sends what is queued; the kernel has made every change, and handed its
  // reports to every socket (FreeBSD defers that to a queue of its own), by
  // the time this returns. Returns how many changes it has refused so far
  // (-1 when the socket could not be opened).
  long send();

 private:
  int fd_ = -1;
  std::uint32_t seq_ = 0;
  long refused_ = 0;
  std::vector<std::uint8_t> pending_;
};

}  // namespace testing_support
