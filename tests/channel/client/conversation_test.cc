// The client's parameters and the device's own messages on the wire: sequence
// numbers, keepalives and their retransmission, GPS reports, statistics; the
// simulator checks every byte.
#include <cmath>

#include "tests/channel/client/client_fixture.h"

namespace vt_test {
namespace {

constexpr const char* kRestart = "4294967295";

using ClientApiTest = ClientTest;
using ConversationTest = ClientTest;

TEST_F(ClientApiTest, ParametersAreTakenOnlyInTheirRanges) {
  start_client(false);
  const struct { int id; uint32_t value; int result; } cases[] = {
      {5, 4, 0},  {5, 51, 0},  {5, 5, 1},   {5, 50, 1},      {6, 69, 0},  {6, 601, 0},     {6, 70, 1}, {6, 600, 1},
      {2, 0, 0},  {2, 65535, 0}, {2, 1, 1}, {2, 65534, 1},   {8, 0, 0},   {8, 2, 0},       {8, 1, 1},  {99, 100000, 0},
      {99, 0, 1}, {99, 99999, 1}, {3, 7, 1}, {4, 1, 0},      {0, 1, 0},   {100, 1, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(vantor_udp_client_set_param(client, c.id, &c.value), c.result) << c.id << " " << c.value;
  EXPECT_EQ(vantor_udp_client_set_param(client, 5, nullptr) + vantor_udp_client_set_param(nullptr, 5, &cases[0].value), 0);
  EXPECT_EQ(vantor_udp_client_set_param(client, 1, "not an address"), 1) << "taken, and changes nothing";
  EXPECT_EQ(vantor_udp_client_submit_gps(nullptr, 1, 1, 0, 0) + vantor_udp_client_get_status(client, nullptr), -1);
}

TEST_F(ConversationTest, MessagesCountFromTheRestartMarkAndKeepalivesFollowTheInterval) {
  set_test_now(0x7FFFFFF0);  // the keepalives cross 2038 (2^31 s)
  start_client(false);
  EXPECT_EQ(sim->wait_for(event_is("https"))["model"], "VX200-LO") << "cut to 8 characters";
  EXPECT_TRUE(sandbox.exists("/tmp/interface.using")) << "the default interface file";
  uint32_t interval = 10;
  ASSERT_EQ(vantor_udp_client_set_param(client, 5, &interval), 1);
  vantor_udp_client_run(client);
  SimEvent first = device_sent("keepalive");
  EXPECT_EQ(first["seq"] + " " + first["id"] + " " + first["flags"] + " " + first["len"],
            std::string(kRestart) + " " + kRestart + " 0x0001 82");

  // GPS reports go once, unanswered: degrees in millionths truncated towards
  // zero, clamped to 32 bits, not a number as 0; any fix is 1.
  const struct { int valid; unsigned long stamp; double latitude, longitude; const char* sent; } reports[] = {
      {1, 1799999990UL, 51.5, -0.1278, "1799999990,51500000,-127800,1"},
      {5, 1, 0.0000019, -0.0000019, "1,1,-1,1"},
      {0, 2, 1e300, -1e300, "2,2147483647,-2147483648,0"},
      {0, 3, std::nan(""), 0, "3,0,0,0"},
  };
  for (const auto& r : reports) EXPECT_EQ(vantor_udp_client_submit_gps(client, r.valid, r.stamp, r.latitude, r.longitude), 0);
  for (size_t n = 1; n <= std::size(reports); ++n) {
    SimEvent gps = device_sent("gps", n);
    EXPECT_EQ(gps["seq"] + " " + gps["id"] + " " + gps["flags"], std::to_string(n - 1) + " " + std::to_string(n - 1) + " 0x0000");
    EXPECT_EQ(gps["gps"], reports[n - 1].sent);
  }
  for (size_t n = 2; n <= 4; ++n) {
    ASSERT_TRUE(wait_until([&] { return statistics().local_recv == n - 1; }));
    advance(10);
    SimEvent k = device_sent("keepalive", n);
    EXPECT_EQ(k["id"], k["seq"]) << "keepalive " << n << " is a new message";
  }
  // Answered keepalives are not sent again, and a GPS report goes only once.
  EXPECT_EQ(sim->count(event_is("recv", {{"what", "keepalive"}})), 4u);
  EXPECT_EQ(sim->count(event_is("recv", {{"what", "gps"}})), std::size(reports));
  EXPECT_EQ(sim->count([](const SimEvent& e) { return e.name == "recv" && e["errors"] != ""; }), 0u);
}

TEST_F(ConversationTest, UnansweredKeepaliveIsRetransmittedWithNewSeqSameIdUntilTheNextIsDue) {
  ASSERT_EQ(sim->command("keepalives off").name, "ok");
  start_client();
  device_sent("keepalive");
  advance(10);
  SimEvent again = device_sent("keepalive", 2);
  EXPECT_EQ(again["seq"] + " " + again["id"] + " " + again["retransmission"] + again["errors"], std::string("0 ") + kRestart + " 1");
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
  start_client(false);
  uint32_t interval = 60;
  ASSERT_EQ(vantor_udp_client_set_param(client, 99, &interval), 1);
  vantor_udp_client_run(client);
  device_sent("keepalive");
  ASSERT_TRUE(wait_until([] { return count_log("UDP Client Library statistic") == 1; }));
  time_t first_report = test_now();  // the first report came no later than this
  EXPECT_EQ(count_log("Turnaround time(msec)"), 0u) << "no reply has arrived yet";

  ASSERT_EQ(sim->command("keepalives on").name, "ok");
  set_test_now(first_report + 24);
  ASSERT_TRUE(step_until([&] { return statistics().local_recv == 1; }));
  EXPECT_EQ(count_log("UDP Client Library statistic"), 1u);
  set_test_now(first_report + 60);
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
