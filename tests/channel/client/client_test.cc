// The channel client against the simulator (tools/vtsim) over loopback, through
// the public interface only, with a clock the test steps by hand and a short
// tick, so that minutes of channel time pass in moments. The simulator checks
// every byte the device sends; log lines and handler calls are captured.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdarg>

#include "channel/vantor_udp_client.h"
#include "platform/clock.h"
#include "tests/channel/vtsim_process.h"
#include "tests/support/sandbox.h"

namespace vt_test {
namespace {

constexpr const char *kSerial = "00AABBCC0011", *kRestart = "4294967295";
constexpr int kTickMs = 40;
using calls = std::vector<std::string>;

std::atomic<time_t> now_value{0};
time_t test_now() { return now_value.load(); }

// Log lines, and the calls of the handlers, which answer handler_result.
std::mutex capture_mutex;
std::vector<std::string> log_lines, handled;
std::atomic<int> handler_result{0};

int capture_log(int, const char *format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::lock_guard<std::mutex> lock(capture_mutex);
  log_lines.push_back(text);
  return n;
}
size_t count_log(const std::string &text) {  // lines containing text
  std::lock_guard<std::mutex> lock(capture_mutex);
  return std::count_if(log_lines.begin(), log_lines.end(), [&](const std::string &l) { return l.find(text) != l.npos; });
}
calls handler_calls() {
  std::lock_guard<std::mutex> lock(capture_mutex);
  return handled;
}
// The answer is read before the call is visible, so a test that changes the
// answer after seeing the call cannot change this call's answer.
int record(const std::string &call) {
  int result = handler_result;
  std::lock_guard<std::mutex> lock(capture_mutex);
  handled.push_back(call);
  return result;
}

// The device's replies to the server's message with this seq.
EventMatch reply_to_seq(const std::string &seq) {
  return [seq](const SimEvent &e) { return e.name == "recv" && e["seq"] == seq && e["result"] != ""; };
}

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    __vantor_udp_client_set_tick_ms(kTickMs);
    now_value = 1800000000;
    vt_set_clock(test_now);
    log_lines.clear(), handled.clear(), handler_result = 0;
    ASSERT_NE(sim.https_port, 0) << "the simulator did not start";
  }
  void TearDown() override {
    destroy_vantor_udp_client(client);
    vt_set_clock(nullptr);
    __vantor_udp_client_set_tick_ms(0);
  }

  // Creates the client against the simulator (and runs it, with the handlers).
  void start_client(bool run = true) {
    std::string host = "127.0.0.1:" + std::to_string(sim.https_port);
    client = create_vantor_udp_client(kSerial, "VX200-LONGER", "EU", "2.1.0", 30, host.c_str(), "udps/register",
                                      capture_log, 10, nullptr);
    ASSERT_NE(client, nullptr);
    if (!run) return;
    vantor_udp_client_run(client);
    auto set = [&](int id, auto fn) { vantor_udp_client_set_handler(client, id, reinterpret_cast<vantor_udp_client_handler>(fn)); };
    set(1, +[](void *, uint32_t mask) { return record("invite " + std::to_string(mask)); });
    set(2, +[](void *, int16_t a, int8_t b) {  // "notice 0 0" is the tests' marker: accepted, not recorded
      return a == 0 && b == 0 ? 0 : record("notice " + std::to_string(a) + " " + std::to_string(b));
    });
    set(6, +[](void *) { return record("reboot"); });
    set(7, +[](void *, uint32_t id, int count, vantor_udp_client_action_entry *entries) {
      std::string call = "action " + std::to_string(id) + " " + std::to_string(count);
      for (int i = 0; i < count; ++i) call += " [" + std::to_string(entries[i].length) + ":" + entries[i].text + "]";
      return record(call);
    });
    set(8, +[](void *) { return record("dump"); });
  }
  void advance(int seconds) { now_value += seconds; }
  // The send thread walks its agenda at most once per clock second, so work
  // queued within a second already walked waits for the next one. Waits for
  // the condition, stepping the clock one second at a time while it does not
  // hold (at most max_steps times); the last wait is long, for loaded machines.
  bool step_until(const std::function<bool()> &condition, int max_steps = 3) {
    for (int step = 0; step < max_steps; ++step, advance(1))
      if (wait_until(condition, std::chrono::milliseconds(15 * kTickMs))) return true;
    return wait_until(condition, std::chrono::seconds(20));
  }
  // The n-th packet of kind `what` from the device (stepping as above).
  SimEvent device_sent(const std::string &what, size_t n = 1) {
    auto match = event_is("recv", {{"what", what}});
    step_until([&] { return sim.count(match) >= n; });
    return sim.wait_for(match, n);
  }
  int set_param(int id, uint32_t value) { return vantor_udp_client_set_param(client, id, &value); }
  vantor_udp_client_statistics statistics() {
    vantor_udp_client_status s{};
    return vantor_udp_client_get_status(client, &s), s.statistics;
  }

