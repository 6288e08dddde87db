// The workers with the real channel client: the identity and session
// interface they put in requests and failure lines, and the GPS report the
// channel queues for sending.
#include <mutex>

#include "channel/byte_order.h"
#include "channel/client.h"
#include "feature_harness.h"
#include "features/workers.h"
#include "platform/identity.h"
#include "platform/log.h"

namespace {

class WithChannel : public FeatureHarness {
 protected:
  // Creates the client; the first wget_https run is its authorisation,
  // answered with `auth` ("EXIT 1" to fail it).
  void create_client(const std::string& auth, std::vector<std::string> later) {
    later.insert(later.begin(), auth);
    https_answers(later);
    reset_identity_cache();
    client_ = create_vantor_udp_client("1234-5678-ABCD", "RT100", "EU", "1.2.3", 30, "127.0.0.1", "reg",
                                       __udp_client_log, 10, nullptr);
    ASSERT_NE(client_, nullptr);
    state_->client = client_;
  }
  void TearDown() override {
    destroy_vantor_udp_client(client_);
    FeatureHarness::TearDown();
    reset_identity_cache();
  }
  vantor_udp_client* client_ = nullptr;
};

TEST_F(WithChannel, SecondWanInterfaceIsUsedAndNamedInFailureLines) {
  write("etc/TRELL_wanno", "2\n");
  write("var/run/wanmon/wan1/status", "CONN_STATUS=down\n");
  write("var/run/wanmon/wan2/status", "CONN_STATUS=connected\nCONN_METHOD=dhcp\nCONN_LOGDEV=eth7\n");
  create_client("302 Found\n0123456789abcdef\n127.0.0.1\n11753\n", {"500 Oops\n"});
  configure("FEATURE_CONFIG_TIMEOUT=600\nFEATURE_CONFIG_PATH=sync\nFEATURE_CONFIG_SOURCE=" + path("device.cfg") +
            "\nFEATURE_CONFIG_FETCH_CMD=" + command("fetch", "echo A=1 > '" + path("device.cfg") + "'") + "\n");
  __udp_client_config_thread_main(&state_->feature);
  EXPECT_EQ(logged("err", "Config sync error (Code=500, interface=eth7)"), 1);
  ASSERT_EQ(https_runs().size(), 2u);
  EXPECT_NE(https_runs()[1].find(" -ieth7"), std::string::npos);
  // The request carries the identity the client was created with.
  std::string body = https_body(2);
  EXPECT_NE(body.find("name=\"serial\"\r\n\r\n1234-5678-ABCD\r\n"), std::string::npos);
  EXPECT_NE(body.find("name=\"version\"\r\n\r\n1.2.3\r\n"), std::string::npos);
}

TEST_F(WithChannel, GpsReportIsQueuedWithTruncatedMillionths) {
  create_client("EXIT 1", {});
  const struct {
    const char* line;
    int32_t timestamp, latitude, longitude;
    uint8_t valid;
  } cases[] = {
      // Only the first line counts; degrees are truncated towards zero; any fix is 1.
      {"-3 5 0.0000019 -0.0000019\\nignored 1 2 3\\n", 5, 1, -1, 1},
      {"0 0 0 0", 0, 0, 0, 0},  // a position without a fix is sent too
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    configure("FEATURE_GPSDATA_TIMEOUT=60\nFEATURE_GPSDATA_FETCH_CMD=" +
              command("gps", std::string("printf '%b' '") + c.line + "'") + "\nFEATURE_GPSDATA_NOTIFY_CMD=" +
              command("notify", "exit 3") + "\n");
    __udp_client_gps_thread_main(&state_->feature);
    std::lock_guard<std::mutex> lock(client_->agenda_mutex);
    agenda_item* item = nullptr;
    ASSERT_EQ(delivery_agenda_get_num_item(&client_->agenda), 1u);
    ASSERT_EQ(delivery_agenda_get_item(&client_->agenda, &item, 0), 0);
    ASSERT_EQ(item->payload_length, 13u);
    auto field = [&](int at) { return static_cast<int32_t>(vt_load_be32(item->payload + at)); };
    EXPECT_EQ((std::vector<int32_t>{field(0), field(4), field(8), item->payload[12]}),
              (std::vector<int32_t>{c.timestamp, c.latitude, c.longitude, c.valid}));
    delivery_agenda_delete_item(&client_->agenda, 0);
  }
  EXPECT_EQ(runs("notify"), 2);  // its failing status is ignored
}

}  // namespace
