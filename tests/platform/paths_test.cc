#include "platform/paths.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "platform/private_dir.h"
#include "tests/support/sandbox.h"

namespace {

TEST(SystemPath, RootPrefixesAbsolutePathsUnlessUnsetOrEmpty) {
  unsetenv("VTCLIENT_ROOT");
  EXPECT_EQ(system_path("/etc/vtclient.cfg"), "/etc/vtclient.cfg");
  setenv("VTCLIENT_ROOT", "", 1);
  EXPECT_EQ(system_path("/tmp/udp_client.log"), "/tmp/udp_client.log");
  setenv("VTCLIENT_ROOT", "/sandbox/", 1);
  EXPECT_EQ(system_path("/etc/vtclient.cfg"), "/sandbox/etc/vtclient.cfg");
  EXPECT_EQ(system_root(), "/sandbox");
  unsetenv("VTCLIENT_ROOT");
}

// The private directory: made 0700 when missing, kept when it is ours;
// anything else at its name is left as it is for a fresh directory of ours.
TEST(PrivateDirectory, OnlyADirectoryOfOursWithMode0700IsUsed) {
  vt_test::Sandbox sandbox;
  const std::string fixed = sandbox.path("/tmp/vtclient"), real = fixed + ".real";
  const struct {
    const char* what;
    std::function<void()> plant;
    bool fixed_used;
  } cases[] = {
      {"missing", [] {}, true},
      {"ours", [&] { mkdir(fixed.c_str(), 0700); }, true},
      {"wider mode", [&] { mkdir(fixed.c_str(), 0700), chmod(fixed.c_str(), 0777); }, false},
      {"link", [&] { mkdir(real.c_str(), 0700), symlink(real.c_str(), fixed.c_str()); }, false},
      {"file", [&] { vt_test::write_text_file(fixed, ""); }, false},
  };
  for (const auto& c : cases) {
    std::system(("rm -rf " + fixed + "*").c_str());
    c.plant();
    struct stat planted = {}, st = {};
    lstat(fixed.c_str(), &planted);
    std::string dir = private_directory();
    EXPECT_EQ(dir == fixed, c.fixed_used) << c.what;
    ASSERT_EQ(lstat(dir.c_str(), &st), 0) << c.what;
    EXPECT_TRUE(S_ISDIR(st.st_mode) && (st.st_mode & 07777) == 0700) << c.what;
    EXPECT_EQ(private_path("x.in"), dir + "/x.in") << c.what;
    if (!c.fixed_used) {
      struct stat after = {};
      lstat(fixed.c_str(), &after);
      EXPECT_EQ(after.st_mode, planted.st_mode) << c.what << ": the planted name was changed";
    }
  }
}

}  // namespace
