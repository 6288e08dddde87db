// Server message handlers: what each request posts or starts, and the result
// the channel turns into the reply.
#include "daemon/handlers.h"

#include "tests/features/feature_harness.h"

namespace {

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
    if (c.busy_before) state_->feature_worker.post(8);
    EXPECT_EQ(__udp_client_feature_invitation_handler(state_.get(), c.mask), c.result);
    EXPECT_EQ(std::make_pair(uint32_t{state_->feature_worker.busy()}, state_->feature_worker.request()),
              std::make_pair(c.busy, c.request));
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
  EXPECT_EQ(std::make_pair(s->feature_worker.busy(), s->feature_worker.request()), std::make_pair(true, 5u));
  EXPECT_EQ(log("info"), (Strings{"Recv REBOOT", "Recv Action Request", "Action Is Not supported",
                                  "Recv Debug Dump Request", "Debug Dump Is Not supported"}));
  // A second action or dump waits until the loop has joined the first thread.
  configure("FEATURE_REMOTE_ACTION_SUPPORT=1\nFEATURE_DEBUG_DUMP_SUPPORT=1\nFEATURE_REMOTE_ACTION_CMD=c\n");
  EXPECT_EQ(__udp_client_action_handler(s, 5, 0, nullptr) + __udp_client_debug_dump_handler(s), 0);
  ASSERT_TRUE(vt_test::wait_until([&] { return s->action_worker.finished() && s->debug_dump_worker.finished(); }));
  EXPECT_EQ(__udp_client_action_handler(s, 6, 0, nullptr) + __udp_client_debug_dump_handler(s), 2);
  EXPECT_EQ(s->action_request_id + s->action_worker.finished() + s->debug_dump_worker.finished(), 7u);
  // Once stopping, or without a context, every request is refused.
  s->stopping = 1, s->feature_worker.finish();
  sandbox_->remove("daemon.log");
  for (daemon_state* context : {s, static_cast<daemon_state*>(nullptr)}) {
    EXPECT_EQ(__udp_client_feature_invitation_handler(context, 0x2) + __udp_client_reboot_handler(context) +
                  __udp_client_action_handler(context, 1, 0, nullptr) + __udp_client_debug_dump_handler(context),
              4);
  }
  EXPECT_EQ(log("info"), (Strings{"Recv Feature Invitation: 0x00000002", "Recv REBOOT", "Recv Action Request",
                                  "Recv Debug Dump Request"}));  // without a context there is nowhere to log
}

TEST_F(HandlersTest, ActionLineQuotesEveryArgumentAsOneWord) {
  const std::string full(sizeof(vantor_udp_client_action_entry::text), 'f');
  const struct { const char* command; Strings args; std::string line; } cases[] = {
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

}  // namespace
