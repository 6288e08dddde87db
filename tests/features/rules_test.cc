// The rules the workers share or read: the attempt loop, the daemon's
// DEVICE_ settings and identity, the extension text and the GPS line.
#include "feature_harness.h"
#include "features/gps_line.h"
#include "features/isp_extension.h"

namespace {

// What happens during the step of attempt n, or during the wait after it: a
// stop, or the clock set back an hour.
enum class event { none, stop, set_back };
struct happening { event what; bool in_wait; size_t attempt; };
happening planned;
size_t waits = 0;
std::atomic<uint32_t>* stopping = nullptr;

void happen(bool in_wait, size_t attempt) {
  if (planned.in_wait != in_wait || planned.attempt != attempt) return;
  if (planned.what == event::stop) stopping->store(1);
  if (planned.what == event::set_back) fake_clock -= 3600;
}

using AttemptLoop = FeatureHarness;

TEST_F(AttemptLoop, AttemptsFollowBudgetRetryCountStopsAndClockSetBack) {
  attempt_loop_set_sleep([](unsigned seconds) { fake_clock += seconds, happen(true, ++waits); });
  const struct { long timeout; int retry; happening h; size_t attempts; attempt_outcome outcome; } cases[] = {
      {100, 2, {}, 3, attempt_outcome::used_up},  // three attempts, 10 s apart
      {20, 2, {}, 2, attempt_outcome::gave_up},   // a wait ending at the deadline is not started
      {21, 2, {}, 3, attempt_outcome::used_up},
      {0, 2, {}, 0, attempt_outcome::gave_up},    // TIMEOUT missing: nothing runs
      {100, -3, {}, 1, attempt_outcome::used_up},  // negative retry count: one attempt
      {600, 10, {event::stop, false, 2}, 2, attempt_outcome::gave_up},  // a stop is seen at the next check
      {600, 10, {event::stop, true, 1}, 1, attempt_outcome::gave_up},   // and ends a wait
      // Without the restart each run would end after its second attempt; from
      // the earlier time the budget is 25 s again, for two more.
      {25, 10, {event::set_back, false, 2}, 4, attempt_outcome::gave_up},
      {25, 10, {event::set_back, true, 1}, 4, attempt_outcome::gave_up},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "timeout " << c.timeout << " retry " << c.retry << " attempt " << c.h.attempt);
    configure("FEATURE_CONFIG_TIMEOUT=" + std::to_string(c.timeout) + "\n");  // read again on a restart
    planned = c.h, waits = 0, stopping = &state_->stopping;
    state_->stopping.store(0);
    const time_t start = fake_clock;
    std::vector<time_t> times;  // of each attempt, whose step always fails
    const attempt_result r = run_attempt_loop(config_.get(), "CONFIG", {c.timeout, c.retry, 10, 0}, start,
                                              &state_->stopping, 1, [&](size_t) {
                                                times.push_back(fake_clock), happen(false, times.size());
                                                return step_result::failed;
                                              });
    EXPECT_EQ(r.outcome, c.outcome);
    ASSERT_EQ(times.size(), c.attempts);
    for (size_t i = 0; i < times.size(); ++i) {
      const bool set_back = c.h.what == event::set_back && i >= c.h.attempt;
      EXPECT_EQ(times[i], start + 10 * static_cast<time_t>(i) - (set_back ? 3600 : 0)) << i;
    }
    // No wait that cannot be used; a stop ends the wait it comes in.
    EXPECT_EQ(waits, c.attempts - (c.attempts > 0) + (c.h.what == event::stop && c.h.in_wait));
  }
}

TEST(AttemptRetryWait, SpreadIsTheWrappedProductOfRandAndNeverNegative) {
  srand(7);
  int32_t product = static_cast<int32_t>(static_cast<uint32_t>(rand()) * 100u);
  srand(7);
  EXPECT_EQ(attempt_retry_wait(1000, 37), 1000 + product % 37);
  for (int i = 0; i < 2000; ++i) ASSERT_GE(attempt_retry_wait(2, 1000), 0);
}

// The DEVICE_ numbers through their rules (the file count is 16 bits), unset
// keys keeping the last values, and the identity cut to its fields.
using DeviceInfo = FeatureHarness;