  Sandbox sandbox;
  ScopedEnv path_{"PATH", WGET_HTTPS_DIR ":" + std::string(std::getenv("PATH"))};
  VtsimProcess sim{kSerial, "0123456789abcdef", sandbox.path("/vtsim")};
  ScopedEnv ca_{"WGET_HTTPS_CA_FILE", sim.ca_file};
  vantor_udp_client *client = nullptr;
};

// A started client whose first keepalive has been answered: the channel is
// live and the simulator knows the device's address.
class LiveClientTest : public ClientTest {
 protected:
  void SetUp() override {
    ClientTest::SetUp();
    if (HasFatalFailure()) return;
    start_client();
    device_sent("keepalive");
    ASSERT_TRUE(wait_until([&] { return statistics().local_recv == 1; }));
  }
  // Sends a request and returns the device's reply, or "none" when the device
  // answered a later, always-accepted marker first (requests are handled in order).
  SimEvent reply_to(const std::string &command) {
    SimEvent sent = sim.command(command);
    EXPECT_EQ(sent.name, "ok") << command << ": " << sent["reason"];
    SimEvent marker = sim.command("notice 0 0");
    EXPECT_EQ(sim.wait_for(reply_to_seq(marker["seq"])).name, "recv") << "the marker was not answered";
    return sim.count(reply_to_seq(sent["seq"])) ? sim.wait_for(reply_to_seq(sent["seq"])) : SimEvent{"none", {}};
  }
  void sync() { reply_to("notice 0 0"); }  // the device has handled everything sent before
  // A new session starts its numbers again and sends a valid keepalive.
  void expect_new_session() {
    ASSERT_TRUE(wait_until([] { return count_log("Reestablish success") == 1; }));
    EXPECT_TRUE(wait_until([&] { return sim.count(event_is("https", {{"path", "/udps/register"}})) == 2; }));
    auto restarted = event_is("recv", {{"what", "keepalive"}, {"restart", "1"}});
    ASSERT_TRUE(step_until([&] { return sim.count(restarted) == 2; }));
    EXPECT_EQ(sim.wait_for(restarted, 2)["errors"], "");
  }
};

using ConversationTest = ClientTest;
using ReestablishTest = LiveClientTest;
using ServerRequestsTest = LiveClientTest;

TEST_F(ConversationTest, ParametersAreTakenOnlyInTheirRanges) {
  start_client(false);
  const struct { int id; uint32_t value; int result; } cases[] = {
      {5, 4, 0},  {5, 51, 0},  {5, 5, 1},   {5, 50, 1},      {6, 69, 0},  {6, 601, 0},     {6, 70, 1}, {6, 600, 1},
      {2, 0, 0},  {2, 65535, 0}, {2, 1, 1}, {2, 65534, 1},   {8, 0, 0},   {8, 2, 0},       {8, 1, 1},  {99, 100000, 0},
      {99, 0, 1}, {99, 99999, 1}, {3, 7, 1}, {4, 1, 0},      {0, 1, 0},   {100, 1, 0},
  };
  for (const auto &c : cases) EXPECT_EQ(set_param(c.id, c.value), c.result) << c.id << " " << c.value;
  EXPECT_EQ(vantor_udp_client_set_param(client, 5, nullptr) + vantor_udp_client_set_param(nullptr, 5, &cases[0].value), 0);
  EXPECT_EQ(vantor_udp_client_set_param(client, 1, "not an address"), 1) << "taken, and changes nothing";
  EXPECT_EQ(vantor_udp_client_submit_gps(nullptr, 1, 1, 0, 0) + vantor_udp_client_get_status(client, nullptr), -1);
}

