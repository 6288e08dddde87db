// Feature scheduling: support switches, automatic start and repeat with the
// random spread and the earliest due feature.
#include "features/scheduler.h"

#include "tests/features/feature_harness.h"

namespace {

using SchedulerTest = FeatureHarness;

TEST_F(SchedulerTest, StartAndRepeatTimesAddTheWrappedSpread) {
  srand(7);
  const uint32_t r = static_cast<uint32_t>(rand());  // the first draw after seeding with 7
  const std::string on = "FEATURE_CONFIG_SUPPORT=1\nFEATURE_CONFIG_AUTO_START_TIME=60\nFEATURE_CONFIG_AUTO_START=";
  const struct {
    std::string config; uint32_t id; bool repeat;
    time_t entry;  // 5: left alone
  } cases[] = {
      {on + "1\nFEATURE_CONFIG_AUTO_START_DELTA=30\n", FEATURE_ID_CONFIG, false, kStart + 60 + (r * 100u) % 30u},
      {on + "yes\n", FEATURE_ID_CONFIG, false, 5},
      // Only exactly "1" switches a feature on.
      {"FEATURE_CONFIG_SUPPORT=1 \nFEATURE_CONFIG_AUTO_START=1\nFEATURE_CONFIG_AUTO_START_TIME=5\n", 0, false, 5},
      // Reboot, remote action and debug dump have no automatic start at all.
      {"FEATURE_REBOOT_SUPPORT=1\nFEATURE_REBOOT_AUTO_START=1\nFEATURE_REBOOT_AUTO_START_TIME=5\n", 5, false, 5},
      // A repeat counts from the hand-over; interval 0 (no spread) is due again on the next pass.
      {"FEATURE_REPORT_AUTO_REPEAT=1\nFEATURE_REPORT_AUTO_REPEAT_INTERVAL=3600\nFEATURE_REPORT_AUTO_REPEAT_DELTA=600\n",
       FEATURE_ID_REPORT, true, kStart + 3600 + (r * 100u) % 600u},
      {"FEATURE_GPSDATA_AUTO_REPEAT=1\nFEATURE_GPSDATA_AUTO_REPEAT_INTERVAL=0\n", FEATURE_ID_GPS, true, kStart},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.config);
    configure(c.config);
    time_t schedule[FEATURE_ID_COUNT];
    std::fill(std::begin(schedule), std::end(schedule), 5);
    srand(7);
    if (c.repeat) __udp_client_update_schedule(c.id, config_.get(), schedule);
    else __udp_client_set_auto_start_time(config_.get(), schedule);
    for (uint32_t id = 0; id < FEATURE_ID_COUNT; ++id) EXPECT_EQ(schedule[id], id == c.id ? c.entry : 5) << id;
  }
}

TEST_F(SchedulerTest, SmallestStartSkipsTheReportAndPrefersTheLowerIdOnTies) {
  const struct { time_t entries[FEATURE_ID_COUNT]; uint32_t id; time_t time; } cases[] = {  // id 255: none found
      {{0, 0, 0, 0, 0, 0, 0, 0, 0}, 255, 0},         {{0, 50, 0, 0, 0, 0, 0, 0, 0}, 255, 0},
      {{100, 0, 0, 0, 0, 0, 0, 0, 100}, 0, 100},     {{100, 1, 0, 0, 0, 0, 0, 0, 99}, 8, 99},
      {{0, 0, 0, 300, 200, 0, 0, 0, 200}, 4, 200},   {{5, 0, 0, 0, 0, 0, 0, 0, -5}, 8, -5},  // signed comparison
  };
  for (const auto& c : cases) {
    uint32_t id = 77;
    time_t time = 77;
    EXPECT_EQ(__udp_client_smallest_feature_start_time(c.entries, &id, &time), c.id != 255);
    EXPECT_EQ(std::make_pair(id, time), std::make_pair(c.id, c.time));
  }
}

}  // namespace
