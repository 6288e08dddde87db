// The receive thread as watchdog: damaged packets, silence and requests from
// outside re-establish the session.
#include "tests/channel/client/client_fixture.h"

namespace vt_test {
namespace {

class ReestablishTest : public LiveClientTest {
 protected:
  void sync() { reply_to("notice 0 0"); }  // the device has handled everything sent before
  // A new session starts its numbers again and sends a valid keepalive.
  void expect_new_session() {
    ASSERT_TRUE(wait_until([] { return count_log("Reestablish success") == 1; }));
    EXPECT_TRUE(wait_until([&] { return https_registrations() == 2; }));
    auto restarted = event_is("recv", {{"what", "keepalive"}, {"restart", "1"}});
    ASSERT_TRUE(step_until([&] { return sim->count(restarted) == 2; }));
    EXPECT_EQ(sim->wait_for(restarted, 2)["errors"], "");
  }
};

TEST_F(ReestablishTest, EachDamagedPacketIsCountedOnceAndProducesNoMessage) {
  const struct { const char* kind; uint32_t header_errors, decrypt_errors; } cases[] = {
      {"short", 1, 0},        {"magic", 1, 0},        {"kind", 1, 0},  {"length", 1, 0},
      {"namelen-short", 1, 0}, {"namelen-long", 1, 0}, {"serial", 1, 0}, {"oversize", 1, 0},
      {"key", 0, 1},          {"crc", 0, 1},          {"tiny-message", 0, 1},
  };
  for (const auto& c : cases) {
    auto before = statistics();
    ASSERT_EQ(sim->command(std::string("bad ") + c.kind).name, "ok");
    sync();
    auto after = statistics();
    EXPECT_EQ(after.header_errors - before.header_errors, c.header_errors) << c.kind;
    EXPECT_EQ(after.decrypt_errors - before.decrypt_errors, c.decrypt_errors) << c.kind;
  }
  EXPECT_EQ(handler_calls().size(), 0u);
}

TEST_F(ReestablishTest, NineteenUndecryptablePacketsThenAGoodOneDoNotReestablishTwentyDo) {
  advance(10);  // the first attempt may come 10 s after start
  ASSERT_EQ(sim->command("bad key 19").name, "ok");
  sync();
  EXPECT_EQ(count_log("Reestablish HTTPS + UDP..."), 0u);
  EXPECT_EQ(https_registrations(), 1u);
  ASSERT_EQ(sim->command("bad key 20").name, "ok");
  expect_new_session();
  EXPECT_EQ(reply_to("notice 1 1")["flags"], "0x0101") << "the re-created socket carries requests";
  // Only the first rejection makes a line; a minute later one line counts the
  // rest (a wrong key now and then yields valid-looking padding: "CRC err").
  EXPECT_EQ(count_log("Packet decrypt fail") + count_log("Packet CRC err"), 1u);
  advance(60);
  ASSERT_TRUE(wait_until([] { return count_log("Packets rejected in the last 6") == 1; }));
  EXPECT_EQ(count_log("Header err 0, Decrypt err 38, Seq err 0"), 1u);
}

TEST_F(ReestablishTest, SilenceForTheDisconnectTimeoutReestablishes) {
  ASSERT_EQ(sim->command("keepalives off").name, "ok");
  time_t heard = test_now();  // the server's last datagram came no later than this
  advance(59);
  device_sent("keepalive", 2);  // the device still talks; the server is silent
  // A recorded keepalive reply sent again is no sign of the server's life.
  ASSERT_EQ(sim->command("replay").name, "ok");
  EXPECT_EQ(count_log("Reestablish HTTPS + UDP..."), 0u);
  set_test_now(heard + 70);
  expect_new_session();
}

TEST_F(ReestablishTest, AnswerWithoutRedirectWaitsAnHourBeforeTheNextAttempt) {
  sim->command("auth plain");
  uint32_t one = 1;
  vantor_udp_client_set_param(client, 8, &one);
  advance(10);
  ASSERT_TRUE(wait_until([] { return count_log("Get AUTH Fail") == 1; }));
  advance(3599);
  sync();
  EXPECT_EQ(count_log("Reestablish HTTPS + UDP..."), 1u);
  sim->command("auth ok");
  advance(1);
  ASSERT_TRUE(wait_until([] { return count_log("Reestablish success") == 1; }));
  EXPECT_EQ(count_log("Reestablish HTTPS + UDP..."), 2u);
}

}  // namespace
}  // namespace vt_test
