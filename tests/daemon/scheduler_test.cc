// Feature scheduling: support switches, automatic start and repeat with the
// random spread, the earliest due feature, and the trigger records.
#include "features/scheduler.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/taglist.h"

namespace {

constexpr time_t kNow = 1700000000;
time_t fixed_clock() { return kNow; }

using config_ptr = std::unique_ptr<taglist, void (*)(taglist*)>;
config_ptr config_from(const std::string& text) {
  return config_ptr(load_taglist_string(text.c_str(), 1), free_taglist);
}

// The first rand() after seeding with 7, which every spread below draws.
uint32_t first_rand() {
  srand(7);
  uint32_t r = static_cast<uint32_t>(rand());
  srand(7);
  return r;
}

class SchedulerTest : public ::testing::Test {
 protected:
  void SetUp() override { vt_set_clock(fixed_clock); }
  void TearDown() override { vt_set_clock(nullptr); }
  time_t schedule[FEATURE_ID_COUNT] = {};
};

TEST_F(SchedulerTest, SupportNeedsExactlyTheTextOne) {
  const struct {
    const char* value;
    int supported;
  } cases[] = {{"1", 1}, {"01", 0}, {"1 ", 0}, {"yes", 0}, {"0", 0}, {"", 0}};
  for (const auto& c : cases) {
    auto config = config_from(std::string("FEATURE_CONFIG_SUPPORT=") + c.value + "\n");
    EXPECT_EQ(__udp_client_feature_support(config.get(), FEATURE_ID_CONFIG), c.supported) << "'" << c.value << "'";
  }
  auto config = config_from("FEATURE_GPSDATA_SUPPORT=1\n");
  EXPECT_EQ(__udp_client_feature_support(config.get(), FEATURE_ID_GPS), 1);
  EXPECT_EQ(__udp_client_feature_support(config.get(), 9), 0);
}

TEST_F(SchedulerTest, AutoStartIsTheStartTimePlusTheWrappedSpread) {
  const std::string on = "FEATURE_CONFIG_SUPPORT=1\nFEATURE_CONFIG_AUTO_START=1\nFEATURE_CONFIG_AUTO_START_TIME=60\n";
  const uint32_t r = first_rand();
  const struct {
    std::string config;
    time_t config_entry;
  } cases[] = {
      {on + "FEATURE_CONFIG_AUTO_START_DELTA=30\n", kNow + 60 + (r * 100u) % 30u},  // wraps
      {"FEATURE_CONFIG_SUPPORT=1\nFEATURE_CONFIG_AUTO_START=yes\nFEATURE_CONFIG_AUTO_START_TIME=5\n", 0},
      {"FEATURE_CONFIG_SUPPORT=0\nFEATURE_CONFIG_AUTO_START=1\nFEATURE_CONFIG_AUTO_START_TIME=5\n", 0},
      // Reboot, remote action and debug dump have no automatic start at all.
      {"FEATURE_REBOOT_SUPPORT=1\nFEATURE_REBOOT_AUTO_START=1\nFEATURE_REBOOT_AUTO_START_TIME=5\n", 0},
      {on + "FEATURE_CONFIG_AUTO_START_DELTA=0\n", kNow + 60},  // last: see below
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.config);
    auto config = config_from(c.config);
    time_t fresh[FEATURE_ID_COUNT] = {};
    first_rand();
    __udp_client_set_auto_start_time(config.get(), fresh);
    EXPECT_EQ(fresh[FEATURE_ID_CONFIG], c.config_entry);
    for (uint32_t id = 1; id < FEATURE_ID_COUNT; ++id) EXPECT_EQ(fresh[id], 0) << id;
  }
  // The last run had no spread and drew no random number.
  EXPECT_EQ(static_cast<uint32_t>(rand()), r);
}

TEST_F(SchedulerTest, RepeatCountsFromTheHandOver) {
  auto config = config_from(
      "FEATURE_REPORT_AUTO_REPEAT=1\nFEATURE_REPORT_AUTO_REPEAT_INTERVAL=3600\n"
      "FEATURE_REPORT_AUTO_REPEAT_DELTA=600\nFEATURE_GPSDATA_AUTO_REPEAT=1\n"
      "FEATURE_GPSDATA_AUTO_REPEAT_INTERVAL=0\n");
  schedule[FEATURE_ID_REPORT] = 5;
  const uint32_t r = first_rand();
  __udp_client_update_schedule(FEATURE_ID_REPORT, config.get(), schedule);
  EXPECT_EQ(schedule[FEATURE_ID_REPORT], kNow + 3600 + (r * 100u) % 600u);
  // Interval 0: due again at once, on the next pass.
  __udp_client_update_schedule(FEATURE_ID_GPS, config.get(), schedule);
  EXPECT_EQ(schedule[FEATURE_ID_GPS], kNow);
  // Repeat off: the entry is cleared.
  schedule[FEATURE_ID_CONFIG] = 123;
  __udp_client_update_schedule(FEATURE_ID_CONFIG, config.get(), schedule);
  EXPECT_EQ(schedule[FEATURE_ID_CONFIG], 0);
}

TEST_F(SchedulerTest, SmallestStartSkipsTheReportAndPrefersTheLowerIdOnTies) {
  const struct {
    time_t entries[FEATURE_ID_COUNT];
    int found;
    uint32_t id;
    time_t time;
  } cases[] = {
      {{0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, 255, 0},
      {{0, 50, 0, 0, 0, 0, 0, 0, 0}, 0, 255, 0},
      {{100, 0, 0, 0, 0, 0, 0, 0, 100}, 1, 0, 100},
      {{100, 1, 0, 0, 0, 0, 0, 0, 99}, 1, 8, 99},
      {{0, 0, 0, 300, 200, 0, 0, 0, 200}, 1, 4, 200},
      {{5, 0, 0, 0, 0, 0, 0, 0, -5}, 1, 8, -5},  // signed comparison
  };
  for (const auto& c : cases) {
    uint32_t id = 77;
    time_t time = 77;
    EXPECT_EQ(__udp_client_smallest_feature_start_time(c.entries, &id, &time), c.found);
    EXPECT_EQ(id, c.id);
    EXPECT_EQ(time, c.time);
  }
}

TEST_F(SchedulerTest, TriggerRecordsFollowTheirKeys) {
  feature_trigger trigger;
  strcpy(trigger.file, "/tmp/syncConfig.now");
  trigger.enabled = 5;
  auto none = config_from("OTHER=1\n");
  __udp_client_get_config_trigger(none.get(), &trigger);
  EXPECT_EQ(trigger.enabled, 0);
  EXPECT_STREQ(trigger.file, "/tmp/syncConfig.now");  // the previous file stays
  auto two = config_from("FEATURE_CONFIG_TRIGGER_SUPPORT=2\nFEATURE_CONFIG_TRIGGER_FILE=/tmp/a\n");
  __udp_client_get_config_trigger(two.get(), &trigger);
  EXPECT_EQ(trigger.enabled, 2);
  EXPECT_STREQ(trigger.file, "/tmp/a");
  // A long name is cut to 64 characters.
  const std::string long_name = "/tmp/" + std::string(70, 'g');
  auto gps = config_from("FEATURE_GPSDATA_TRIGGER_SUPPORT=1\nFEATURE_GPSDATA_TRIGGER_FILE=" + long_name + "\n");
  __udp_client_get_gps_trigger(gps.get(), &trigger);
  EXPECT_EQ(trigger.enabled, 1);
  EXPECT_EQ(std::string(trigger.file), long_name.substr(0, 64));
}

}  // namespace
