// Changing addresses with the system's own tool from a test, and what
// qemu-user lacks.
#include "machine.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#endif

#include <sstream>
#include <vector>

#include "child.h"

namespace testing_support {

namespace {

// Runs the tool with the words of args, split at spaces; fails the calling
// test with the tool's own words if it does not succeed.
void run_tool(const std::string& tool, const std::string& args) {
  std::vector<std::string> argv{tool};
  std::istringstream words(args);
  for (std::string w; words >> w;) {
    argv.push_back(w);
  }
  std::string output;
  const int status = run(argv, &output);
  if (status != 0) {
    ADD_FAILURE() << tool << " " << args << " -> " << status << ": " << output;
  }
}

}  // namespace

#ifdef __linux__
void ip(const std::string& args) { run_tool("ip", args); }

void add_link(const std::string& name) {
  ip("link add " + name + " type veth peer name " + name + "p");
}

void add_address(const std::string& address, const std::string& interface) {
  ip("addr add " + address + " dev " + interface);
}

void delete_address(const std::string& address, const std::string& interface) {
  ip("addr del " + address + " dev " + interface);
}
#else
void ifconfig(const std::string& args) { run_tool("ifconfig", args); }

void add_link(const std::string& name) { ifconfig("epair create name " + name); }

void add_address(const std::string& address, const std::string& interface) {
  ifconfig(interface + " inet " + address + " alias");
}

void delete_address(const std::string& address, const std::string& interface) {
  ifconfig(interface + " inet " + address.substr(0, address.find('/')) + " -alias");
}
#endif

#ifdef __linux__
namespace {

// Runs the probe in a child of its own, since what it tries stays with the
// process; true if it says yes.
bool in_a_child(bool (*probe)()) {
  const pid_t pid = fork();
  if (pid == 0) {
    _exit(probe() ? 0 : 1);
  }
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

bool address_space_limit_works() {
  const rlimit set{rlim_t{1} << 30, RLIM_INFINITY};
  rlimit got{};
  return setrlimit(RLIMIT_AS, &set) == 0 && getrlimit(RLIMIT_AS, &got) == 0 &&
         got.rlim_cur == set.rlim_cur;
}

// Asks for the links on a copied socket: a reply comes only if the request
// went out as the kernel reads it.
bool netlink_on_copied_descriptor_works() {
  const int first = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  const int fd = fcntl(first, F_DUPFD_CLOEXEC, 10);
  close(first);
  struct {
    nlmsghdr hdr;
    rtgenmsg gen;
  } request{};
  request.hdr.nlmsg_len = sizeof request;
  request.hdr.nlmsg_type = RTM_GETLINK;
  request.hdr.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.gen.rtgen_family = AF_UNSPEC;
  pollfd pfd{fd, POLLIN, 0};
  return fd >= 0 && send(fd, &request, sizeof request, 0) == sizeof request &&
         poll(&pfd, 1, 2000) == 1;
}

bool binfmt_entry_enabled(const char* name) {
  return read_file(std::string("/proc/sys/fs/binfmt_misc/") + name).rfind("enabled\n", 0) == 0;
}

}  // namespace

#endif

std::string qemu_user_lacks(QemuUserGap gap) {
#ifndef __linux__
  static_cast<void>(gap);
  return "";
#else
  // tools/qemu-user registers the architecture's entry in the namespace the
  // tests run in; a machine that runs the programs itself has none.
#if defined(__i386__)
  constexpr const char* entry = "qemu-i386";
#elif defined(__aarch64__)
  constexpr const char* entry = "qemu-aarch64";
#elif defined(__arm__)
  constexpr const char* entry = "qemu-arm";
#elif defined(__s390x__)
  constexpr const char* entry = "qemu-s390x";
#elif defined(__powerpc64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  constexpr const char* entry = "qemu-ppc64le";
#elif defined(__riscv) && __riscv_xlen == 64
  constexpr const char* entry = "qemu-riscv64";
#elif defined(__mips__) && !defined(__mips64) && defined(__MIPSEB__)
  constexpr const char* entry = "qemu-mips";
#elif defined(__mips__) && !defined(__mips64) && defined(__MIPSEL__)
  constexpr const char* entry = "qemu-mipsel";
#else
  constexpr const char* entry = nullptr;
#endif
  const bool under_qemu_user = entry != nullptr && binfmt_entry_enabled(entry);
  if (!under_qemu_user) {
    return "";
  }
  switch (gap) {
    case QemuUserGap::AddressSpaceLimit:
      return in_a_child(address_space_limit_works)
                 ? ""
                 : "setrlimit(RLIMIT_AS), which it ignores to keep its own address space";
    case QemuUserGap::DescriptorsToStart:
      return "descriptors of its own to open the program it starts";
    case QemuUserGap::NetlinkOnCopiedDescriptor:
      return in_a_child(netlink_on_copied_descriptor_works)
                 ? ""
                 : "netlink translation on a socket copied by fcntl(F_DUPFD_CLOEXEC)";
  }
  return "";
#endif
}

}  // namespace testing_support
