// GPS submission: the position line, what is handed to the channel, retries.
#include "feature_harness.h"
#include "features/gps_line.h"
#include "features/workers.h"

extern std::vector<std::string> submitted_gps;  // test_channel.cc

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

class Gps : public FeatureHarness {};

TEST_F(Gps, FirstLineIsHandedToTheChannelAndUnusableOutputFetchedAgain) {
  const struct {
    const char* output;
    std::vector<std::string> submitted;
    int fetches;  // a second fetch follows a read error, 10 s later
  } cases[] = {
      {"-3 5 0.0000019 -0.0000019\\nignored 1 2 3\\n", {"-3 5 0.0000019 -0.0000019"}, 1},
      {"0 0 0 0", {"0 0 0.0000000 0.0000000"}, 1},  // a position without a fix is sent too
      {"1 1700000000 48.5\\n", {}, 2},
      {"\\n1 1700000000 48.5 -10.25\\n", {}, 2},  // only the first line counts
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    restart();
    submitted_gps.clear();
    configure("FEATURE_GPSDATA_TIMEOUT=600\nFEATURE_GPSDATA_AUTO_RETRY=1\nFEATURE_GPSDATA_AUTO_RETRY_INTERVAL=10\n"
              "FEATURE_GPSDATA_FETCH_CMD=" + command("gps", std::string("printf '%b' '") + c.output + "'") +
              "\nFEATURE_GPSDATA_NOTIFY_CMD=" + command("notify", "exit 3") + "\n");
    __udp_client_gps_thread_main(&state_->feature);
    EXPECT_EQ(submitted_gps, c.submitted);
    EXPECT_EQ(runs("gps"), c.fetches);
    EXPECT_EQ(logged("err", "GPS Fetch Data - Read Error"), c.fetches == 2 ? 2 : 0);
    EXPECT_EQ(fake_waits(), (c.fetches == 2 ? std::vector<unsigned>{10} : std::vector<unsigned>{}));
    EXPECT_EQ(runs("notify"), static_cast<int>(c.submitted.size())) << "its failing status is ignored";
  }
}

}  // namespace