TEST_F(ConversationTest, MessagesCountFromTheRestartMarkAndKeepalivesFollowTheInterval) {
  now_value = 0x7FFFFFF0;  // the keepalives cross 2038 (2^31 s)
  start_client(false);
  EXPECT_EQ(sim.wait_for(event_is("https"))["model"], "VX200-LO") << "cut to 8 characters";
  EXPECT_TRUE(sandbox.exists("/tmp/interface.using")) << "the default interface file";
  ASSERT_EQ(set_param(5, 10), 1);
  vantor_udp_client_run(client);
  SimEvent first = device_sent("keepalive");
  EXPECT_EQ(first["seq"] + " " + first["id"] + " " + first["flags"] + " " + first["len"],
            std::string(kRestart) + " " + kRestart + " 0x0001 82");

  // GPS reports go once, unanswered: degrees in millionths truncated towards
  // zero, clamped to 32 bits, not a number as 0; any fix is 1.
  const struct { int valid; unsigned long stamp; double latitude, longitude; const char *sent; } reports[] = {
      {1, 1799999990UL, 51.5, -0.1278, "1799999990,51500000,-127800,1"},
      {5, 1, 0.0000019, -0.0000019, "1,1,-1,1"},
      {0, 2, 1e300, -1e300, "2,2147483647,-2147483648,0"},
      {0, 3, std::nan(""), 0, "3,0,0,0"},
  };
  for (const auto &r : reports) EXPECT_EQ(vantor_udp_client_submit_gps(client, r.valid, r.stamp, r.latitude, r.longitude), 0);
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
  EXPECT_EQ(sim.count(event_is("recv", {{"what", "keepalive"}})), 4u);
  EXPECT_EQ(sim.count(event_is("recv", {{"what", "gps"}})), std::size(reports));
  EXPECT_EQ(sim.count([](const SimEvent &e) { return e.name == "recv" && e["errors"] != ""; }), 0u);
}

// Statistics go at their interval.
TEST_F(ConversationTest, UnansweredKeepaliveIsRetransmittedWithNewSeqSameIdAndStatisticsKeepTheirInterval) {
  ASSERT_EQ(sim.command("keepalives off").name, "ok");
  start_client(false);
  ASSERT_EQ(set_param(99, 60), 1);
  vantor_udp_client_run(client);
  device_sent("keepalive");
  ASSERT_TRUE(wait_until([] { return count_log("UDP Client Library statistic") == 1; }));
  const time_t first_report = test_now();  // the first report came no later than this
  advance(10);
  SimEvent again = device_sent("keepalive", 2);
  EXPECT_EQ(again["seq"] + " " + again["id"] + " " + again["retransmission"] + again["errors"], std::string("0 ") + kRestart + " 1");
  advance(15);  // +25: the first expires, the second keepalive goes out
  SimEvent next = device_sent("keepalive", 3);
  EXPECT_EQ(next["seq"] + " " + next["id"] + " " + next["retransmission"], "1 1 ");
  advance(10);  // the new one's retransmission, never a third of the first
  EXPECT_EQ(device_sent("keepalive", 4)["id"], "1");
  EXPECT_EQ(sim.count(event_is("recv", {{"what", "keepalive"}, {"id", kRestart}})), 2u);
  ASSERT_EQ(sim.command("keepalives on").name, "ok");
  advance(15);  // +50: the third keepalive is answered
  ASSERT_TRUE(step_until([&] { return statistics().local_recv == 1; }));
  EXPECT_EQ(count_log("UDP Client Library statistic"), 1u);
  now_value = std::max(now_value.load(), first_report + 60);
  ASSERT_TRUE(wait_until([] { return count_log("UDP Client Library statistic") == 2; }));
  EXPECT_EQ(count_log("\tPeer recv:        0\t send:       0"), 2u);
}

TEST_F(ServerRequestsTest, SleepingThreadsAreWokenForRepliesAndForDestroy) {
  // With a five-second tick, a reply held back by a lost wake-up of the send
  // thread misses the simulator's two-second wait and counts as lost.
  __vantor_udp_client_set_tick_ms(5000);
  EXPECT_EQ(sim.command("latency 300")["answered"], "300");
  EXPECT_EQ(vantor_udp_client_run(client), 1) << "a second run starts nothing";
  // Destroy ends within a tick or so; the command thread, left in its queue
  // wait, would take five ticks. A request makes every thread wait anew on
  // the two-second tick.
  __vantor_udp_client_set_tick_ms(2000);
  sync();
  auto start = std::chrono::steady_clock::now();
  destroy_vantor_udp_client(client);
  client = nullptr;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
  for (const char *line : {"Sender Joined", "Receiver Joined", "Punch hole Joined", "Command handler Joined"})
    EXPECT_EQ(count_log(line), 1u) << line;
}

