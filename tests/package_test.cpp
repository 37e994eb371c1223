// Installing and packaging: the install layout, the man page, the .deb (and
// the program run from it), the Windows .zip, and in a static build the
// tarball for any Linux, whose program runs from an otherwise empty root; on
// FreeBSD, the tarball's program from an empty root there.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "child.h"
#include "machine.h"

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

#ifndef __FreeBSD__
TEST_F(Package, TheManPageRendersWithoutAWarning) {
  REQUIRE_TOOL("groff", "groff-base");
  std::string output;
  EXPECT_EQ(run({"groff", "-man", "-ww", "-z", BUILD_DIR "/network-change.1"}, &output), 0);
  EXPECT_EQ(output, "");
  // Both lines, as the program prints them, and the project's version.
  ASSERT_EQ(run({"groff", "-man", "-Tutf8", "-P-cbou", BUILD_DIR "/network-change.1"}, &output), 0);
  EXPECT_NE(output.find("net changed..N"), std::string::npos) << output;
  EXPECT_NE(output.find("NotifyRouteChange error...E"), std::string::npos);
  EXPECT_NE(output.find("network-change " PROJECT_VERSION), std::string::npos);
}
#endif

#if defined(__FreeBSD__)
TEST_F(Package, TheTarballsProgramRunsFromAnEmptyRoot) {
  // The tarball, as CPack made it and tools/vm-freebsd unpacked it.
  const fs::path unpacked = UNPACKED_TARBALL;
  std::set<std::string> files;
  for (const auto& entry : fs::directory_iterator(unpacked)) {
    files.insert(entry.path().filename().string());
  }
  EXPECT_EQ(files,
            (std::set<std::string>{"LICENSE", "README", "network-change", "network-change.1"}));
  const fs::path program = unpacked / "network-change";
  ASSERT_TRUE(executable(program));

  // A root that holds the program and nothing else: no loader, no library,
  // no /dev. A program that needed a loader would not start there.
  const fs::path root = dir_ / "root";
  fs::create_directory(root);
  fs::copy_file(program, root / "network-change");
  REQUIRE_PRIVATE_NETNS();
  testing_support::ChildOptions in_root;
  const std::string path = root.string();
  in_root.before_exec = [&path] {
    if (chroot(path.c_str()) != 0 || chdir("/") != 0) {
      _exit(127);
    }
  };
  Child c({"/network-change"}, in_root);
  ASSERT_TRUE(testing_support::wait_until_idle(c.pid(), 30s));
  testing_support::ifconfig("lo0 inet 192.0.2.1/32 alias");
  EXPECT_EQ(c.line(10s), "net changed..0");
}

#elif !defined(NETWORK_CHANGE_STATIC)
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
  REQUIRE_TOOL("dpkg-deb", "dpkg");
  REQUIRE_TOOL("dpkg-shlibdeps", "dpkg-dev");
  const fs::path deb = pack("DEB", BUILD_DIR, ".deb");
  ASSERT_FALSE(deb.empty());
  // Built for the architecture it says, needing what the program links,
  // from the architecture's own packages, where a cross toolchain's
  // libraries were all this machine had of it.
  std::string output;
  ASSERT_EQ(run({"dpkg-deb", "-f", deb.string(), "Architecture", "Depends"}, &output), 0);
  EXPECT_EQ(output.rfind("Architecture: " DEB_ARCH "\n", 0), 0u) << output;
  EXPECT_NE(output.find("libc6 ("), std::string::npos) << output;
  EXPECT_NE(output.find("libstdc++6"), std::string::npos) << output;
  EXPECT_EQ(output.find("-cross"), std::string::npos) << output;
  EXPECT_EQ(output.find(":" DEB_ARCH), std::string::npos) << output;

  const fs::path root = dir_ / "root";
  ASSERT_EQ(run({"dpkg-deb", "-x", deb.string(), root.string()}, &output), 0) << output;
  EXPECT_TRUE(executable(root / "usr/bin/network-change"));

  REQUIRE_PRIVATE_NETNS();
  Child c({(root / "usr/bin/network-change").string()});
  ASSERT_TRUE(testing_support::wait_until_idle(c.pid(), 30s));
  testing_support::ip("addr add 192.0.2.1/24 dev lo");
  EXPECT_EQ(c.line(10s), "net changed..0");

  // Anyone may ship it: lintian finds no error and no warning.
  REQUIRE_TOOL("lintian", "lintian");
  const int lintian = run({"lintian", "--fail-on", "error,warning", deb.string()}, &output);
  EXPECT_EQ(lintian, 0) << output;
  EXPECT_EQ(output.find("W: "), std::string::npos) << output;
  EXPECT_EQ(output.find("E: "), std::string::npos) << output;
}

#else
TEST_F(Package, TheTarballRunsFromAnEmptyRootOnAnyLinux) {
  REQUIRE_TOOL("tar", "tar");
  REQUIRE_TOOL("readelf", "binutils");
  const std::string name = "network-change-" PROJECT_VERSION "-linux-" DEB_ARCH;
  const fs::path tarball = pack("TGZ", BUILD_DIR, ".gz");
  ASSERT_EQ(tarball.filename().string(), name + ".tar.gz");
  std::string output;
  ASSERT_EQ(run({"tar", "-tzf", tarball.string()}, &output), 0) << output;
  std::set<std::string> files;
  std::istringstream listing(output);
  for (std::string entry; std::getline(listing, entry);) {
    if (entry.back() != '/') {
      files.insert(entry);
    }
  }
  EXPECT_EQ(files, (std::set<std::string>{name + "/LICENSE", name + "/README",
                                          name + "/network-change", name + "/network-change.1"}));
  ASSERT_EQ(run({"tar", "-xzf", tarball.string(), "-C", dir_.string()}, &output), 0) << output;
  const fs::path program = dir_ / name / "network-change";
  ASSERT_TRUE(executable(program));

  // Nothing for a loader to do: no interpreter to start it, no library to find.
  ASSERT_EQ(run({"readelf", "--program-headers", "--dynamic", "--wide", program.string()}, &output),
            0)
      << output;
  EXPECT_EQ(output.find("INTERP"), std::string::npos) << output;
  EXPECT_EQ(output.find("(NEEDED)"), std::string::npos) << output;
  const auto bytes = fs::file_size(program);
  std::cout << tarball.filename().string() << ": network-change is " << bytes << " bytes\n";
  RecordProperty("bytes", std::to_string(bytes));

  // A root that holds the program and nothing else: no loader, no library,
  // no /proc, no /dev.
  const fs::path root = dir_ / "root";
  fs::create_directory(root);
  fs::copy_file(program, root / "network-change");
  REQUIRE_PRIVATE_NETNS();
  Child c({"unshare", "--mount", "--propagation", "private", "chroot", root.string(),
           "/network-change"});
  ASSERT_TRUE(testing_support::wait_until_idle(c.pid(), 30s));
  testing_support::ip("addr add 192.0.2.1/24 dev lo");
  EXPECT_EQ(c.line(10s), "net changed..0");
}
#endif

#ifdef WINDOWS_BUILD_DIR
TEST_F(Package, TheWindowsZipHoldsTheProgramAndItsUsage) {
  REQUIRE_TOOL("python3", "python3");
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
