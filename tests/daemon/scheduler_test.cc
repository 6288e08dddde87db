// Feature scheduling: support switches, automatic start and repeat with the
// random spread, the earliest due feature, and the trigger records.
#include "daemon/scheduler.h"

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

class SchedulerTest : public ::testing::Test {
 protected:
  void SetUp() override { vt_set_clock(fixed_clock); }
  void TearDown() override { vt_set_clock(nullptr); }
  int32_t schedule[FEATURE_ID_COUNT] = {};
};

TEST_F(SchedulerTest, SupportNeedsExactlyTheTextOne) {
  const struct {
    const char* value;
    int supported;
  } cases[] = {{"1", 1}, {"01", 0}, {"1 ", 0}, {"yes", 0}, {"0", 0}, {"", 0}};
  for (const auto& c : cases) {
    auto config = config_from(std::string("FEATURE_CONFIG_SUPPORT=") + c.value + "\n");
    EXPECT_EQ(__udp_client_feature_support(config.get(), FEATURE_ID_CONFIG), c.supported)
        << "value '" << c.value << "'";
  }
  auto config = config_from("FEATURE_GPSDATA_SUPPORT=1\n");
  EXPECT_EQ(__udp_client_feature_support(config.get(), FEATURE_ID_GPS), 1);
  EXPECT_EQ(__udp_client_feature_support(config.get(), 9), 0);
  EXPECT_EQ(__udp_client_feature_support(config.get(), 255), 0);
}

TEST_F(SchedulerTest, AutoStartWithoutSpreadIsExactlyTheStartTimeAhead) {
  auto config = config_from(
      "FEATURE_CONFIG_SUPPORT=1\nFEATURE_CONFIG_AUTO_START=1\nFEATURE_CONFIG_AUTO_START_TIME=60\n"
      "FEATURE_CONFIG_AUTO_START_DELTA=0\n");
  __udp_client_set_auto_start_time(config.get(), schedule);
  EXPECT_EQ(schedule[FEATURE_ID_CONFIG], kNow + 60);
  for (uint32_t id = 1; id < FEATURE_ID_COUNT; ++id) EXPECT_EQ(schedule[id], 0) << id;
}

TEST_F(SchedulerTest, AutoStartSpreadStaysWithinTheSpread) {
  auto config = config_from(
      "FEATURE_CONFIG_SUPPORT=1\nFEATURE_CONFIG_AUTO_START=1\nFEATURE_CONFIG_AUTO_START_TIME=60\n"
      "FEATURE_CONFIG_AUTO_START_DELTA=30\n");
  bool saw_spread = false;
  for (unsigned seed = 1; seed <= 200; ++seed) {
    srand(seed);
    schedule[FEATURE_ID_CONFIG] = 0;
    __udp_client_set_auto_start_time(config.get(), schedule);
    EXPECT_GE(schedule[FEATURE_ID_CONFIG], kNow + 60);
    EXPECT_LE(schedule[FEATURE_ID_CONFIG], kNow + 89);
    saw_spread |= schedule[FEATURE_ID_CONFIG] != kNow + 60;
  }
  EXPECT_TRUE(saw_spread);
}

TEST_F(SchedulerTest, SpreadIsTheWrappedProductOfRandTimesHundred) {
  srand(7);
  const uint32_t expected = (static_cast<uint32_t>(rand()) * 100u) % 1000u;
  srand(7);
  EXPECT_EQ(__udp_client_random_spread(1000), expected);
  // No spread draws no random number.
  srand(7);
  EXPECT_EQ(__udp_client_random_spread(0), 0u);
  const int first = rand();
  srand(7);
  EXPECT_EQ(rand(), first);
}

