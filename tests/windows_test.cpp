// The 32-bit Windows program, cross-built from the same source: what its PE
// header and import table say, and what it does when run under Wine.
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "child.h"
#include "netns.h"

namespace {

using namespace std::chrono_literals;
using testing_support::Child;
using testing_support::ChildOptions;
using testing_support::exit_code;

TEST(WindowsProgram, IsA32BitConsoleProgramThatNeedsOnlyTheSystemsDlls) {
  REQUIRE_TOOL("i686-w64-mingw32-objdump");
  ASSERT_EQ(access(WINDOWS_BINARY, R_OK), 0) << WINDOWS_BINARY << " was not built";
  std::string dump;
  ASSERT_EQ(testing_support::run({"i686-w64-mingw32-objdump", "-p", WINDOWS_BINARY}, &dump), 0)
      << dump;
  EXPECT_NE(dump.find("file format pei-i386"), std::string::npos);
  EXPECT_NE(dump.find("Magic\t\t\t010b\t(PE32)"), std::string::npos);
  EXPECT_NE(dump.find("Subsystem\t\t00000003\t(Windows CUI)"), std::string::npos);

  std::set<std::string> dlls;
  std::set<std::string> functions;
  std::istringstream lines(dump);
  for (std::string line; std::getline(lines, line);) {
    const auto name = line.find("DLL Name: ");
    if (name != std::string::npos) {
      dlls.insert(line.substr(name + 10));
      continue;
    }
    // Import rows: "\t<hint> <hint> <name>" between a DLL Name and the next.
    std::istringstream words(line);
    std::string hint, table, function;
    if (!dlls.empty() && line.rfind("\t", 0) == 0 && (words >> hint >> table >> function)) {
      functions.insert(function);
    }
  }
  EXPECT_EQ(dlls,
            (std::set<std::string>{"IPHLPAPI.DLL", "KERNEL32.dll", "WS2_32.dll", "msvcrt.dll"}));
  for (const char* f : {"NotifyAddrChange", "WSACreateEvent", "WSAGetLastError",
                        "WaitForSingleObject", "printf", "fflush"}) {
    EXPECT_EQ(functions.count(f), 1u) << f << " is not imported";
  }
}

TEST(WindowsProgram, UnderWineTheRequestIsClassifiedByItsLastErrorCode) {
  REQUIRE_TOOL("wine");
  ASSERT_EQ(access(WINDOWS_BINARY, R_OK), 0) << WINDOWS_BINARY << " was not built";
  // Wine's 32-bit loader is itself a 32-bit Linux program; some kernels run
  // none (.ci/i386-binfmt hands them to qemu-user there).
  std::string version;
  if (testing_support::run({"wine", "--version"}, &version) != 0) {
    if (testing_support::in_ci()) {
      FAIL() << "this machine cannot run 32-bit x86 programs: " << version;
    }
    GTEST_SKIP() << "this machine cannot run 32-bit x86 programs: " << version;
  }
  // Wine answers NotifyAddrChange with 997 but leaves the last-error code at
  // 0: a loop that looked at the result would wait here for ever.
  ChildOptions options;
  options.env = {{"WINEPREFIX", WINE_PREFIX},
                 {"WINEDEBUG", "-all"},
                 {"WINEDLLOVERRIDES", "mscoree,mshtml="},
                 // Under qemu-user, Wine finds its fixed addresses only in a fully reserved 4 GiB.
                 {"QEMU_RESERVED_VA", "0xffff0000"}};
  Child wine({"wine", WINDOWS_BINARY, "ignored", "--arguments"}, options);
  const auto status = wine.finish(std::chrono::minutes(8));
  ASSERT_TRUE(status) << "still running: " << wine.out();
  EXPECT_EQ(wine.out(), "NotifyRouteChange error...0\r\n");
  EXPECT_EQ(exit_code(*status), 1) << wine.err();
}

}  // namespace
