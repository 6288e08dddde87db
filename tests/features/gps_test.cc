// GPS submission: the position line, its retries, and what reaches the channel.
#include "feature_harness.h"
#include "features/workers.h"
#include "test_channel.h"

namespace {

class Gps : public FeatureHarness {
 protected:
  void SetUp() override {
    FeatureHarness::SetUp();
    clear_gps_submissions();
  }
  void device(const std::string& output, const std::string& extra = "") {
    configure("FEATURE_GPSDATA_TIMEOUT=600\nFEATURE_GPSDATA_AUTO_RETRY=1\n"
              "FEATURE_GPSDATA_AUTO_RETRY_INTERVAL=10\nFEATURE_GPSDATA_FETCH_CMD=" +
              command("gps", "printf '" + output + "'") +
              "\nFEATURE_GPSDATA_NOTIFY_CMD=" + command("notify", "exit 3") + "\n" + extra);
  }
  void run() { __udp_client_gps_thread_main(&state_->feature); }
};

TEST_F(Gps, PositionLinesReachTheChannel) {
  struct Case {
    const char* output;
    int valid;
    unsigned long timestamp;
    double latitude, longitude;
  };
  const Case cases[] = {
      {"1 1700000000 48.5 -10.25\\n", 1, 1700000000ul, 48.5, -10.25},
      {"0 0 0 0", 0, 0, 0, 0},  // a position without fix is still sent
      {"7 5 0.0000019 -0.0000019\\nignored 1 2 3\\n", 7, 5, 0.0000019, -0.0000019},
      {"1\\t42   1e1  2.5E0\\n", 1, 42, 10.0, 2.5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.output);
    clear_gps_submissions();
    device(c.output);
    run();
    auto sent = gps_submissions();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].valid, c.valid);
    EXPECT_EQ(sent[0].timestamp, c.timestamp);
    EXPECT_DOUBLE_EQ(sent[0].latitude, c.latitude);
    EXPECT_DOUBLE_EQ(sent[0].longitude, c.longitude);
  }
  EXPECT_EQ(runs("notify"), 4);  // its failing status is ignored
  EXPECT_EQ(logged("info", "Start GPS Submission"), 4);
}

TEST_F(Gps, UnusableOutputIsAReadErrorAndFetchedAgain) {
  const char* outputs[] = {
      "1 1700000000 48.5\\n",          // three values
      "",                              // nothing at all
      "\\n1 1700000000 48.5 -10.25\\n",  // only the first line counts
      "1 1700000000 nan 2\\n",          // not a number the channel can send
      "1 1700000000 1e300 2\\n",
  };
  for (const char* out : outputs) {
    SCOPED_TRACE(out);
    TearDown();
    SetUp();
    device(out);
    run();
    EXPECT_EQ(runs("gps"), 2);
    EXPECT_EQ(logged("err", "GPS Fetch Data - Read Error"), 2);
    EXPECT_EQ(fake_waits(), (std::vector<unsigned>{10}));
    EXPECT_TRUE(gps_submissions().empty());
    EXPECT_EQ(runs("notify"), 0);
  }
}

TEST_F(Gps, MissingTimeoutRunsNothing) {
  device("1 2 3 4\\n");
  configure("FEATURE_GPSDATA_FETCH_CMD=" + path("bin/gps") + "\n");
  run();
  EXPECT_EQ(runs("gps"), 0);
  EXPECT_TRUE(gps_submissions().empty());
}

}  // namespace
