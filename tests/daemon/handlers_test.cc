// Server message handlers: what each request posts or starts, and the result
// the channel turns into the reply.
#include "daemon/handlers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <thread>

#include "daemon_fixture.h"

namespace {

using vt_test::DaemonStateTest;
using Strings = std::vector<std::string>;

class HandlersTest : public DaemonStateTest {};

TEST_F(HandlersTest, InvitationPostsTheLowestMeaningfulBitOnly) {
  const struct {
    const char* config;
    uint32_t busy_before, mask;
    int result;
    uint32_t busy, request;
    Strings lines;
  } cases[] = {
      {"FEATURE_FIRMWARE_SUPPORT=1\nFEATURE_CONFIG_SUPPORT=1\n", 0, 0x3, 0, 1, 3,
       {"info Recv Feature Invitation: 0x00000003"}},
      {"FEATURE_CONFIG_SUPPORT=1\n", 0, 0x3, 2, 0, 0,
       {"info Recv Feature Invitation: 0x00000003", "notice Firmware Invitation IGNORE"}},
      {"FEATURE_CONFIG_SUPPORT=1\n", 0, 0x2, 0, 1, 0, {"info Recv Feature Invitation: 0x00000002"}},
      {"FEATURE_UPISPD_SUPPORT=1\n", 0, 0x4, 0, 1, 4, {"info Recv Feature Invitation: 0x00000004"}},
      {"FEATURE_CONFIG_SUPPORT=0\n", 0, 0x6, 2, 0, 0,
       {"info Recv Feature Invitation: 0x00000006", "notice Config invitation IGNORE"}},
      // A busy worker: the running feature is left alone.
      {"FEATURE_UPISPD_SUPPORT=1\n", 1, 0x4, 2, 1, 8,
       {"info Recv Feature Invitation: 0x00000004", "notice Extension invitation IGNORE"}},
      {"FEATURE_CONFIG_SUPPORT=1\n", 0, 0x8, 1, 0, 0, {"info Recv Feature Invitation: 0x00000008"}},
      {"FEATURE_CONFIG_SUPPORT=1\n", 0, 0x0, 1, 0, 0, {"info Recv Feature Invitation: 0x00000000"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mask);
    sandbox.remove("/tmp/test.log");
    configure(c.config);
    state->feature_busy = c.busy_before;
    state->feature_request = c.busy_before ? 8 : 0;
    EXPECT_EQ(__udp_client_feature_invitation_handler(state.get(), c.mask), c.result);
    EXPECT_EQ(state->feature_busy, c.busy);
    EXPECT_EQ(state->feature_request, c.request);
    EXPECT_EQ(log_messages(true), c.lines);
  }
}

TEST_F(HandlersTest, RequestsAreRefusedWhenUnsupportedBusyOrStopping) {
  // Reboot goes to the worker: busy or unsupported is "no reply", without a line of its own.
  configure("FEATURE_REBOOT_SUPPORT=1\nFEATURE_REMOTE_ACTION_SUPPORT=0\n");
  state->feature_busy = 1;
  EXPECT_EQ(__udp_client_reboot_handler(state.get()), 2);
  state->feature_busy = 0;
  EXPECT_EQ(__udp_client_reboot_handler(state.get()), 0);
  EXPECT_EQ(state->feature_request, 5u);
  state->feature_busy = 0;
  configure("FEATURE_REBOOT_SUPPORT=yes\n");
  EXPECT_EQ(__udp_client_reboot_handler(state.get()), 2);
  EXPECT_EQ(__udp_client_action_handler(state.get(), 9, 0, nullptr) + __udp_client_debug_dump_handler(state.get()), 2);
  EXPECT_EQ(log_messages(), (Strings{"Recv REBOOT", "Recv REBOOT", "Recv REBOOT", "Recv Action Request",
                                     "Action Is Not supported", "Recv Debug Dump Request", "Debug Dump Is Not supported"}));
  // A second action or dump waits until the first thread is joined; threads
  // that stay until released stand in for ones not joined yet.
  configure("FEATURE_REMOTE_ACTION_SUPPORT=1\nFEATURE_DEBUG_DUMP_SUPPORT=1\nFEATURE_REMOTE_ACTION_CMD=c\n"
            "FEATURE_CONFIG_SUPPORT=1\nFEATURE_REBOOT_SUPPORT=1\n");
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  state->action_thread = std::thread([released] { released.wait(); });
  state->action_done = 1;  // finished, but the loop has not joined it yet
  state->debug_dump_thread = std::thread([released] { released.wait(); });
  std::strcpy(state->action_buffer, "untouched");
  EXPECT_EQ(__udp_client_action_handler(state.get(), 5, 0, nullptr) + __udp_client_debug_dump_handler(state.get()), 2);
  EXPECT_STREQ(state->action_buffer, "untouched");
  EXPECT_EQ(state->action_done, 1u);
  release.set_value();
  // Once stopping, or without a context, every request is refused.
  state->stopping = 1;
  sandbox.remove("/tmp/test.log");
  for (daemon_state* context : {state.get(), static_cast<daemon_state*>(nullptr)}) {
    EXPECT_EQ(__udp_client_feature_invitation_handler(context, 0x2), 1);
    EXPECT_EQ(__udp_client_reboot_handler(context), 1);
    EXPECT_EQ(__udp_client_action_handler(context, 1, 0, nullptr), 1);
    EXPECT_EQ(__udp_client_debug_dump_handler(context), 1);
  }
  EXPECT_EQ(state->feature_busy, 0u);
  EXPECT_EQ(log_messages(), (Strings{"Recv Feature Invitation: 0x00000002", "Recv REBOOT", "Recv Action Request",
                                     "Recv Debug Dump Request"}));  // without a context there is nowhere to log
}

TEST_F(HandlersTest, ActionLineQuotesEveryArgumentAsOneWord) {
  const std::string full(sizeof(vantor_udp_client_action_entry::text), 'f');
  const struct {
    const char* command;
    Strings args;
    std::string line;
  } cases[] = {
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
    EXPECT_EQ(__udp_client_build_action_line(state->config, static_cast<int>(records.size()), records.data()),
              c.line);
  }
}

TEST_F(HandlersTest, StatisticsLinesAndTheTurnaroundOnlyAfterAReply) {
  vantor_udp_client_statistics s = {};
  s.peer_recv = 3;
  s.peer_send = 4;
  s.local_send = 10;
  s.header_errors = 1;
  s.decrypt_errors = 2;
  s.seq_errors = 0xFFFFFFFF;  // the total wraps modulo 2^32
  s.turnaround_min = 0xFFFFFFFF;
  EXPECT_EQ(__udp_client_statistic_handler(state.get(), &s), 0);
  s.local_recv = 4;
  s.turnaround_total = 90;
  s.turnaround_max = 40;
  s.turnaround_min = 5;
  EXPECT_EQ(__udp_client_statistic_handler(state.get(), &s), 0);
  EXPECT_EQ(__udp_client_statistic_handler(state.get(), nullptr), 0);
  const Strings lines = log_messages();
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(Strings(lines.begin(), lines.begin() + 4),
            (Strings{"UDP Client App statistic", "\tPeer recv:        3\t send:       4",
                     "\tLocal recv:       0\t send:      10",
                     "\tHeader err:       1\t Decrypt err:       2\t Seq err: 4294967295\t (Total       2)"}));
  EXPECT_EQ(lines[8], "\tTurnaround time(msec): Average = 22\t Max = 40\t Min = 5");
}

}  // namespace