// Damaged headers are counted apart and never towards the run of undecryptable packets.
TEST_F(ReestablishTest, NineteenUndecryptablePacketsThenAGoodOneDoNotReestablishTwentyDo) {
  advance(10);  // the first attempt may come 10 s after start
  for (const char *damage : {"short", "oversize", "key 17", "serial", "crc", "tiny-message"})
    ASSERT_EQ(sim.command(std::string("bad ") + damage).name, "ok");
  sync();
  EXPECT_EQ(statistics().header_errors, 3u);
  EXPECT_EQ(count_log("Reestablish HTTPS + UDP..."), 0u);
  EXPECT_EQ(handler_calls().size(), 0u) << "no damaged packet reaches a handler";
  ASSERT_EQ(sim.command("bad key 20").name, "ok");
  expect_new_session();
  // Only the first rejection makes a line; a minute later one line counts the
  // rest (a wrong key now and then yields valid-looking padding: "CRC err").
  EXPECT_EQ(count_log("Packet decrypt fail") + count_log("Packet CRC err"), 1u);
  advance(60);
  ASSERT_TRUE(wait_until([] { return count_log("Packets rejected in the last 6") == 1; }));
  EXPECT_EQ(count_log("Header err 1, Decrypt err 38, Seq err 0"), 1u);
}

TEST_F(ReestablishTest, SilenceForTheDisconnectTimeoutReestablishes) {
  ASSERT_EQ(sim.command("keepalives off").name, "ok");
  time_t heard = test_now();  // the server's last datagram came no later than this
  advance(59);
  device_sent("keepalive", 2);  // the device still talks; the server is silent
  // A recorded keepalive reply sent again is no sign of the server's life.
  ASSERT_EQ(sim.command("replay").name, "ok");
  EXPECT_EQ(count_log("Reestablish HTTPS + UDP..."), 0u);
  now_value = heard + 70;
  expect_new_session();
}

TEST_F(ReestablishTest, AnswerWithoutRedirectWaitsAnHourBeforeTheNextAttempt) {
  sim.command("auth plain");
  set_param(8, 1);
  advance(10);
  ASSERT_TRUE(wait_until([] { return count_log("Get AUTH Fail") == 1; }));
  advance(3599);
  sync();
  EXPECT_EQ(count_log("Reestablish HTTPS + UDP..."), 1u);
  sim.command("auth ok");
  advance(1);
  ASSERT_TRUE(wait_until([] { return count_log("Reestablish success") == 1; }));
  EXPECT_EQ(count_log("Reestablish HTTPS + UDP..."), 2u);
}

TEST_F(ServerRequestsTest, RequestsReachTheirHandlersAndAreAnsweredAsTheHandlerSays) {
  // call "": the handler must not be called; flags "": no reply is expected.
  const struct { const char *command; int handler_result; const char *call, *flags, *payload; } cases[] = {
      {"invite 2", 0, "invite 2", "0x0101", ""}, {"invite 1", 1, "invite 1", "0x8101", ""},
      {"invite 4", 2, "invite 4", "", ""},       {"invite 2 flags=0", 0, "invite 2", "", ""},
      {"send 1 1 000002", 0, "", "0x8101", ""},  // payload too short for a mask
      {"notice -300 -5", 0, "notice -300 -5", "0x0101", ""},
      {"reboot", 0, "reboot", "0x0101", ""},     {"dump", 1, "dump", "0x8101", ""},
      {"action 16909060 ls -l", 0, "action 16909060 2 [2:ls] [2:-l]", "0x0101", "01020304"},
      {"action 7 abc ''", 0, "action 7 2 [3:abc] [0:]", "0x0101", "00000007"},
      {"send 1 4 0102030402", 0, "", "0x8101", "01020304"},      // count 2, no entries
      {"send 1 4 01020304017f41", 0, "", "0x8101", "01020304"},  // entry runs past the end
      {"send 1 4 0102030401ff41", 0, "", "0x8101", "01020304"},  // negative length
      {"send 1 4 01020304", 0, "", "0x8101", "01020304"},        // no count byte
      {"send 1 4 0102030400", 0, "", "0x8101", "01020304"},      // count 0
      {"send 1 9 ", 0, "", "0x8101", ""},                        // unknown type
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.command);
    handler_result = c.handler_result;
    size_t calls_before = handler_calls().size();
    SimEvent reply = reply_to(c.command);
    handler_result = 0;
    auto after = handler_calls();
    EXPECT_EQ(after.size() > calls_before ? after[calls_before] : "", c.call);
    EXPECT_EQ(reply.name, *c.flags ? "recv" : "none");
    EXPECT_EQ(reply["flags"] + " " + reply["payload"] + reply["errors"], std::string(c.flags) + " " + c.payload)
        << "seq, id and code are echoed";
  }
  // A request whose handler was never registered is refused.
  vantor_udp_client_set_handler(client, 6, nullptr);
  EXPECT_EQ(reply_to("reboot")["flags"], "0x8101");
}

