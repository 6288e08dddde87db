#include "platform/paths.h"

#include <gtest/gtest.h>
#include <stdlib.h>

namespace {

struct RootGuard {
  explicit RootGuard(const char* value) {
    if (value) setenv("VTCLIENT_ROOT", value, 1); else unsetenv("VTCLIENT_ROOT");
  }
  ~RootGuard() { unsetenv("VTCLIENT_ROOT"); }
};

TEST(SystemPath, UnsetOrEmptyRootLeavesPathAlone) {
  {
    RootGuard g(nullptr);
    EXPECT_EQ(system_path("/etc/vtclient.cfg"), "/etc/vtclient.cfg");
  }
  RootGuard g("");
  EXPECT_EQ(system_path("/tmp/udp_client.log"), "/tmp/udp_client.log");
}

TEST(SystemPath, RootPrefixesAbsolutePaths) {
  RootGuard g("/sandbox/");
  EXPECT_EQ(system_path("/etc/vtclient.cfg"), "/sandbox/etc/vtclient.cfg");
  EXPECT_EQ(system_root(), "/sandbox");
}

}  // namespace
