// The device's own messages on the wire: sequence numbers, keepalives and
// their retransmission, GPS reports, statistics; the simulator checks every byte.
#include "tests/channel/client/client_fixture.h"

namespace vt_test {
namespace {

constexpr const char* kRestart = "4294967295";

using ConversationTest = ClientTest;

TEST_F(ConversationTest, MessagesCountFromTheRestartMarkAndKeepalivesFollowTheInterval) {
  set_test_now(0x7FFFFFF0);  // the keepalives cross 2038 (2^31 s)
  start_client(false);
  uint32_t interval = 10;
  ASSERT_EQ(vantor_udp_client_set_param(client, 5, &interval), 1);
  vantor_udp_client_run(client);
  SimEvent first = device_sent("keepalive");
  EXPECT_EQ(first["seq"] + " " + first["id"] + " " + first["flags"] + " " + first["len"],
            std::string(kRestart) + " " + kRestart + " 0x0001 82");

  vantor_udp_client_submit_gps(client, 1, 1799999990UL, 51.5, -0.1278);
  SimEvent gps = device_sent("gps");
  EXPECT_EQ(gps["seq"] + " " + gps["id"] + " " + gps["flags"], "0 0 0x0000");
  EXPECT_EQ(gps["gps"], "1799999990,51500000,-127800,1");

  for (size_t n = 2; n <= 4; ++n) {
    ASSERT_TRUE(wait_until([&] { return statistics().local_recv == n - 1; }));
    advance(10);
    SimEvent k = device_sent("keepalive", n);
    EXPECT_EQ(k["id"], k["seq"]) << "keepalive " << n << " is a new message";
  }
  // Answered keepalives are not sent again, and a GPS report goes only once.
  EXPECT_EQ(sim->count(event_is("recv", {{"what", "keepalive"}})), 4u);
  EXPECT_EQ(sim->count(event_is("recv", {{"what", "gps"}})), 1u);
  EXPECT_EQ(sim->count([](const SimEvent& e) { return e.name == "recv" && e["errors"] != ""; }), 0u);
}

TEST_F(ConversationTest, UnansweredKeepaliveIsRetransmittedWithNewSeqSameIdUntilTheNextIsDue) {
  ASSERT_EQ(sim->command("keepalives off").name, "ok");
  start_client();
  device_sent("keepalive");
  advance(10);
  SimEvent again = device_sent("keepalive", 2);
  EXPECT_EQ(again["seq"] + " " + again["id"] + " " + again["retransmission"], std::string("0 ") + kRestart + " 1");
  EXPECT_EQ(again["errors"], "");
  advance(15);  // +25: the first expires, the second keepalive goes out
  SimEvent next = device_sent("keepalive", 3);
  EXPECT_EQ(next["seq"] + " " + next["id"], "1 1");
  EXPECT_FALSE(next.has("retransmission"));
  advance(10);  // the new one's retransmission, never a third of the first
  EXPECT_EQ(device_sent("keepalive", 4)["id"], "1");
  EXPECT_EQ(sim->count(event_is("recv", {{"what", "keepalive"}, {"id", kRestart}})), 2u);
}

TEST_F(ConversationTest, StatisticsAreLoggedAtTheirInterval) {
  ASSERT_EQ(sim->command("keepalives off").name, "ok");
  start_client();
  device_sent("keepalive");
  ASSERT_TRUE(wait_until([] { return count_log("UDP Client Library statistic") == 1; }));
  time_t first_report = test_now();  // the first report came no later than this
  EXPECT_EQ(count_log("Turnaround time(msec)"), 0u) << "no reply has arrived yet";

  ASSERT_EQ(sim->command("keepalives on").name, "ok");
  set_test_now(first_report + 24);
  ASSERT_TRUE(step_until([&] { return statistics().local_recv == 1; }));
  set_test_now(first_report + 120);
  ASSERT_TRUE(wait_until([] { return count_log("UDP Client Library statistic") == 2; }));
  EXPECT_EQ(count_log("Turnaround time(msec)"), 1u);
  EXPECT_EQ(count_log("\tLocal recv: "), 2u);
  EXPECT_EQ(count_log("\tPeer recv:        0\t send:       0"), 2u);
}

TEST_F(ConversationTest, SleepingThreadsAreWokenForRepliesAndForDestroy) {
  start_client();
  device_sent("keepalive");
  ASSERT_TRUE(wait_until([&] { return statistics().local_recv == 1; }));
  // With a five-second tick, a reply held back by a lost wake-up of the send
  // thread misses the simulator's two-second wait and counts as lost.
  __vantor_udp_client_set_tick_ms(5000);
  EXPECT_EQ(sim->command("latency 300", std::chrono::seconds(30))["answered"], "300");
  EXPECT_EQ(vantor_udp_client_run(client), 1) << "a second run starts nothing";

  // Destroy ends within a tick or so; the command thread, left in its queue
  // wait, would take five ticks. A request makes every thread wait anew on
  // the two-second tick.
  __vantor_udp_client_set_tick_ms(2000);
  SimEvent marker = sim->command("notice 0 0");
  ASSERT_EQ(sim->wait_for(reply_to_seq(marker["seq"])).name, "recv");
  auto start = std::chrono::steady_clock::now();
  destroy_vantor_udp_client(client);
  client = nullptr;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
  for (const char* line : {"Sender Joined", "Receiver Joined", "Punch hole Joined", "Command handler Joined"})
    EXPECT_EQ(count_log(line), 1u) << line;
}

}  // namespace
}  // namespace vt_test
