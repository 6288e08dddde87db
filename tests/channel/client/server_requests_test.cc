// The server's requests: handlers, replies, the sequence check and the two
// black lists.
#include "tests/channel/client/client_fixture.h"

namespace vt_test {
namespace {

using ServerRequestsTest = LiveClientTest;
using calls = std::vector<std::string>;

TEST_F(ServerRequestsTest, RequestsReachTheirHandlersAndAreAnsweredAsTheHandlerSays) {
  // call "": the handler must not be called; flags "": no reply is expected.
  const struct { const char *command; int handler_result; const char *call, *flags, *payload; } cases[] = {
      {"invite 2", 0, "invite 2", "0x0101", ""},
      {"invite 1", 1, "invite 1", "0x8101", ""},
      {"invite 4", 2, "invite 4", "", ""},
      {"invite 2 flags=0", 0, "invite 2", "", ""},
      {"send 1 1 000002", 0, "", "0x8101", ""},  // payload too short for a mask
      {"notice -300 -5", 0, "notice -300 -5", "0x0101", ""},
      {"reboot", 0, "reboot", "0x0101", ""},
      {"dump", 1, "dump", "0x8101", ""},
      {"action 16909060 ls -l", 0, "action 16909060 2 [2:ls] [2:-l]", "0x0101", "01020304"},
      {"action 7 abc ''", 0, "action 7 2 [3:abc] [0:]", "0x0101", "00000007"},
      {"send 1 4 0102030402", 0, "", "0x8101", "01020304"},      // count 2, no entries
      {"send 1 4 01020304017f41", 0, "", "0x8101", "01020304"},  // entry runs past the end
      {"send 1 4 0102030401ff41", 0, "", "0x8101", "01020304"},  // negative length
      {"send 1 4 01020304", 0, "", "0x8101", "01020304"},        // no count byte
      {"send 1 4 0102030400", 0, "", "0x8101", "01020304"},      // count 0
      {"send 1 9 ", 0, "", "0x8101", ""},                        // unknown type
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    handler_result = c.handler_result;
    size_t calls_before = handler_calls().size();
    SimEvent reply = reply_to(c.command);
    handler_result = 0;
    auto calls = handler_calls();
    EXPECT_EQ(calls.size() > calls_before ? calls[calls_before] : "", c.call);
    EXPECT_EQ(reply.name, *c.flags ? "recv" : "none");
    EXPECT_EQ(reply["flags"], c.flags);
    EXPECT_EQ(reply["payload"], c.payload);
    EXPECT_EQ(reply["errors"], "") << "seq, id and code are echoed";
  }
  // A request whose handler was never registered is refused.
  vantor_udp_client_set_handler(client, 6, nullptr);
  EXPECT_EQ(reply_to("reboot")["flags"], "0x8101");
}

TEST_F(ServerRequestsTest, OutOfOrderSequenceNumbersAreDroppedWithoutReply) {
  sim->command("invite 2 seq=100 id=100");
  sim->command("invite 2 seq=100 id=500");
  sim->command("invite 2 seq=99 id=501");
  sim->command("invite 2 seq=101 id=502");
  sim->wait_for(reply_to_seq("101"));  // handled in order: the three before it were judged
  EXPECT_EQ(sim->count(reply_to_seq("100")), 1u);
  EXPECT_EQ(sim->count(reply_to_seq("99")), 0u);
  EXPECT_EQ(count_log("Seq number fail {cur: 100, exp: 100}"), 1u);  // the next line is held back
  EXPECT_EQ(statistics().seq_errors, 2u);
}

TEST_F(ServerRequestsTest, AnsweredRequestRetransmittedIsBlocked) {
  SimEvent first = sim->command("invite 2");
  sim->wait_for(reply_to_seq(first["seq"]));
  advance(6);  // past the recent list's 5 seconds: only the answered list can block it
  SimEvent again = sim->command("retransmit " + first["id"]);
  EXPECT_EQ(again["id"], first["id"]);
  reply_to("notice 1 1");
  EXPECT_EQ(sim->count(reply_to_seq(again["seq"])), 0u);
  EXPECT_EQ(count_log("Message (id: " + first["id"] + ") blocked by black list"), 1u);
  EXPECT_EQ(handler_calls(), (calls{"invite 2", "notice 1 1"}));
}

TEST_F(ServerRequestsTest, UnansweredDuplicateIsPassedOnceWithinFiveSeconds) {
  handler_result = 2;  // busy: no reply, so only the recent list remembers it
  SimEvent first = sim->command("invite 4");
  ASSERT_TRUE(wait_until([] { return handler_calls().size() == 1; }));
  handler_result = 0;
  sim->command("retransmit " + first["id"]);
  reply_to("notice 1 1");
  EXPECT_EQ(handler_calls().size(), 2u) << "the duplicate was passed on";
  advance(6);
  SimEvent late = sim->command("retransmit " + first["id"]);
  EXPECT_EQ(sim->wait_for(reply_to_seq(late["seq"]))["result"], "accepted");
  EXPECT_EQ(handler_calls(), (calls{"invite 4", "notice 1 1", "invite 4"}));
}

TEST_F(ServerRequestsTest, RestartMarkIsHonouredOnlyFirstUnderAKey) {
  sim->command("invite 2");  // seq 0xFFFFFFFF, then small ids
  SimEvent second = sim->command("invite 2");
  sim->wait_for(reply_to_seq(second["seq"]));
  // Under the same key a restart of the numbering is what a replay looks like:
  // refused, and a new session asked for.
  sim->command("auth rekey");
  sim->command("reset-seq");
  SimEvent mark = sim->command("retransmit " + second["id"]);
  ASSERT_TRUE(wait_until([] { return count_log("Seq number fail {cur: 4294967295, exp: 0}") == 1; }));
  advance(10);
  ASSERT_TRUE(wait_until([] { return count_log("Reestablish success") == 1; }));
  auto restarted = event_is("recv", {{"what", "keepalive"}, {"restart", "1"}});
  ASSERT_TRUE(step_until([&] { return sim->count(restarted) == 2; }));
  // The new key starts a new numbering: the same id is answered again.
  SimEvent again = sim->command("retransmit " + second["id"]);
  EXPECT_EQ(again["seq"], "4294967295");
  EXPECT_EQ(sim->wait_for(reply_to_seq(again["seq"]), 2)["result"], "accepted");
  EXPECT_EQ(count_log("Cleanup black list by reset seq"), 2u);
  EXPECT_EQ(handler_calls(), (calls{"invite 2", "invite 2", "invite 2"}));
}

}  // namespace
}  // namespace vt_test