TEST_F(SchedulerTest, AutoStartStaysOffUnlessSupportedAndSwitchedOnExactly) {
  const char* cases[] = {
      "FEATURE_CONFIG_SUPPORT=1\nFEATURE_CONFIG_AUTO_START=yes\nFEATURE_CONFIG_AUTO_START_TIME=5\n",
      "FEATURE_CONFIG_SUPPORT=0\nFEATURE_CONFIG_AUTO_START=1\nFEATURE_CONFIG_AUTO_START_TIME=5\n",
      // Reboot, remote action and debug dump have no automatic start at all.
      "FEATURE_REBOOT_SUPPORT=1\nFEATURE_REBOOT_AUTO_START=1\nFEATURE_REBOOT_AUTO_START_TIME=5\n",
  };
  for (const char* text : cases) {
    auto config = config_from(text);
    int32_t fresh[FEATURE_ID_COUNT] = {};
    __udp_client_set_auto_start_time(config.get(), fresh);
    for (int32_t entry : fresh) EXPECT_EQ(entry, 0) << text;
  }
}

TEST_F(SchedulerTest, AutoStartInfoIsReadEvenWhenTheSwitchIsOff) {
  auto config = config_from("FEATURE_UPISPD_AUTO_START_TIME=42\nFEATURE_UPISPD_AUTO_START_DELTA=-1\n");
  int32_t time = 0;
  uint32_t spread = 0;
  EXPECT_EQ(__udp_client_get_auto_start_info(config.get(), FEATURE_ID_ISP, &time, &spread), 0);
  EXPECT_EQ(time, 42);
  EXPECT_EQ(spread, 0xFFFFFFFFu);  // a negative spread is a very large one
  time = 7;
  EXPECT_EQ(__udp_client_get_auto_start_info(config.get(), FEATURE_ID_REBOOT, &time, &spread), 0);
  EXPECT_EQ(time, 7);  // untouched for a feature without the keys
}

TEST_F(SchedulerTest, RepeatCountsFromTheHandOver) {
  auto config = config_from(
      "FEATURE_REPORT_AUTO_REPEAT=1\nFEATURE_REPORT_AUTO_REPEAT_INTERVAL=3600\n"
      "FEATURE_REPORT_AUTO_REPEAT_DELTA=600\nFEATURE_GPSDATA_AUTO_REPEAT=1\n"
      "FEATURE_GPSDATA_AUTO_REPEAT_INTERVAL=0\n");
  for (unsigned seed = 1; seed <= 100; ++seed) {
    srand(seed);
    schedule[FEATURE_ID_REPORT] = 5;
    __udp_client_update_schedule(FEATURE_ID_REPORT, config.get(), schedule);
    EXPECT_GE(schedule[FEATURE_ID_REPORT], kNow + 3600);
    EXPECT_LE(schedule[FEATURE_ID_REPORT], kNow + 4199);
  }
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
    int32_t entries[FEATURE_ID_COUNT];
    int found;
    uint32_t id;
    int32_t time;
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
    int32_t time = 77;
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
  EXPECT_STREQ(trigger.file, "/tmp/syncConfig.now");

  auto two = config_from("FEATURE_CONFIG_TRIGGER_SUPPORT=2\nFEATURE_CONFIG_TRIGGER_FILE=/tmp/a\n");
  __udp_client_get_config_trigger(two.get(), &trigger);
  EXPECT_EQ(trigger.enabled, 2);
  EXPECT_STREQ(trigger.file, "/tmp/a");

  // Previous file kept when the key goes; a long name is cut to 64 characters.
  const std::string long_name = "/tmp/" + std::string(70, 'g');
  auto gps = config_from("FEATURE_GPSDATA_TRIGGER_SUPPORT=1\nFEATURE_GPSDATA_TRIGGER_FILE=" + long_name + "\n");
  feature_trigger gps_trigger;
  __udp_client_get_gps_trigger(gps.get(), &gps_trigger);
  EXPECT_EQ(gps_trigger.enabled, 1);
  EXPECT_EQ(std::string(gps_trigger.file), long_name.substr(0, 64));
  __udp_client_get_gps_trigger(none.get(), &gps_trigger);
  EXPECT_EQ(std::string(gps_trigger.file), long_name.substr(0, 64));
}

}  // namespace
