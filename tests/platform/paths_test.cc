#include "platform/paths.h"

#include <gtest/gtest.h>
#include <stdlib.h>

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
