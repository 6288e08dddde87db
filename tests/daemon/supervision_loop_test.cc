// One pass of the supervision loop: hand-over of due work, the clock set
// back, reaping finished threads, the debug-mode line, the stop, and the
// trigger and interface update files.
#include "daemon/supervision_loop.h"

#include "features/scheduler.h"
#include "tests/features/feature_harness.h"

namespace {

class SupervisionTest : public FeatureHarness {
 protected:
  void SetUp() override {
    FeatureHarness::SetUp();
    settings = daemon_settings();  // its default files in this sandbox
    vars = {};
  }
  int pass() { return __udp_client_supervision_pass(state_.get(), &settings, &vars); }

  daemon_settings settings;
  supervision_vars vars = {};
};

// Due entries are handed over and rescheduled; a busy worker leaves them due;
// an unsupported one is dropped, so that it blocks no other; a clock set back
// makes every planned entry due at once.
TEST_F(SupervisionTest, DueFeatureIsPostedBusyOneStaysDueUnsupportedOneDroppedAndClockSetBackMakesAllDue) {
  configure("FEATURE_CONFIG_SUPPORT=1\nFEATURE_GPSDATA_SUPPORT=1\nFEATURE_REPORT_SUPPORT=1\n"
            "FEATURE_REPORT_AUTO_REPEAT=1\nFEATURE_REPORT_AUTO_REPEAT_INTERVAL=600\n");
  state_->schedule[FEATURE_ID_FIRMWARE] = kStart - 10;  // not supported
  state_->schedule[FEATURE_ID_CONFIG] = state_->schedule[FEATURE_ID_GPS] = kStart;
  EXPECT_EQ(pass(), 0);
  EXPECT_TRUE(state_->report_worker.busy());  // a report entry of zero is due at once
  EXPECT_EQ(state_->schedule[FEATURE_ID_REPORT], kStart + 600);
  EXPECT_EQ(std::make_pair(state_->schedule[FEATURE_ID_FIRMWARE], state_->feature_worker.busy()), std::make_pair(time_t{0}, false));
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(std::make_pair(state_->feature_worker.busy(), state_->feature_worker.request()), std::make_pair(true, 0u));
  EXPECT_EQ(state_->schedule[FEATURE_ID_CONFIG], 0);  // no repeat configured
  fake_clock += 700;
  EXPECT_EQ(pass(), 0);  // busy workers: no second request, the entries stay due
  EXPECT_EQ(state_->schedule[FEATURE_ID_GPS], kStart);
  EXPECT_EQ(state_->schedule[FEATURE_ID_REPORT], kStart + 600);
  state_->feature_worker.finish();
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(std::make_pair(state_->feature_worker.request(), state_->schedule[FEATURE_ID_GPS]), std::make_pair(8u, time_t{0}));
  // Both workers busy now: the entries stay as the clock rule leaves them.
  const time_t planned[FEATURE_ID_COUNT] = {1700003600, 1700007200, 0, 1800000000, 0, 0, 0, 0, 5};
  std::copy(std::begin(planned), std::end(planned), state_->schedule);
  fake_clock -= 3600;
  EXPECT_EQ(pass(), 0);
  for (uint32_t id = 0; id < FEATURE_ID_COUNT; ++id) EXPECT_EQ(state_->schedule[id], planned[id] ? fake_clock.load() : 0) << id;
  EXPECT_EQ(vars.last_tick, fake_clock.load());
}

TEST_F(SupervisionTest, FinishedThreadsAreJoinedAndAnnouncedOnceAndDebugModeChangesAnnounced) {
  for (worker* w : {&state_->action_worker, &state_->debug_dump_worker}) w->start([](void*) -> void* { return nullptr; }, nullptr);
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(log(), Strings{});  // not finished yet: left running
  state_->action_worker.set_finished(), state_->debug_dump_worker.set_finished();
  debug_mode = 1;
  EXPECT_EQ(pass() + pass(), 0);
  EXPECT_FALSE(state_->action_worker.finished() || state_->debug_dump_worker.finished());
  debug_mode = 0;
  pass();
  EXPECT_EQ(log("info"), (Strings{"Action finish", "Debug dump finish", "Debug mode ON", "Debug mode OFF"}));
}

TEST_F(SupervisionTest, StopOrRequestToLeaveEndsThePassBeforeTheEventLogAndTheFiles) {
  write("/tmp/interface.update", "");
  event_log_requested = stop_requested = 1;
  EXPECT_EQ(pass(), 1);
  stop_requested = 0, exit_after_stop = 1;
  EXPECT_EQ(pass(), 1);
  EXPECT_EQ(event_log_requested.load(), 1);
  EXPECT_TRUE(exists("/tmp/interface.update"));
  exit_after_stop = event_log_requested = 0;
  EXPECT_EQ(pass(), 0);
  EXPECT_FALSE(exists("/tmp/interface.update"));  // consumed
  EXPECT_EQ(log("info"), (Strings{"Interface update"}));
}

// The trigger records as the cycle reads them (an unset file key leaves the
// default), then a pass: each trigger makes its feature due.
TEST_F(SupervisionTest, TriggerFilesMakeTheirFeatureDue) {
  const struct {
    int config_enabled, gps_enabled; const char *gps_file, *created; bool config_due, gps_due;
  } cases[] = {
      {1, 1, "/tmp/gps", "/tmp/syncConfig.now", true, false},
      {1, 2, "/tmp/gps", "/tmp/gps", false, true},
      // One shared file: the config trigger deletes it before the GPS trigger looks.
      {1, 1, nullptr, "/tmp/syncConfig.now", true, false},
      {0, 1, nullptr, "/tmp/syncConfig.now", false, true},
      {0, 0, "/tmp/gps", "/tmp/syncConfig.now", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.created);
    restart();
    state_->feature_worker.post(0);  // the worker is busy: the entry stays due
    configure("FEATURE_CONFIG_TRIGGER_SUPPORT=" + std::to_string(c.config_enabled) +
              "\nFEATURE_GPSDATA_TRIGGER_SUPPORT=" + std::to_string(c.gps_enabled) +
              (c.gps_file ? "\nFEATURE_GPSDATA_TRIGGER_FILE=" + path(c.gps_file) : "") + "\n");
    __udp_client_get_config_trigger(config_.get(), &settings.config_trigger);
    __udp_client_get_gps_trigger(config_.get(), &settings.gps_trigger);
    write(c.created, "");
    EXPECT_EQ(pass(), 0);
    EXPECT_EQ(std::make_pair(state_->schedule[FEATURE_ID_CONFIG] != 0, state_->schedule[FEATURE_ID_GPS] != 0),
              std::make_pair(c.config_due, c.gps_due));
    EXPECT_EQ(exists(c.created), !c.config_enabled && !c.gps_enabled);
    EXPECT_EQ(log("info"), c.config_due ? Strings{"Trigger config sync"}
                           : c.gps_due  ? Strings{"Trigger GPS submission"} : Strings{});
  }
  configure("FEATURE_GPSDATA_TRIGGER_FILE=/tmp/" + std::string(70, 'g') + "\n");  // a longer name is cut
  __udp_client_get_gps_trigger(config_.get(), &settings.gps_trigger);
  EXPECT_EQ(std::string(settings.gps_trigger.file), "/tmp/" + std::string(59, 'g'));
}

}  // namespace
