// GPS submission: the position line and its retries.
#include "feature_harness.h"
#include "features/gps_line.h"
#include "features/workers.h"

namespace {

TEST(GpsLine, AcceptsFourValuesThatFitTheMessage) {
  const struct {
    const char* line;
    bool accepted;
  } cases[] = {
      {"1 1700000000 48.5 -10.25\n", true},
      {"  1\t1700000000   0.0000019 -0.0000019 trailing words", true},
      {"1 1700000000 2147.48 0", true},
      {"1 1700000000 48.5", false},  // three values
      {"gps: 1 1700000000 48.5 -10.25", false},
      {"1 1700000000 nan 0", false},  // not a number cannot be sent
      {"1 1700000000 2147.483648 0", false},  // beyond a signed 32-bit millionth
      {"1 1700000000 0 -3000", false},
  };
  for (const auto& c : cases) {
    gps_position pos;
    EXPECT_EQ(parse_gps_line(c.line, &pos), c.accepted) << c.line;
  }
}

class Gps : public FeatureHarness {
 protected:
  void run(const std::string& output) {
    configure("FEATURE_GPSDATA_TIMEOUT=600\nFEATURE_GPSDATA_AUTO_RETRY=1\n"
              "FEATURE_GPSDATA_AUTO_RETRY_INTERVAL=10\nFEATURE_GPSDATA_FETCH_CMD=" +
              command("gps", "printf '" + output + "'") +
              "\nFEATURE_GPSDATA_NOTIFY_CMD=" + command("notify", "exit 3") + "\n");
    __udp_client_gps_thread_main(&state_->feature);
  }
};

TEST_F(Gps, UnusableOutputIsAReadErrorAndFetchedAgain) {
  for (const char* out : {"1 1700000000 48.5\\n", "\\n1 1700000000 48.5 -10.25\\n"}) {
    SCOPED_TRACE(out);
    TearDown();
    SetUp();
    run(out);
    EXPECT_EQ(runs("gps"), 2);
    EXPECT_EQ(logged("err", "GPS Fetch Data - Read Error"), 2);
    EXPECT_EQ(fake_waits(), (std::vector<unsigned>{10}));
    EXPECT_EQ(runs("notify"), 0);  // nothing was submitted
  }
}

}  // namespace
