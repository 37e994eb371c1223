// The 32-bit Windows program, cross-built from the same source: its PE header
// and import table, and the program itself under Wine, read through a pipe.
// Beside it lies a scripted IPHLPAPI.DLL (tests/windows/iphlpapi.cpp) that
// completes requests when a test says so; Wine's own stands in otherwise.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "child.h"
#include "machine.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::Child;
using testing_support::ChildOptions;
using testing_support::exit_code;

// The program and the tests' DLL, cross-built where mingw-w64 is installed.
#ifdef WINDOWS_BUILT
#define REQUIRE_WINDOWS_BUILD() \
  ASSERT_EQ(access(WINDOWS_BINARY, R_OK), 0) << WINDOWS_BINARY << " was not built"
#else
#define REQUIRE_WINDOWS_BUILD()                                                 \
  REQUIRE(                                                                      \
      std::string("the Windows program was not built: i686-w64-mingw32-g++ is " \
                  "not installed (Debian's package g++-mingw-w64-i686)"))
#endif

// What a PE file says of itself, read from the file: its machine, optional
// header and subsystem, and the DLLs it imports.
struct PeTables {
  unsigned machine = 0, magic = 0, subsystem = 0;
  std::set<std::string> dlls;
};

PeTables pe_tables(const std::string& file) {
  PeTables t;
  const std::string b = testing_support::read_file(file);
  // Little-endian fields; any read past the end fails the test, not the run.
  const auto u = [&b](std::size_t at, int bytes) -> std::uint32_t {
    if (at + static_cast<std::size_t>(bytes) > b.size()) {
      ADD_FAILURE() << "a field at " << at << " lies past the end of the file";
      return 0;
    }
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) {
      v = v << 8 | static_cast<std::uint8_t>(b[at + static_cast<std::size_t>(i)]);
    }
    return v;
  };
  const std::size_t pe = u(0x3c, 4);
  if (b.compare(pe, 4, std::string("PE\0\0", 4)) != 0) {
    ADD_FAILURE() << file << " is no PE file";
    return t;
  }
  const std::size_t sections = u(pe + 6, 2), optional = pe + 24, optional_size = u(pe + 20, 2);
  t.machine = u(pe + 4, 2);
  t.magic = u(optional, 2);
  t.subsystem = u(optional + 68, 2);
  // Where a relative virtual address lies in the file, through the sections.
  const auto at = [&](std::uint32_t rva) -> std::size_t {
    for (std::size_t s = 0, row = optional + optional_size; s < sections; ++s, row += 40) {
      const std::uint32_t va = u(row + 12, 4), size = u(row + 8, 4);
      if (rva >= va && rva < va + size) {
        return rva - va + u(row + 20, 4);
      }
    }
    ADD_FAILURE() << "address " << rva << " lies in no section";
    return b.size();
  };
  // Data directory 1 (PE32): the import table, a row per DLL, its name at 12.
  if (const std::uint32_t imports = u(optional + 104, 4); imports != 0) {
    for (std::size_t row = at(imports); u(row + 12, 4) != 0; row += 20) {
      t.dlls.insert(std::string(b.c_str() + std::min(at(u(row + 12, 4)), b.size())));
    }
  }
  return t;
}

TEST(WindowsProgram, IsA32BitConsoleProgramThatNeedsOnlyTheSystemsDlls) {
  REQUIRE_WINDOWS_BUILD();
  const PeTables exe = pe_tables(WINDOWS_BINARY);
  EXPECT_EQ(exe.machine, 0x14cU);  // i386
  EXPECT_EQ(exe.magic, 0x10bU);    // PE32
  EXPECT_EQ(exe.subsystem, 3U);    // the Windows console
  EXPECT_EQ(exe.dlls,
            (std::set<std::string>{"IPHLPAPI.DLL", "KERNEL32.dll", "WS2_32.dll", "msvcrt.dll"}));
}