TEST_F(ServerRequestsTest, OutOfOrderSequenceNumbersAreDroppedWithoutReply) {
  for (const char *ids : {"seq=100 id=100", "seq=100 id=500", "seq=99 id=501", "seq=101 id=502"})
    sim.command(std::string("invite 2 ") + ids);
  sim.wait_for(reply_to_seq("101"));  // handled in order: the three before it were judged
  EXPECT_EQ(sim.count(reply_to_seq("100")), 1u);
  EXPECT_EQ(sim.count(reply_to_seq("99")), 0u);
  EXPECT_EQ(count_log("Seq number fail {cur: 100, exp: 100}"), 1u);  // the next line is held back
  EXPECT_EQ(statistics().seq_errors, 2u);
}

TEST_F(ServerRequestsTest, AnsweredRequestRetransmittedIsBlockedAnUnansweredOneForFiveSeconds) {
  SimEvent answered = sim.command("invite 2");
  sim.wait_for(reply_to_seq(answered["seq"]));
  handler_result = 2;  // busy: no reply, so only the recent list remembers it
  SimEvent busy = sim.command("invite 4");
  ASSERT_TRUE(wait_until([] { return handler_calls().size() == 2; }));
  handler_result = 0;
  sim.command("retransmit " + busy["id"]);  // within five seconds: blocked
  reply_to("notice 1 1");
  advance(6);  // past the recent list's five seconds: only the answered list blocks
  SimEvent again = sim.command("retransmit " + answered["id"]);
  SimEvent late = sim.command("retransmit " + busy["id"]);
  EXPECT_EQ(sim.wait_for(reply_to_seq(late["seq"]))["result"], "accepted");
  EXPECT_EQ(sim.count(reply_to_seq(again["seq"])), 0u);
  EXPECT_EQ(count_log("Message (id: " + answered["id"] + ") blocked by black list"), 1u);
  EXPECT_EQ(handler_calls(), (calls{"invite 2", "invite 4", "notice 1 1", "invite 4"}));
}

TEST_F(ServerRequestsTest, RestartMarkIsHonouredOnlyFirstUnderAKey) {
  sim.command("invite 2");  // seq 0xFFFFFFFF, then small ids
  SimEvent second = sim.command("invite 2");
  sim.wait_for(reply_to_seq(second["seq"]));
  // Under the same key a restart of the numbering is what a replay looks like:
  // refused, and a new session asked for.
  sim.command("auth rekey");
  sim.command("reset-seq");
  sim.command("retransmit " + second["id"]);
  ASSERT_TRUE(wait_until([] { return count_log("Seq number fail {cur: 4294967295, exp: 0}") == 1; }));
  advance(10);
  expect_new_session();
  // The new key starts a new numbering: the same id is answered again.
  SimEvent again = sim.command("retransmit " + second["id"]);
  EXPECT_EQ(again["seq"], kRestart);
  EXPECT_EQ(sim.wait_for(reply_to_seq(again["seq"]), 2)["result"], "accepted");
  EXPECT_EQ(count_log("Cleanup black list by reset seq"), 2u);
  EXPECT_EQ(handler_calls(), (calls{"invite 2", "invite 2", "invite 2"}));
}

}  // namespace
}  // namespace vt_test
