// One pass of the supervision loop: hand-over of due work, the clock set
// back, reaping finished threads, the debug-mode line, the stop, and the
// trigger and interface update files.
#include "daemon/supervision_loop.h"

#include <gtest/gtest.h>

#include <thread>

#include "daemon_fixture.h"
#include "platform/clock.h"

namespace {

using Strings = std::vector<std::string>;

time_t g_now = 1700000000;
time_t test_clock() { return g_now; }

class SupervisionTest : public vt_test::DaemonStateTest {
 protected:
  void SetUp() override {
    DaemonStateTest::SetUp();
    g_now = 1700000000;
    vt_set_clock(test_clock);
    vars.last_tick = g_now;
    configure("NOTHING=1\n");
    state->report_busy = 1;  // keeps the report path out of the way
  }
  void TearDown() override {
    vt_set_clock(nullptr);
    stop_requested = exit_after_stop = event_log_requested = debug_mode = 0;
    DaemonStateTest::TearDown();
  }
  int pass() { return __udp_client_supervision_pass(state.get(), &settings, &vars); }
  time_t now() const { return g_now; }

  daemon_settings settings;
  supervision_vars vars = {};
};

TEST_F(SupervisionTest, ClockSetBackMakesEveryScheduledEntryDue) {
  configure("FEATURE_CONFIG_SUPPORT=1\nFEATURE_FIRMWARE_SUPPORT=1\nFEATURE_GPSDATA_SUPPORT=1\n");
  state->feature_busy = 1;  // a busy worker: the entries stay as the clock rule left them
  const time_t planned[FEATURE_ID_COUNT] = {1700003600, 1700007200, 0, 1800000000, 0, 0, 0, 0, 5};
  std::copy(std::begin(planned), std::end(planned), state->schedule);
  g_now -= 3600;
  EXPECT_EQ(pass(), 0);
  for (uint32_t id = 0; id < FEATURE_ID_COUNT; ++id) EXPECT_EQ(state->schedule[id], planned[id] ? now() : 0) << id;
  EXPECT_EQ(vars.last_tick, now());
}

TEST_F(SupervisionTest, ReportEntryOfZeroIsDueAtOnce) {
  configure("FEATURE_REPORT_SUPPORT=1\nFEATURE_REPORT_AUTO_REPEAT=1\nFEATURE_REPORT_AUTO_REPEAT_INTERVAL=600\n");
  state->report_busy = 0;
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(state->report_busy, 1u);
  EXPECT_EQ(state->schedule[FEATURE_ID_REPORT], now() + 600);
  // Busy worker: no second request, the schedule stays.
  g_now += 700;
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(state->schedule[FEATURE_ID_REPORT], now() - 100);
}

TEST_F(SupervisionTest, DueFeatureIsPostedAndRescheduledBusyOneStaysDue) {
  configure("FEATURE_CONFIG_SUPPORT=1\nFEATURE_GPSDATA_SUPPORT=1\n");
  state->schedule[FEATURE_ID_CONFIG] = state->schedule[FEATURE_ID_GPS] = now();
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(state->feature_busy, 1u);
  EXPECT_EQ(state->feature_request, 0u);  // ties go to the lower id
  EXPECT_EQ(state->schedule[FEATURE_ID_CONFIG], 0);  // no repeat configured
  const time_t gps_due = now();
  g_now += 1;
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(state->schedule[FEATURE_ID_GPS], gps_due);  // busy: still due
  state->feature_busy = 0;
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(state->feature_request, 8u);
  EXPECT_EQ(state->schedule[FEATURE_ID_GPS], 0);
}

TEST_F(SupervisionTest, UnsupportedDueFeatureNoLongerBlocksTheOthers) {
  configure("FEATURE_CONFIG_SUPPORT=1\nFEATURE_GPSDATA_SUPPORT=0\n");
  state->schedule[FEATURE_ID_GPS] = now() - 10;
  state->schedule[FEATURE_ID_CONFIG] = now();
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(state->schedule[FEATURE_ID_GPS], 0);
  EXPECT_EQ(state->feature_busy, 0u);
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(state->feature_busy, 1u);
  EXPECT_EQ(state->feature_request, 0u);
}

TEST_F(SupervisionTest, FinishedThreadsAreJoinedAndAnnouncedOnceAndDebugModeChangesAnnounced) {
  state->action_thread = std::thread([] {});
  state->debug_dump_thread = std::thread([] {});
  EXPECT_EQ(pass(), 0);
  EXPECT_TRUE(state->action_thread.joinable());  // not done yet: left running
  state->action_done = 1;
  state->debug_dump_done = 1;
  debug_mode = 1;
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(pass(), 0);
  EXPECT_FALSE(state->action_thread.joinable());
  EXPECT_FALSE(state->debug_dump_thread.joinable());
  EXPECT_EQ(state->action_done, 0u);
  debug_mode = 0;
  pass();
  debug_mode = 1;  // toggled twice between passes: nothing to announce
  debug_mode = 0;
  pass();
  EXPECT_EQ(log_messages(), (Strings{"Action finish", "Debug dump finish", "Debug mode ON", "Debug mode OFF"}));
}

TEST_F(SupervisionTest, StopOrRequestToLeaveEndsThePassBeforeTheEventLogAndTheFiles) {
  settings.interface_update_file = sandbox.path("/tmp/interface.update");
  sandbox.write_file("/tmp/interface.update", "");
  event_log_requested = 1;
  stop_requested = 1;
  EXPECT_EQ(pass(), 1);
  stop_requested = 0;
  exit_after_stop = 1;
  EXPECT_EQ(pass(), 1);
  EXPECT_EQ(event_log_requested.load(), 1);
  EXPECT_TRUE(sandbox.exists("/tmp/interface.update"));
  exit_after_stop = event_log_requested = 0;
  EXPECT_EQ(pass(), 0);
  EXPECT_FALSE(sandbox.exists("/tmp/interface.update"));  // consumed
  EXPECT_EQ(log_messages(), (Strings{"Interface update"}));
}

TEST_F(SupervisionTest, TriggerFilesMakeTheirFeatureDue) {
  const struct {
    int config_enabled, gps_enabled;
    const char *gps_file, *created;
    bool config_due, gps_due;
  } cases[] = {
      {1, 1, "/tmp/gps", "/tmp/syncConfig.now", true, false},
      {1, 1, "/tmp/gps", "/tmp/gps", false, true},
      // One shared file: the config trigger deletes it before the GPS trigger looks.
      {1, 1, "/tmp/syncConfig.now", "/tmp/syncConfig.now", true, false},
      {0, 1, "/tmp/syncConfig.now", "/tmp/syncConfig.now", false, true},
      {0, 0, "/tmp/gps", "/tmp/syncConfig.now", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.created);
    sandbox.remove("/tmp/test.log");
    std::fill(std::begin(state->schedule), std::end(state->schedule), 0);
    state->feature_busy = 1;  // the worker is busy: the entry stays due
    settings.config_trigger.enabled = c.config_enabled;
    settings.gps_trigger.enabled = c.gps_enabled;
    strcpy(settings.gps_trigger.file, sandbox.path(c.gps_file).c_str());
    sandbox.write_file(c.created, "");
    EXPECT_EQ(pass(), 0);
    EXPECT_EQ(state->schedule[FEATURE_ID_CONFIG] != 0, c.config_due);
    EXPECT_EQ(state->schedule[FEATURE_ID_GPS] != 0, c.gps_due);
    EXPECT_EQ(sandbox.exists(c.created), !c.config_enabled && !c.gps_enabled);
    Strings lines;
    if (c.config_due) lines.push_back("Trigger config sync");
    if (c.gps_due) lines.push_back("Trigger GPS submission");
    EXPECT_EQ(log_messages(), lines);
    sandbox.remove(c.created);
  }
}

}  // namespace
