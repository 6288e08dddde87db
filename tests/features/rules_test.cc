// The rules the workers share or read: the attempt loop, the daemon's
// DEVICE_ settings and identity, the extension text and the GPS line.
#include "feature_harness.h"
#include "features/gps_line.h"
#include "features/isp_extension.h"

namespace {

// What happens during the next retry wait: the clock is set back, or the
// daemon starts stopping.
std::atomic<bool> set_back_in_next_wait{false};
std::atomic<std::atomic<uint32_t>*> stop_in_next_wait{nullptr};

void sleep_with_events(unsigned seconds) {
  fake_clock += static_cast<time_t>(seconds) - (set_back_in_next_wait.exchange(false) ? 3600 : 0);
  if (auto* stopping = stop_in_next_wait.exchange(nullptr)) stopping->store(1);
}

class AttemptLoop : public FeatureHarness {
 protected:
  // A one-step run whose step always fails, recording the clock at each
  // attempt; during_step(n) runs inside attempt n.
  attempt_result run(const attempt_settings& s, const std::function<void(size_t)>& during_step = nullptr) {
    times_.clear();
    return run_attempt_loop(config_.get(), "CONFIG", s, fake_clock, &state_->stopping, 1, [&](size_t) {
      times_.push_back(fake_clock);
      if (during_step) during_step(times_.size());
      return step_result::failed;
    });
  }
  std::vector<time_t> times_;
};

TEST_F(AttemptLoop, AttemptsFollowBudgetAndRetryCount) {
  const struct {
    long timeout; int retry;
    size_t stop_in, attempts;  // stop_in: the attempt during which the daemon starts stopping
    attempt_outcome outcome;
  } cases[] = {
      {100, 2, 0, 3, attempt_outcome::used_up},  // three attempts, 10 s apart
      {20, 2, 0, 2, attempt_outcome::gave_up},   // a wait ending at the deadline is not started
      {21, 2, 0, 3, attempt_outcome::used_up},
      {0, 2, 0, 0, attempt_outcome::gave_up},    // TIMEOUT missing: nothing runs
      {100, 0, 0, 1, attempt_outcome::used_up},
      {100, -3, 0, 1, attempt_outcome::used_up}, // negative retry count: one attempt
      {600, 10, 2, 2, attempt_outcome::gave_up}, // a stop is seen at the next check
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "timeout " << c.timeout << " retry " << c.retry);
    time_t start = fake_clock;
    size_t waits = fake_waits.size();
    state_->stopping.store(0);
    EXPECT_EQ(run({c.timeout, c.retry, 10, 0}, [&](size_t n) { state_->stopping.store(n == c.stop_in); }).outcome,
              c.outcome);
    ASSERT_EQ(times_.size(), c.attempts);
    EXPECT_EQ(fake_waits.size() - waits, c.attempts ? c.attempts - 1 : 0);  // no wait that cannot be used
    for (size_t i = 0; i < times_.size(); ++i) EXPECT_EQ(times_[i], start + 10 * static_cast<time_t>(i));
  }
}

TEST_F(AttemptLoop, ClockSetBackRestartsTheBudgetAndAStopInAWaitEndsTheRun) {
  configure("FEATURE_CONFIG_TIMEOUT=25\n");  // read again on the restart
  const time_t s = fake_clock;
  // Without the restart each run would end after its second attempt; from
  // the earlier time the budget is 25 s again, for two more. Set back
  // during a step, then during a wait.
  EXPECT_EQ(run({25, 10, 10, 0}, [](size_t n) { if (n == 2) fake_clock -= 3600; }).outcome, attempt_outcome::gave_up);
  EXPECT_EQ(times_, (std::vector<time_t>{s, s + 10, s + 20 - 3600, s + 30 - 3600}));
  fake_clock = s;
  attempt_loop_set_sleep(sleep_with_events);
  set_back_in_next_wait = true;
  EXPECT_EQ(run({25, 10, 10, 0}).outcome, attempt_outcome::gave_up);
  EXPECT_EQ(times_, (std::vector<time_t>{s, s + 10 - 3600, s + 20 - 3600, s + 30 - 3600}));
  stop_in_next_wait = &state_->stopping;
  EXPECT_EQ(run({600, 10, 10, 0}).outcome, attempt_outcome::gave_up);
  EXPECT_EQ(times_.size(), 1u);
}

TEST(AttemptRetryWait, SpreadIsTheWrappedProductOfRandAndNeverNegative) {
  srand(7);
  int32_t product = static_cast<int32_t>(static_cast<uint32_t>(rand()) * 100u);
  srand(7);
  EXPECT_EQ(attempt_retry_wait(1000, 37), 1000 + product % 37);
  for (int i = 0; i < 2000; ++i) ASSERT_GE(attempt_retry_wait(2, 1000), 0);
  EXPECT_EQ(attempt_retry_wait(5, 1), 5);
}

class DeviceInfo : public FeatureHarness {
 protected:
  void get_info(const std::string& config) {
    configure(config);
    __udp_client_get_device_info(config_.get(), s.serial, s.model, s.variant, s.firmware, &log_enable,
                                 &s.keepalive_interval, &s.disconnect_timeout, &log_path, &log_file_size,
                                 &log_file_count, &s.black_list_size, &s.interface_update_file);
  }
  daemon_settings s;
  std::string log_path = "/tmp/udp_client.log";
};

TEST_F(DeviceInfo, NumbersBelowOneFallBackToDefaults) {
  const struct { const char* value; int32_t keepalive, disconnect, black_list; int16_t files; } cases[] = {
      {"0", 25, 70, 10, 4},      {"-5", 25, 70, 10, 4},                {"abc", 25, 70, 10, 4},
      {"  42x", 42, 42, 42, 42}, {"65536", 65536, 65536, 65536, 4},  // 16 bits: 0 -> 4
      {"65537", 65537, 65537, 65537, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    std::string v = c.value;
    s.keepalive_interval = s.disconnect_timeout = s.black_list_size = 1;
    get_info("DEVICE_KEEPALIVE_INTERVAL=" + v + "\nDEVICE_DISCONNECT_TIMEOUT=" + v + "\nDEVICE_BLACK_LIST_SIZE=" + v +
             "\nDEVICE_LOG_NUM_FILE=" + v + "\n");
    EXPECT_EQ((std::vector<int32_t>{s.keepalive_interval, s.disconnect_timeout, s.black_list_size, log_file_count}),
              (std::vector<int32_t>{c.keepalive, c.disconnect, c.black_list, c.files}));
  }
}

TEST_F(DeviceInfo, UnsetKeysKeepTheLastValuesAndIdentityIsCutToItsFields) {
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
      {"1 1700000000 48.5 -10.25\n", true},
      {"  1\t1700000000   0.0000019 -0.0000019 trailing words", true},
      {"1 1700000000 2147.48 0", true},
      {"0 0 0 0", true},  // a position without a fix is sent too
      {"1 1700000000 48.5", false},  // three values
      {"gps: 1 1700000000 48.5 -10.25", false},
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
