// The workers with the real channel client: the identity and the session
// interface they put in requests and failure lines.
#include <algorithm>

#include "channel/vantor_udp_client.h"
#include "feature_harness.h"
#include "features/workers.h"
#include "platform/identity.h"
#include "platform/log.h"

namespace {

class WithChannel : public FeatureHarness {
 protected:
  void TearDown() override {
    destroy_vantor_udp_client(state_->client);
    FeatureHarness::TearDown();
    reset_identity_cache();
  }
};

TEST_F(WithChannel, SecondWanInterfaceIsUsedAndNamedInFailureLines) {
  write("etc/TRELL_wanno", "2\n");
  write("var/run/wanmon/wan1/status", "CONN_STATUS=down\n");
  write("var/run/wanmon/wan2/status", "CONN_STATUS=connected\nCONN_METHOD=dhcp\nCONN_LOGDEV=eth7\n");
  // The first run of the fetch tool is the client's authorisation.
  tool_->answers({"302 Found\n0123456789abcdef\n127.0.0.1\n11753\n", "500 Oops\n"});
  reset_identity_cache();
  state_->client = create_vantor_udp_client("1234-5678-ABCD", "RT100", "EU", "1.2.3", 30, "127.0.0.1", "reg",
                                            __udp_client_log, 10, nullptr);
  ASSERT_NE(state_->client, nullptr);
  configure("FEATURE_CONFIG_TIMEOUT=600\nFEATURE_CONFIG_PATH=sync\nFEATURE_CONFIG_SOURCE=" + path("device.cfg") +
            "\nFEATURE_CONFIG_FETCH_CMD=" + command("fetch", "echo A=1 > '" + path("device.cfg") + "'") + "\n");
  __udp_client_config_thread_main(&state_->feature);
  EXPECT_EQ(logged("err", "Config sync error (Code=500, interface=eth7)"), 1);
  ASSERT_EQ(tool_->runs(), 2);
  auto args = tool_->args(2);
  EXPECT_NE(std::find(args.begin(), args.end(), "-ieth7"), args.end());
  // The request carries the identity the client was created with.
  EXPECT_NE(https_body(2).find("name=\"serial\"\r\n\r\n1234-5678-ABCD\r\n"), std::string::npos);
  EXPECT_NE(https_body(2).find("name=\"version\"\r\n\r\n1.2.3\r\n"), std::string::npos);
}

}  // namespace
