// The daemon's own rules in-process: the server message handlers, feature
// scheduling, and one pass of the supervision loop.
#include <cstring>

#include "daemon/handlers.h"
#include "daemon/scheduler.h"
#include "daemon/supervision_loop.h"
#include "tests/features/feature_harness.h"

namespace {

constexpr time_t kNow = 1700000000;  // the harness's clock

using HandlersTest = FeatureHarness;

TEST_F(HandlersTest, InvitationPostsTheLowestMeaningfulBitOnly) {
  const struct {
    const char* config; uint32_t busy_before, mask; int result; uint32_t busy, request;
    const char* ignored;  // the notice line, if any
  } cases[] = {
      {"FEATURE_FIRMWARE_SUPPORT=1\nFEATURE_CONFIG_SUPPORT=1\n", 0, 0x3, 0, 1, 3, nullptr},
      {"FEATURE_CONFIG_SUPPORT=1\n", 0, 0x3, 2, 0, 0, "Firmware Invitation IGNORE"},
      {"FEATURE_CONFIG_SUPPORT=1\n", 0, 0x2, 0, 1, 0, nullptr},
      {"FEATURE_UPISPD_SUPPORT=1\n", 0, 0x4, 0, 1, 4, nullptr},
      {"FEATURE_CONFIG_SUPPORT=0\n", 0, 0x6, 2, 0, 0, "Config invitation IGNORE"},
      {"FEATURE_UPISPD_SUPPORT=1\n", 1, 0x4, 2, 1, 8, "Extension invitation IGNORE"},  // the running one stays
      {"FEATURE_CONFIG_SUPPORT=1\n", 0, 0x8, 1, 0, 0, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mask);
    restart();
    configure(c.config);
    state_->feature_busy = c.busy_before;
    state_->feature_request = c.busy_before ? 8 : 0;
    EXPECT_EQ(__udp_client_feature_invitation_handler(state_.get(), c.mask), c.result);
    EXPECT_EQ(std::make_pair(state_->feature_busy, state_->feature_request), std::make_pair(c.busy, c.request));
    Strings lines = {"info Recv Feature Invitation: 0x0000000" + std::to_string(c.mask)};
    if (c.ignored) lines.push_back(std::string("notice ") + c.ignored);
    EXPECT_EQ(log(), lines);
  }
}

TEST_F(HandlersTest, RequestsAreRefusedWhenUnsupportedBusyOrStopping) {
  daemon_state* s = state_.get();
  // Reboot goes to the worker as the invitations do; unsupported actions and dumps are refused.
  configure("FEATURE_REBOOT_SUPPORT=1\n");
  EXPECT_EQ(__udp_client_reboot_handler(s) + __udp_client_action_handler(s, 9, 0, nullptr) +
                __udp_client_debug_dump_handler(s), 2);
  EXPECT_EQ(std::make_pair(s->feature_busy, s->feature_request), std::make_pair(1u, 5u));
  EXPECT_EQ(log("info"), (Strings{"Recv REBOOT", "Recv Action Request", "Action Is Not supported",
                                  "Recv Debug Dump Request", "Debug Dump Is Not supported"}));
  // A second action or dump waits until the loop has joined the first thread.
  configure("FEATURE_REMOTE_ACTION_SUPPORT=1\nFEATURE_DEBUG_DUMP_SUPPORT=1\nFEATURE_REMOTE_ACTION_CMD=c\n");
  EXPECT_EQ(__udp_client_action_handler(s, 5, 0, nullptr) + __udp_client_debug_dump_handler(s), 0);
  ASSERT_TRUE(vt_test::wait_until([&] { return s->action_done && s->debug_dump_done; }));
  EXPECT_EQ(__udp_client_action_handler(s, 6, 0, nullptr) + __udp_client_debug_dump_handler(s), 2);
  EXPECT_EQ(s->action_request_id + s->action_done + s->debug_dump_done, 7u);
  // Once stopping, or without a context, every request is refused.
  s->stopping = 1, s->feature_busy = 0;
  sandbox_->remove("daemon.log");
  for (daemon_state* context : {s, static_cast<daemon_state*>(nullptr)}) {
    EXPECT_EQ(__udp_client_feature_invitation_handler(context, 0x2) + __udp_client_reboot_handler(context) +
                  __udp_client_action_handler(context, 1, 0, nullptr) + __udp_client_debug_dump_handler(context),
              4);
  }
  EXPECT_EQ(s->feature_busy, 0u);
  EXPECT_EQ(log("info"), (Strings{"Recv Feature Invitation: 0x00000002", "Recv REBOOT", "Recv Action Request",
                                  "Recv Debug Dump Request"}));  // without a context there is nowhere to log
}

TEST_F(HandlersTest, ActionLineQuotesEveryArgumentAsOneWord) {
  const std::string full(sizeof(vantor_udp_client_action_entry::text), 'f');
  const struct { const char* command; Strings args; std::string line; } cases[] = {
      {"c", {}, "c"},
      {"", {"x"}, " 'x'"},
      {"echo", {"", "it's; rm -rf /", "$(id)", "`id`"}, "echo '' 'it'\\''s; rm -rf /' '$(id)' '`id`'"},
      {"echo", {full}, "echo '" + full + "'"},  // a full field without NUL ends with the field
  };
  for (const auto& c : cases) {
    configure(std::string("FEATURE_REMOTE_ACTION_CMD=") + c.command + "\n");
    std::vector<vantor_udp_client_action_entry> records(c.args.size());
    for (size_t i = 0; i < c.args.size(); ++i) {
      records[i] = {};
      records[i].length = static_cast<int32_t>(c.args[i].size());
      std::memcpy(records[i].text, c.args[i].data(), c.args[i].size());
    }
    EXPECT_EQ(__udp_client_build_action_line(config_.get(), static_cast<int>(records.size()), records.data()), c.line);
  }
}

TEST_F(HandlersTest, StatisticsLinesAndTheTurnaroundOnlyAfterAReply) {
  vantor_udp_client_statistics s = {};
  s.peer_recv = 3, s.peer_send = 4, s.local_send = 10, s.header_errors = 1, s.decrypt_errors = 2;
  s.seq_errors = 0xFFFFFFFF;  // the total wraps modulo 2^32
  s.turnaround_min = 0xFFFFFFFF;
  EXPECT_EQ(__udp_client_statistic_handler(state_.get(), &s), 0);
  s.local_recv = 4, s.turnaround_total = 90, s.turnaround_max = 40, s.turnaround_min = 5;
  EXPECT_EQ(__udp_client_statistic_handler(state_.get(), &s) + __udp_client_statistic_handler(state_.get(), nullptr), 0);
  const Strings lines = log("info");
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(Strings(lines.begin(), lines.begin() + 4),
            (Strings{"UDP Client App statistic", "\tPeer recv:        3\t send:       4",
                     "\tLocal recv:       0\t send:      10",
                     "\tHeader err:       1\t Decrypt err:       2\t Seq err: 4294967295\t (Total       2)"}));
  EXPECT_EQ(lines[8], "\tTurnaround time(msec): Average = 22\t Max = 40\t Min = 5");
}

using SchedulerTest = FeatureHarness;

TEST_F(SchedulerTest, SupportNeedsExactlyTheTextOne) {
  const std::pair<const char*, int> cases[] = {{"1", 1}, {"01", 0}, {"1 ", 0}, {"yes", 0}, {"0", 0}, {"", 0}};
  for (const auto& [value, supported] : cases) {
    configure(std::string("FEATURE_CONFIG_SUPPORT=") + value + "\nFEATURE_GPSDATA_SUPPORT=1\n");
    EXPECT_EQ(__udp_client_feature_support(config_.get(), FEATURE_ID_CONFIG), supported) << "'" << value << "'";
    EXPECT_EQ(__udp_client_feature_support(config_.get(), FEATURE_ID_GPS), 1);
    EXPECT_EQ(__udp_client_feature_support(config_.get(), 9), 0);
  }
}

TEST_F(SchedulerTest, StartAndRepeatTimesAddTheWrappedSpread) {
  srand(7);
  const uint32_t r = static_cast<uint32_t>(rand());  // the first draw after seeding with 7
  const std::string on = "FEATURE_CONFIG_SUPPORT=1\nFEATURE_CONFIG_AUTO_START_TIME=60\nFEATURE_CONFIG_AUTO_START=";
  const struct {
    std::string config; uint32_t id; bool repeat;
    time_t entry;  // 5: left alone
  } cases[] = {
      {on + "1\nFEATURE_CONFIG_AUTO_START_DELTA=30\n", FEATURE_ID_CONFIG, false, kNow + 60 + (r * 100u) % 30u},
      {on + "1\n", FEATURE_ID_CONFIG, false, kNow + 60},  // no spread, no division by it
      {on + "yes\n", FEATURE_ID_CONFIG, false, 5},
      {"FEATURE_CONFIG_SUPPORT=0\nFEATURE_CONFIG_AUTO_START=1\nFEATURE_CONFIG_AUTO_START_TIME=5\n", 0, false, 5},
      // Reboot, remote action and debug dump have no automatic start at all.
      {"FEATURE_REBOOT_SUPPORT=1\nFEATURE_REBOOT_AUTO_START=1\nFEATURE_REBOOT_AUTO_START_TIME=5\n", 5, false, 5},
      // A repeat counts from the hand-over; interval 0 is due again on the next pass.
      {"FEATURE_REPORT_AUTO_REPEAT=1\nFEATURE_REPORT_AUTO_REPEAT_INTERVAL=3600\nFEATURE_REPORT_AUTO_REPEAT_DELTA=600\n",
       FEATURE_ID_REPORT, true, kNow + 3600 + (r * 100u) % 600u},
      {"FEATURE_GPSDATA_AUTO_REPEAT=1\nFEATURE_GPSDATA_AUTO_REPEAT_INTERVAL=0\n", FEATURE_ID_GPS, true, kNow},
      {"FEATURE_CONFIG_AUTO_REPEAT=0\n", FEATURE_ID_CONFIG, true, 0},  // repeat off: the entry is cleared
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

TEST_F(SchedulerTest, TriggerRecordsFollowTheirKeysAndLongNamesAreCut) {
  feature_trigger trigger;
  strcpy(trigger.file, "/tmp/syncConfig.now");
  trigger.enabled = 5;
  __udp_client_get_config_trigger(config_.get(), &trigger);
  EXPECT_EQ(trigger.enabled, 0);
  EXPECT_STREQ(trigger.file, "/tmp/syncConfig.now");  // the previous file stays
  const std::string long_name = "/tmp/" + std::string(70, 'g');
  configure("FEATURE_GPSDATA_TRIGGER_SUPPORT=2\nFEATURE_GPSDATA_TRIGGER_FILE=" + long_name + "\n");
  __udp_client_get_gps_trigger(config_.get(), &trigger);
  EXPECT_EQ(trigger.enabled, 2);
  EXPECT_EQ(std::string(trigger.file), long_name.substr(0, 64));
}

class SupervisionTest : public FeatureHarness {
 protected:
  void SetUp() override {
    FeatureHarness::SetUp();
    settings = daemon_settings();  // its default files in this sandbox
    vars = {};
    vars.last_tick = kNow;
    state_->report_busy = 1;  // keeps the report path out of the way
  }
  int pass() { return __udp_client_supervision_pass(state_.get(), &settings, &vars); }

  daemon_settings settings;
  supervision_vars vars = {};
};

TEST_F(SupervisionTest, ClockSetBackMakesEveryScheduledEntryDue) {
  configure("FEATURE_CONFIG_SUPPORT=1\nFEATURE_FIRMWARE_SUPPORT=1\nFEATURE_GPSDATA_SUPPORT=1\n");
  state_->feature_busy = 1;  // a busy worker: the entries stay as the clock rule left them
  const time_t planned[FEATURE_ID_COUNT] = {1700003600, 1700007200, 0, 1800000000, 0, 0, 0, 0, 5};
  std::copy(std::begin(planned), std::end(planned), state_->schedule);
  fake_clock -= 3600;
  EXPECT_EQ(pass(), 0);
  for (uint32_t id = 0; id < FEATURE_ID_COUNT; ++id) EXPECT_EQ(state_->schedule[id], planned[id] ? fake_clock.load() : 0) << id;
  EXPECT_EQ(vars.last_tick, fake_clock.load());
}

TEST_F(SupervisionTest, DueFeatureIsPostedAndRescheduledBusyOneStaysDue) {
  configure("FEATURE_CONFIG_SUPPORT=1\nFEATURE_GPSDATA_SUPPORT=1\nFEATURE_REPORT_SUPPORT=1\n"
            "FEATURE_REPORT_AUTO_REPEAT=1\nFEATURE_REPORT_AUTO_REPEAT_INTERVAL=600\n");
  state_->report_busy = 0;
  state_->schedule[FEATURE_ID_CONFIG] = state_->schedule[FEATURE_ID_GPS] = kNow;
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(state_->report_busy, 1u);  // a report entry of zero is due at once
  EXPECT_EQ(state_->schedule[FEATURE_ID_REPORT], kNow + 600);
  EXPECT_EQ(std::make_pair(state_->feature_busy, state_->feature_request), std::make_pair(1u, 0u));
  EXPECT_EQ(state_->schedule[FEATURE_ID_CONFIG], 0);  // no repeat configured
  fake_clock += 700;
  EXPECT_EQ(pass(), 0);  // busy workers: no second request, the entries stay due
  EXPECT_EQ(state_->schedule[FEATURE_ID_GPS], kNow);
  EXPECT_EQ(state_->schedule[FEATURE_ID_REPORT], kNow + 600);
  state_->feature_busy = 0;
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(std::make_pair(state_->feature_request, state_->schedule[FEATURE_ID_GPS]), std::make_pair(8u, time_t{0}));
}

TEST_F(SupervisionTest, UnsupportedDueFeatureNoLongerBlocksTheOthers) {
  configure("FEATURE_CONFIG_SUPPORT=1\nFEATURE_GPSDATA_SUPPORT=0\n");
  state_->schedule[FEATURE_ID_GPS] = kNow - 10;
  state_->schedule[FEATURE_ID_CONFIG] = kNow;
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(std::make_pair(state_->schedule[FEATURE_ID_GPS], state_->feature_busy), std::make_pair(time_t{0}, 0u));
  EXPECT_EQ(pass(), 0);
  EXPECT_EQ(std::make_pair(state_->feature_busy, state_->feature_request), std::make_pair(1u, 0u));
}

TEST_F(SupervisionTest, FinishedThreadsAreJoinedAndAnnouncedOnceAndDebugModeChangesAnnounced) {
  state_->action_thread = std::thread([] {}), state_->debug_dump_thread = std::thread([] {});
  EXPECT_EQ(pass(), 0);
  EXPECT_TRUE(state_->action_thread.joinable());  // not done yet: left running
  state_->action_done = state_->debug_dump_done = 1;
  debug_mode = 1;
  EXPECT_EQ(pass() + pass(), 0);
  EXPECT_FALSE(state_->action_thread.joinable() || state_->debug_dump_thread.joinable());
  EXPECT_EQ(state_->action_done, 0u);
  debug_mode = 0;
  pass();
  debug_mode = 1, debug_mode = 0;  // toggled twice between passes: nothing to announce
  pass();
  EXPECT_EQ(log("info"), (Strings{"Action finish", "Debug dump finish", "Debug mode ON", "Debug mode OFF"}));
}

TEST_F(SupervisionTest, StopOrRequestToLeaveEndsThePassBeforeTheEventLogAndTheFiles) {
  settings.interface_update_file = path("/tmp/interface.update");
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

TEST_F(SupervisionTest, TriggerFilesMakeTheirFeatureDue) {
  const struct {
    int config_enabled, gps_enabled; const char *gps_file, *created; bool config_due, gps_due;
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
    restart();
    state_->feature_busy = 1;  // the worker is busy: the entry stays due
    settings.config_trigger.enabled = c.config_enabled;
    settings.gps_trigger.enabled = c.gps_enabled;
    strcpy(settings.gps_trigger.file, path(c.gps_file).c_str());
    write(c.created, "");
    EXPECT_EQ(pass(), 0);
    EXPECT_EQ(std::make_pair(state_->schedule[FEATURE_ID_CONFIG] != 0, state_->schedule[FEATURE_ID_GPS] != 0),
              std::make_pair(c.config_due, c.gps_due));
    EXPECT_EQ(exists(c.created), !c.config_enabled && !c.gps_enabled);
    EXPECT_EQ(log("info"), c.config_due ? Strings{"Trigger config sync"}
                           : c.gps_due  ? Strings{"Trigger GPS submission"} : Strings{});
  }
}

}  // namespace