TEST_F(DeviceInfo, NumbersBelowOneFallBackUnsetKeysKeepTheLastValuesAndIdentityIsCut) {
  daemon_settings s;
  std::string log_path = "/tmp/udp_client.log";
  auto get_info = [&](const std::string& config) {
    configure(config);
    __udp_client_get_device_info(config_.get(), s.serial, s.model, s.variant, s.firmware, &log_enable,
                                 &s.keepalive_interval, &s.disconnect_timeout, &log_path, &log_file_size,
                                 &log_file_count, &s.black_list_size, &s.interface_update_file);
  };
  for (std::string v : {"65537", "0"}) {  // 0 after another value: back to the defaults
    get_info("DEVICE_KEEPALIVE_INTERVAL=" + v + "\nDEVICE_DISCONNECT_TIMEOUT=" + v + "\nDEVICE_BLACK_LIST_SIZE=" + v +
             "\nDEVICE_LOG_NUM_FILE=" + v + "\n");
    EXPECT_EQ((std::vector<int32_t>{s.keepalive_interval, s.disconnect_timeout, s.black_list_size, log_file_count}),
              (v == "0" ? std::vector<int32_t>{25, 70, 10, 4} : std::vector<int32_t>{65537, 65537, 65537, 1}));
  }
  get_info("DEVICE_LOG_PATH=/var/log/first.log\nDEVICE_LOG_ENABLE=0\nDEVICE_INTERFACE_UPDATE=/tmp/if.up\n"
           "DEVICE_SERIAL=1234-5678-ABCD\nDEVICE_MODEL=ABCDEFGHIJK\nDEVICE_FIRMWARE=10.20.30-build7\n");
  EXPECT_EQ(log_enable.load(), 0);
  EXPECT_EQ(std::string(s.serial) + " " + s.model + " " + s.firmware, "12345678ABCD ABCDEFGH 10.20.30-bu");
  reset_identity_cache();  // without the keys, the device's files
  write("etc/serial.number", "AAAA-BBBB-CCCC\n");
  log_enable.store(1);
  get_info("DEVICE_LOG_PATH=\"\"\n");  // an empty value counts as not set
  EXPECT_EQ(log_path + " " + s.interface_update_file, "/var/log/first.log /tmp/if.up");
  EXPECT_EQ(log_enable.load(), 1);
  EXPECT_STREQ(s.serial, "AAAABBBBCCCC");
}

std::string take(char* p) {
  std::string s = p ? p : "<null>";
  free(p);
  return s;
}

TEST(IspText, TextWithoutUrlGivesNothingAndLongOnesAreCut) {
  std::string many;  // 101 sections: only 100 marks are found, so the 100th runs on over the 101st
  for (int i = 0; i < 100; ++i) many += "CUSTOM_MESSAGE_NAME=\"s" + std::to_string(i) + "\"\n";
  // Which section is chosen from a usual text the worker tests show.
  const std::pair<std::string, const char*> cases[] = {
      {"CUSTOM_MESSAGE_NAME=\"a\"\nX=1\n", "none"},
      {"CUSTOM_MESSAGE_NAME=\"a\"\nISP_DEFAULT_URL=\"", "none"},  // the last section ends before the final character
      // The apply-now line lies beyond the 999 bytes that are looked at.
      {"CUSTOM_MESSAGE_NAME=\"big\"\nISP_DEFAULT_URL=\"http://x\"\n" + std::string(5000, 'p') +
       "\nISP_DEFAULT_APPLY_NOW=\"yes\"\n", "big http://x <null>"},
      {many + "CUSTOM_MESSAGE_NAME=\"late\"\nISP_DEFAULT_URL=\"http://late\"\n\n", "s99 http://late <null>"},
  };
  for (const auto& [text, expected] : cases) {
    char *name = nullptr, *url = nullptr, *now = nullptr;
    // The chosen section as "name url apply-now"; "none": nothing stored.
    const bool found = get_isp_information(text.c_str(), &name, &url, &now) == 1;
    EXPECT_EQ(found ? take(name) + " " + take(url) + " " + take(now) : name || url || now ? "stored" : "none",
              expected) << text.substr(0, 60);
  }
}

TEST(GpsLine, AcceptsFourValuesThatFitTheMessage) {
  const std::pair<const char*, bool> cases[] = {
      {"  1\t1700000000   0.0000019 -0.0000019 trailing words", true},
      {"1 1700000000 2147.48 0", true},
      {"0 0 0 0", true},  // a position without a fix is sent too
      {"1 1700000000 48.5", false},  // three values
      {"1 1700000000 nan 0", false},  // not a number cannot be sent
      {"1 1700000000 2147.483648 0", false},  // beyond a signed 32-bit millionth
      {"1 1700000000 0 -3000", false},
  };
  for (const auto& [line, accepted] : cases) {
    gps_position pos;
    EXPECT_EQ(parse_gps_line(line, &pos), accepted) << line;
  }
}

}  // namespace
