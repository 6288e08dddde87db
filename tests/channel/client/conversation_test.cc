// The device's own messages on the wire: sequence numbers, keepalives and
// their retransmission, GPS reports; the simulator checks every byte.
#include "tests/channel/client/client_fixture.h"

namespace vt_test {
namespace {

constexpr const char* kRestart = "4294967295";

class ConversationTest : public ClientTest {};

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
}

TEST_F(ConversationTest, GpsReportIsSentExactlyOnce) {
  start_client();
  device_sent("keepalive");
  vantor_udp_client_submit_gps(client, 1, 100, 1.0, 2.0);
  device_sent("gps");
  // Well past every retransmission time of an item that wanted a reply.
  for (size_t n = 2; n <= 4; ++n) {
    advance(24);
    device_sent("keepalive", n);
  }
  EXPECT_EQ(sim->count(event_is("recv", {{"what", "gps"}})), 1u);
  std::lock_guard<std::mutex> lock(client->agenda_mutex);
  for (uint32_t i = 0; i < delivery_agenda_get_num_item(&client->agenda); ++i) {
    agenda_item* item = nullptr;
    delivery_agenda_get_item(&client->agenda, &item, i);
    EXPECT_NE(item->category, 2) << "the GPS report is still in the agenda";
  }
}

TEST_F(ConversationTest, UnansweredKeepaliveIsRetransmittedTenSecondsLaterWithNewSeqSameId) {
  ASSERT_EQ(sim->command("keepalives drop 1").name, "ok");
  start_client();
  SimEvent first = device_sent("keepalive");
  sim->wait_for(event_is("keepalive-unanswered"));

  advance(10);
  SimEvent again = device_sent("keepalive", 2);
  EXPECT_EQ(again["seq"], "0");
  EXPECT_EQ(again["id"], kRestart);
  EXPECT_EQ(again["retransmission"], "1");
  EXPECT_EQ(again["errors"], "");

  // Answered this time: at +30 it would be due again, but the next
  // keepalive (due at +25) is a new message.
  advance(14);
  SimEvent next = device_sent("keepalive", 3);
  EXPECT_EQ(next["seq"], "1");
  EXPECT_EQ(next["id"], "1");
  EXPECT_FALSE(next.has("retransmission"));
  ASSERT_TRUE(wait_until([&] { return statistics().local_recv == 2; }));
}

TEST_F(ConversationTest, UnansweredKeepaliveExpiresWhenTheNextIsDue) {
  ASSERT_EQ(sim->command("keepalives off").name, "ok");
  start_client();
  device_sent("keepalive");
  advance(10);
  device_sent("keepalive", 2);
  advance(14);  // +25: the first expires, the second keepalive goes out
  SimEvent next = device_sent("keepalive", 3);
  EXPECT_EQ(next["id"], next["seq"]);
  advance(9);  // ten seconds on: the new one's retransmission, never a third of the first
  SimEvent retry = device_sent("keepalive", 4);
  EXPECT_EQ(retry["id"], next["id"]);
  size_t first_id_sends = sim->count(event_is("recv", {{"what", "keepalive"}, {"id", kRestart}}));
  EXPECT_EQ(first_id_sends, 2u);
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
  // Nothing went out between the 10-second marks.
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
  // With the real one-second tick a lost wake-up of the send thread would
  // hold a reply back for most of a second.
  __vantor_udp_client_set_tick_ms(1000);
  start_client();
  device_sent("keepalive");
  SimEvent run = sim->command("latency 300", std::chrono::seconds(60));
  EXPECT_EQ(run["answered"], "300");
  EXPECT_LT(run.number("max_us"), 300000u);
  EXPECT_EQ(vantor_udp_client_run(client), 1) << "a second run starts nothing";
}

int statistics_calls = 0;
std::mutex statistics_calls_mutex;
int on_statistics(void* ctx, vantor_udp_client_statistics* st) {
  std::lock_guard<std::mutex> lock(statistics_calls_mutex);
  if (ctx == &statistics_calls && st != nullptr) ++statistics_calls;
  return 0;
}

TEST_F(ConversationTest, StatisticsCallbackReplacesTheLogLines) {
  start_client(false);
  vantor_udp_client_set_param(client, 7, &statistics_calls);
  vantor_udp_client_set_handler(client, 4, reinterpret_cast<vantor_udp_client_handler>(on_statistics));
  vantor_udp_client_run(client);
  ASSERT_TRUE(wait_until([] {
    std::lock_guard<std::mutex> lock(statistics_calls_mutex);
    return statistics_calls == 1;
  }));
  EXPECT_EQ(count_log("UDP Client Library statistic"), 0u);
}

}  // namespace
}  // namespace vt_test
