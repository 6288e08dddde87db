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

}  // namespace

namespace {

// The private directory: made 0700 when missing, kept when it is ours;
// anything else at its name is left alone for a fresh directory of our own.
TEST(PrivateDirectory, OnlyADirectoryOfOursWithMode0700IsUsed) {
  vt_test::Sandbox sandbox;
  const std::string fixed = sandbox.path("/tmp/vtclient");
  const struct {
    const char* what;
    std::function<void()> plant;
    bool fixed_used;
  } cases[] = {
      {"missing", [] {}, true},
      {"ours", [&] { mkdir(fixed.c_str(), 0700); }, true},
      {"wider mode", [&] { mkdir(fixed.c_str(), 0700); chmod(fixed.c_str(), 0777); }, false},
      {"link",
       [&] {
         mkdir((fixed + ".real").c_str(), 0700);
         symlink((fixed + ".real").c_str(), fixed.c_str());
       },
       false},
      {"file", [&] { vt_test::write_text_file(fixed, ""); }, false},
  };
  for (const auto& c : cases) {
    std::system(("rm -rf " + sandbox.path("/tmp") + "/vtclient*").c_str());
    c.plant();
    struct stat before;
    lstat(fixed.c_str(), &before);
    std::string dir = private_directory();
    EXPECT_EQ(dir == fixed, c.fixed_used) << c.what;
    struct stat st;
    ASSERT_EQ(lstat(dir.c_str(), &st), 0) << c.what;
    EXPECT_TRUE(S_ISDIR(st.st_mode)) << c.what;
    EXPECT_EQ(st.st_mode & 07777, 0700u) << c.what;
    EXPECT_EQ(private_path("x.in"), dir + "/x.in") << c.what;
    struct stat after;
    if (!c.fixed_used) {
      ASSERT_EQ(lstat(fixed.c_str(), &after), 0) << c.what;
      EXPECT_EQ(after.st_mode, before.st_mode) << c.what << ": the planted name was changed";
    }
  }
}

}  // namespace
