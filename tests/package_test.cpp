// Installing and packaging: the install layout, the man page, the .deb (and
// the program run from it), and the Windows .zip.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "child.h"
#include "netns.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::Child;
using testing_support::run;

class Package : public ::testing::Test {
 protected:
  void SetUp() override {
    char path[] = "/tmp/network-change-package-XXXXXX";
    ASSERT_NE(mkdtemp(path), nullptr);
    dir_ = path;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Packs the build configured in build_dir with the generator, into dir_,
  // and returns the one package made there (empty, with a failure, if none).
  fs::path pack(const std::string& generator, const std::string& build_dir,
                const std::string& ending) {
    std::string output;
    EXPECT_EQ(run({CPACK_COMMAND, "-G", generator, "--config", build_dir + "/CPackConfig.cmake",
                   "-B", dir_.string()},
                  &output),
              0)
        << output;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      if (entry.path().extension() == ending) {
        return entry.path();
      }
    }
    ADD_FAILURE() << "no " << ending << " made: " << output;
    return {};
  }

  static bool executable(const fs::path& p) {
    return access(p.c_str(), X_OK) == 0 && fs::is_regular_file(p);
  }

  fs::path dir_;
};

TEST_F(Package, TheManPageRendersWithoutAWarning) {
  REQUIRE_TOOL("groff");
  std::string output;
  EXPECT_EQ(run({"groff", "-man", "-ww", "-z", BUILD_DIR "/network-change.1"}, &output), 0);
  EXPECT_EQ(output, "");
  // Both lines, as the program prints them, and the project's version.
  ASSERT_EQ(run({"groff", "-man", "-Tutf8", "-P-cbou", BUILD_DIR "/network-change.1"}, &output), 0);
  EXPECT_NE(output.find("net changed..N"), std::string::npos) << output;
  EXPECT_NE(output.find("NotifyRouteChange error...E"), std::string::npos);
  EXPECT_NE(output.find("network-change " PROJECT_VERSION), std::string::npos);
}

TEST_F(Package, InstallLaysOutTheProgramItsManPageAndItsLicence) {
  std::string output;
  ASSERT_EQ(run({"cmake", "--install", BUILD_DIR, "--prefix", dir_.string()}, &output), 0)
      << output;
  EXPECT_TRUE(executable(dir_ / "bin/network-change"));
  EXPECT_TRUE(fs::is_regular_file(dir_ / "share/man/man1/network-change.1.gz"));
  EXPECT_EQ(testing_support::read_file((dir_ / "share/doc/network-change/copyright").string()),
            testing_support::read_file(SOURCE_DIR "/LICENSE"));
}

TEST_F(Package, TheDebRunsAndAnyoneMayShipIt) {
  REQUIRE_TOOL("dpkg-deb");
  REQUIRE_TOOL("dpkg-shlibdeps");
  const fs::path deb = pack("DEB", BUILD_DIR, ".deb");
  ASSERT_FALSE(deb.empty());
  // Built for the architecture it says, needing what the program links.
  std::string output;
  ASSERT_EQ(run({"dpkg-deb", "-f", deb.string(), "Architecture", "Depends"}, &output), 0);
  EXPECT_EQ(output.rfind("Architecture: " DEB_ARCH "\n", 0), 0u) << output;
  EXPECT_NE(output.find("libc6 ("), std::string::npos) << output;
  EXPECT_NE(output.find("libstdc++6 ("), std::string::npos) << output;

  const fs::path root = dir_ / "root";
  ASSERT_EQ(run({"dpkg-deb", "-x", deb.string(), root.string()}, &output), 0) << output;
  EXPECT_TRUE(executable(root / "usr/bin/network-change"));

  REQUIRE_PRIVATE_NETNS();
  Child c({(root / "usr/bin/network-change").string()});
  ASSERT_TRUE(testing_support::wait_until_idle(c.pid(), 30s));
  testing_support::ip("addr add 192.0.2.1/24 dev lo");
  EXPECT_EQ(c.line(10s), "net changed..0");

  // Anyone may ship it: lintian finds no error and no warning.
  REQUIRE_TOOL("lintian");
  const int lintian = run({"lintian", "--fail-on", "error,warning", deb.string()}, &output);
  EXPECT_EQ(lintian, 0) << output;
  EXPECT_EQ(output.find("W: "), std::string::npos) << output;
  EXPECT_EQ(output.find("E: "), std::string::npos) << output;
}

#ifdef WINDOWS_BUILD_DIR
TEST_F(Package, TheWindowsZipHoldsTheProgramAndItsUsage) {
  REQUIRE_TOOL("python3");
  const fs::path zip = pack("ZIP", WINDOWS_BUILD_DIR, ".zip");
  ASSERT_FALSE(zip.empty());
  std::string output;
  ASSERT_EQ(run({"python3", "-c",
                 "import sys, zipfile; "
                 "print('\\n'.join(sorted(zipfile.ZipFile(sys.argv[1]).namelist())))",
                 zip.string()},
                &output),
            0);
  EXPECT_EQ(output, "LICENSE.txt\nUSAGE.txt\nnetwork-change.exe\n");
}
#endif

}  // namespace
