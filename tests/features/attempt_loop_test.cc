// The retry rule every worker shares: budget, retry count, waits, clock
// set back, stop.
#include <atomic>
#include <functional>
#include <vector>

#include "feature_harness.h"
#include "features/attempt_loop.h"

namespace {

// What happens during the next retry wait: the clock is set back, or the
// daemon starts stopping.
std::atomic<bool> set_back_in_next_wait{false};
std::atomic<std::atomic<uint32_t>*> stop_in_next_wait{nullptr};

void sleep_with_events(unsigned seconds) {
  set_fake_now(fake_now() + seconds - (set_back_in_next_wait.exchange(false) ? 3600 : 0));
  if (auto* stopping = stop_in_next_wait.exchange(nullptr)) stopping->store(1);
}

class AttemptLoop : public FeatureHarness {
 protected:
  // A one-step run whose step always fails, recording the clock at each
  // attempt; during_step(n) runs inside attempt n.
  attempt_result run(const attempt_settings& s, const std::function<void(size_t)>& during_step = nullptr) {
    times_.clear();
    return run_attempt_loop(config_.get(), "CONFIG", s, fake_now(), &state_->stopping, 1, [&](size_t) {
      times_.push_back(fake_now());
      if (during_step) during_step(times_.size());
      return step_result::failed;
    });
  }
  std::vector<time_t> times_;
};

TEST_F(AttemptLoop, AttemptsFollowBudgetAndRetryCount) {
  const struct {
    long timeout;
    int retry;
    size_t stop_in, attempts;  // stop_in: the attempt during which the daemon starts stopping
    attempt_outcome outcome;
  } cases[] = {
      {100, 2, 0, 3, attempt_outcome::used_up},  // three attempts, 10 s apart
      {15, 2, 0, 2, attempt_outcome::gave_up},   // second wait would end after the deadline
      {20, 2, 0, 2, attempt_outcome::gave_up},   // a wait ending at the deadline is not started
      {21, 2, 0, 3, attempt_outcome::used_up},
      {0, 2, 0, 0, attempt_outcome::gave_up},    // TIMEOUT missing: nothing runs
      {100, 0, 0, 1, attempt_outcome::used_up},
      {100, -3, 0, 1, attempt_outcome::used_up}, // negative retry count: one attempt
      {600, 10, 2, 2, attempt_outcome::gave_up}, // a stop is seen at the next check
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "timeout " << c.timeout << " retry " << c.retry);
    time_t start = fake_now();
    size_t waits = fake_waits().size();
    state_->stopping.store(0);
    EXPECT_EQ(run({c.timeout, c.retry, 10, 0}, [&](size_t n) { state_->stopping.store(n == c.stop_in); }).outcome,
              c.outcome);
    ASSERT_EQ(times_.size(), c.attempts);
    EXPECT_EQ(fake_waits().size() - waits, c.attempts ? c.attempts - 1 : 0);  // no wait that cannot be used
    for (size_t i = 0; i < times_.size(); ++i) EXPECT_EQ(times_[i], start + 10 * static_cast<time_t>(i));
  }
}

TEST_F(AttemptLoop, ClockSetBackDuringStepOrWaitRestartsBudgetFromNewTime) {
  configure("FEATURE_CONFIG_TIMEOUT=25\n");  // read again on the restart
  const time_t s = fake_now();
  // Without the restart each run would end after its second attempt; from
  // the earlier time the budget is 25 s again, for two more.
  EXPECT_EQ(run({25, 10, 10, 0}, [](size_t n) { if (n == 2) set_fake_now(fake_now() - 3600); }).outcome,
            attempt_outcome::gave_up);
  EXPECT_EQ(times_, (std::vector<time_t>{s, s + 10, s + 20 - 3600, s + 30 - 3600}));

  set_fake_now(s);
  attempt_loop_set_sleep(sleep_with_events);
  set_back_in_next_wait = true;
  EXPECT_EQ(run({25, 10, 10, 0}).outcome, attempt_outcome::gave_up);
  EXPECT_EQ(times_, (std::vector<time_t>{s, s + 10 - 3600, s + 20 - 3600, s + 30 - 3600}));
}

TEST_F(AttemptLoop, StopDuringAWaitEndsTheRunBeforeTheNextAttempt) {
  attempt_loop_set_sleep(sleep_with_events);
  stop_in_next_wait = &state_->stopping;
  EXPECT_EQ(run({600, 10, 10, 0}).outcome, attempt_outcome::gave_up);
  EXPECT_EQ(times_.size(), 1u);
}

TEST_F(AttemptLoop, RetryWaitSpreadFollowsWrappedProductOfRandAndIsNeverNegative) {
  srand(7);
  int32_t product = static_cast<int32_t>(static_cast<uint32_t>(rand()) * 100u);
  srand(7);
  EXPECT_EQ(attempt_retry_wait(1000, 37), 1000 + product % 37);
  for (int i = 0; i < 2000; ++i) {
    ASSERT_GE(attempt_retry_wait(2, 1000), 0);
    ASSERT_EQ(attempt_retry_wait(5, 1), 5);
  }
}

}  // namespace
