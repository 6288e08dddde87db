// The device's own messages on the wire: sequence numbers, keepalives and
// their retransmission, GPS reports, statistics; the simulator checks every byte.
#include <mutex>

#include "tests/channel/client/client_fixture.h"

namespace vt_test {
namespace {

constexpr const char* kRestart = "4294967295";

using ConversationTest = ClientTest;

TEST_F(ConversationTest, FirstTransmissionIsRestartMarkThenCountsFromZero) {
  start_client();
  SimEvent first = device_sent("keepalive");
  EXPECT_EQ(first["seq"], kRestart);
  EXPECT_EQ(first["id"], kRestart);
  EXPECT_EQ(first["flags"], "0x0001");
  EXPECT_EQ(first["errors"], "");
  EXPECT_EQ(first["len"], "82");

  vantor_udp_client_submit_gps(client, 1, 1799999990UL, 51.5, -0.1278);
  SimEvent gps = device_sent("gps");
  EXPECT_EQ(gps["seq"], "0");
  EXPECT_EQ(gps["id"], "0");
  EXPECT_EQ(gps["flags"], "0x0000");
  EXPECT_EQ(gps["gps"], "1799999990,51500000,-127800,1");
  EXPECT_EQ(gps["errors"], "");

  vantor_udp_client_submit_gps(client, 0, 5, -33.9, 151.2);
  SimEvent second = device_sent("gps", 2);
  EXPECT_EQ(second["seq"], "1");
  EXPECT_EQ(second["gps"], "5,-33900000,151200000,0");

  // Well past every retransmission time of an item that wanted a reply:
  // a GPS report goes once and leaves the agenda.
  for (size_t n = 2; n <= 4; ++n) {
    advance(24);
    device_sent("keepalive", n);
  }
  EXPECT_EQ(sim->count(event_is("recv", {{"what", "gps"}})), 2u);
  std::lock_guard<std::mutex> lock(client->agenda_mutex);
  for (uint32_t i = 0; i < delivery_agenda_get_num_item(&client->agenda); ++i) {
    agenda_item* item = nullptr;
    delivery_agenda_get_item(&client->agenda, &item, i);
    EXPECT_NE(item->category, 2) << "a GPS report is still in the agenda";
  }
}

TEST_F(ConversationTest, UnansweredKeepaliveIsRetransmittedWithNewSeqSameIdUntilTheNextIsDue) {
  ASSERT_EQ(sim->command("keepalives off").name, "ok");
  start_client();
  device_sent("keepalive");
  advance(10);
  SimEvent again = device_sent("keepalive", 2);
  EXPECT_EQ(again["seq"], "0");
  EXPECT_EQ(again["id"], kRestart);
  EXPECT_EQ(again["retransmission"], "1");
  EXPECT_EQ(again["errors"], "");
  advance(14);  // +25: the first expires, the second keepalive goes out
  SimEvent next = device_sent("keepalive", 3);
  EXPECT_EQ(next["seq"], "1");
  EXPECT_EQ(next["id"], "1");
  EXPECT_FALSE(next.has("retransmission"));
  advance(9);  // ten seconds on: the new one's retransmission, never a third of the first
  EXPECT_EQ(device_sent("keepalive", 4)["id"], "1");
  EXPECT_EQ(sim->count(event_is("recv", {{"what", "keepalive"}, {"id", kRestart}})), 2u);
}

TEST_F(ConversationTest, KeepaliveCadenceFollowsTheInterval) {
  start_client(false);
  uint32_t interval = 10;
  ASSERT_EQ(vantor_udp_client_set_param(client, 5, &interval), 1);
  vantor_udp_client_run(client);
  device_sent("keepalive");
  for (size_t n = 2; n <= 4; ++n) {
    ASSERT_TRUE(wait_until([&] { return statistics().local_recv == n - 1; }));
    advance(9);
    SimEvent k = device_sent("keepalive", n);
    EXPECT_EQ(k["id"], k["seq"]) << "keepalive " << n << " is a new message";
  }
  // An answered keepalive is not sent again: nothing between the marks.
  EXPECT_EQ(sim->count(event_is("recv", {{"what", "keepalive"}})), 4u);
  for (const auto& e : sim->events(event_is("recv"))) EXPECT_EQ(e["errors"], "") << e["what"];
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

TEST_F(ConversationTest, RepliesAreSentAtOnceNotAtTheNextSecond) {
  // With the real one-second tick a lost wake-up of the send thread holds a
  // reply back for most of a second. Percentiles, so that a loaded machine's
  // occasional stall does not count.
  __vantor_udp_client_set_tick_ms(1000);
  start_client();
  device_sent("keepalive");
  SimEvent run = sim->command("latency 300", std::chrono::seconds(60));
  EXPECT_EQ(run["answered"], "300");
  EXPECT_LT(run.number("p50_us"), 100000u);
  EXPECT_LT(run.number("p99_us"), 600000u);
  EXPECT_EQ(vantor_udp_client_run(client), 1) << "a second run starts nothing";
}

std::atomic<int> statistics_calls{0};
int on_statistics(void* ctx, vantor_udp_client_statistics* st) {
  if (ctx == &statistics_calls && st != nullptr) ++statistics_calls;
  return 0;
}

TEST_F(ConversationTest, StatisticsCallbackReplacesTheLogLines) {
  start_client(false);
  vantor_udp_client_set_param(client, 7, &statistics_calls);
  vantor_udp_client_set_handler(client, 4, reinterpret_cast<vantor_udp_client_handler>(on_statistics));
  vantor_udp_client_run(client);
  ASSERT_TRUE(wait_until([] { return statistics_calls == 1; }));
  EXPECT_EQ(count_log("UDP Client Library statistic"), 0u);
}

}  // namespace
}  // namespace vt_test