// Runs the program under Wine in a prefix of the build's own.
class UnderWine : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_WINDOWS_BUILD();
    REQUIRE_TOOL("wine", "wine");
    setenv("WINEPREFIX", WINE_PREFIX, 1);
    setenv("WINEDEBUG", "-all", 1);
    // No .NET or HTML engine to set up in the prefix: the program needs neither.
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
    // Wine's 32-bit loader is itself a 32-bit Linux program; some kernels run
    // none (.ci/i386-binfmt hands them to qemu-user there).
    std::string version;
    REQUIRE(testing_support::run({"wine", "--version"}, &version) == 0
                ? std::string()
                : "wine cannot start 32-bit programs here (Debian's package wine32:i386, and "
                  "where the kernel runs none, qemu-user-static): " +
                      version);
    // Wine's server and helper processes outlive each program. Started here
    // with their standard streams on /dev/null, they hold no pipe of a
    // test's open. One server makes the prefix, or boots it, and serves the
    // tests that follow, going five minutes after the last.
    fs::create_directories(WINE_PREFIX);
    if (quietly("wineserver -p300") == 0) {
      ASSERT_EQ(quietly("wine wineboot"), 0);
    }

    char dir[] = "/tmp/network-change-wine-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    const std::string control = dir_ + "/control";
    ASSERT_EQ(mkfifo(control.c_str(), 0600), 0);
    // Read and write, so that neither side's open waits for the other.
    control_ = open(control.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(control_, 0);
  }

  void TearDown() override {
    if (control_ >= 0) {
      close(control_);
    }
    if (!dir_.empty()) {
      fs::remove_all(dir_);
    }
  }

  static int quietly(const std::string& command) {
    return std::system((command + " </dev/null >/dev/null 2>&1").c_str());
  }

  // Starts the program; with the scripted IPHLPAPI.DLL unless told otherwise.
  Child& start(bool scripted = true) {
    ChildOptions options;
    if (scripted) {
      options.env = {{"WINEDLLOVERRIDES", "mscoree,mshtml=;iphlpapi=n"},
                     {"NETWORK_CHANGE_CONTROL", "Z:" + dir_ + "/control"}};
    }
    program_.emplace(std::vector<std::string>{"wine", WINDOWS_BINARY, "ignored", "--arguments"},
                     options);
    return *program_;
  }

  // A command to the scripted DLL, which takes effect once a request is
  // outstanding. Returns once the DLL has read it: the program is running
  // then.
  void tell(const std::string& command) {
    const std::string line = command + "\n";
    ASSERT_EQ(write(control_, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    const auto deadline = std::chrono::steady_clock::now() + 2min;
    for (int unread = 1; unread > 0; std::this_thread::sleep_for(10ms)) {
      ASSERT_EQ(ioctl(control_, FIONREAD, &unread), 0);
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the DLL never read: " << command;
    }
  }

  // What the program wrote on stderr, less what qemu-user says there of the
  // Wine processes it runs ("qemu: uncaught target signal ...").
  static std::string err_of(const Child& c) {
    std::istringstream lines(c.err());
    std::string kept;
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("qemu: ", 0) != 0) {
        kept += line + "\n";
      }
    }
    return kept;
  }

  std::string dir_;
  int control_ = -1;
  std::optional<Child> program_;
};

TEST_F(UnderWine, EachChangeIsALineReadableAtOnceAndAFailureEndsIt) {
  Child& c = start();
  EXPECT_TRUE(c.quiet_for(500ms));  // nothing at start
  // Each line is in the pipe before the next change can come: the DLL
  // completes a request only once the program has asked again.
  for (int n = 0; n < 3; ++n) {
    tell("complete");
    EXPECT_EQ(c.line(20s), "net changed.." + std::to_string(n) + "\r");
  }
  tell("fail -5 1");
  tell("complete");
  EXPECT_EQ(c.line(20s), "net changed..3\r");
  const auto status = c.finish(2min);
  ASSERT_TRUE(status);
  EXPECT_EQ(c.out(), "NotifyRouteChange error...-5\r\n");
  EXPECT_EQ(exit_code(*status), 1);
  EXPECT_EQ(err_of(c), "");
}

TEST_F(UnderWine, WhenTheReaderGoesTheNextChangeEndsIt) {
  Child& c = start();
  tell("complete");
  EXPECT_EQ(c.line(20s), "net changed..0\r");
  c.close_stdout();
  tell("complete");
  // Windows has no SIGPIPE: only the failed write can end it.
  const auto status = c.finish(2min);
  ASSERT_TRUE(status) << "still running after its reader has gone";
  EXPECT_EQ(exit_code(*status), 2);
  EXPECT_EQ(err_of(c), "");
}

TEST_F(UnderWine, WithWinesOwnDllTheRequestIsClassifiedByItsLastErrorCode) {
  // Wine 8 answers NotifyAddrChange with 997 but leaves the last-error code
  // at 0: the failure line. A Wine that implements the call leaves the
  // request outstanding instead, and the program waits in silence.
  Child& c = start(false);
  const bool quiet = c.quiet_for(5s);
  if (quiet) {
    EXPECT_TRUE(c.running());
  } else {
    const auto status = c.finish(2min);
    ASSERT_TRUE(status);
    EXPECT_EQ(c.out(), "NotifyRouteChange error...0\r\n");
    EXPECT_EQ(exit_code(*status), 1);
  }
  EXPECT_EQ(err_of(c), "");
}

}  // namespace
