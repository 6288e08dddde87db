// The retry rule every worker shares: budget, retry count, waits, clock
// set back, stop.
#include <atomic>
#include <vector>

#include "feature_harness.h"
#include "features/attempt_loop.h"

namespace {

class AttemptLoop : public FeatureHarness {
 protected:
  // Runs a one-step loop whose step always fails, recording the clock at each attempt.
  attempt_result run(const attempt_settings& s) {
    times_.clear();
    return run_attempt_loop(config_.get(), "CONFIG", s, fake_now(), &state_->stopping, 1, [&](size_t) {
      times_.push_back(fake_now());
      return step_result::failed;
    });
  }
  std::vector<time_t> times_;
};

TEST_F(AttemptLoop, AttemptsFollowBudgetAndRetryCount) {
  const struct {
    long timeout;
    int retry, interval, delta;
    size_t attempts;
    attempt_outcome outcome;
  } cases[] = {
      {100, 2, 10, 0, 3, attempt_outcome::used_up},  // three attempts, 10 s apart
      {15, 2, 10, 0, 2, attempt_outcome::gave_up},   // second wait would end after the deadline
      {20, 2, 10, 0, 2, attempt_outcome::gave_up},   // a wait ending at the deadline is not started
      {21, 2, 10, 0, 3, attempt_outcome::used_up},
      {0, 2, 10, 0, 0, attempt_outcome::gave_up},    // TIMEOUT missing: nothing runs
      {100, 0, 10, 0, 1, attempt_outcome::used_up},
      {100, -3, 10, 0, 1, attempt_outcome::used_up}, // negative retry count: one attempt
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "timeout " << c.timeout << " retry " << c.retry);
    time_t start = fake_now();
    attempt_result r = run({c.timeout, c.retry, c.interval, c.delta});
    EXPECT_EQ(times_.size(), c.attempts);
    EXPECT_EQ(r.outcome, c.outcome);
    for (size_t i = 0; i < times_.size(); ++i) EXPECT_EQ(times_[i], start + 10 * static_cast<time_t>(i));
  }
}

TEST_F(AttemptLoop, SuccessEndsRunAndFailedStepIsRetriedAlone) {
  std::vector<size_t> steps;
  int sync_failures = 2;
  attempt_result r = run_attempt_loop(config_.get(), "CONFIG", {600, 5, 3, 0}, fake_now(),
                                      &state_->stopping, 3, [&](size_t n) {
                                        steps.push_back(n);
                                        if (n == 1 && sync_failures-- > 0) return step_result::failed;
                                        return step_result::next;
                                      });
  EXPECT_EQ(r.outcome, attempt_outcome::done);
  EXPECT_EQ(r.failed, 2);
  EXPECT_EQ(steps, (std::vector<size_t>{0, 1, 1, 1, 2}));
  EXPECT_EQ(fake_waits(), (std::vector<unsigned>{3, 3}));
}

TEST_F(AttemptLoop, ClockSetBackRestartsBudgetFromNewTime) {
  configure("FEATURE_CONFIG_TIMEOUT=25\n");  // read again on the restart
  int attempts = 0;
  time_t start = fake_now();
  attempt_result r = run_attempt_loop(config_.get(), "CONFIG", {25, 10, 10, 0}, start,
                                      &state_->stopping, 1, [&](size_t) {
                                        if (++attempts == 2) set_fake_now(fake_now() - 3600);
                                        return step_result::failed;
                                      });
  // Without the restart the run would end after the second attempt. From
  // the earlier time the budget is 25 s again: two more attempts.
  EXPECT_EQ(attempts, 4);
  EXPECT_EQ(r.outcome, attempt_outcome::gave_up);
  EXPECT_LT(fake_now(), start);
}

TEST_F(AttemptLoop, StoppingEndsRunAtNextCheck) {
  int attempts = 0;
  attempt_result r = run_attempt_loop(config_.get(), "CONFIG", {600, 10, 1, 0}, fake_now(),
                                      &state_->stopping, 1, [&](size_t) {
                                        if (++attempts == 2) state_->stopping.store(1);
                                        return step_result::failed;
                                      });
  EXPECT_EQ(attempts, 2);
  EXPECT_EQ(r.outcome, attempt_outcome::gave_up);
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

std::atomic<int> sleeps_before_set_back{0};

void sleep_that_sets_clock_back(unsigned seconds) {
  set_fake_now(fake_now() + seconds);
  if (--sleeps_before_set_back == 0) set_fake_now(fake_now() - 3600);
}

TEST_F(AttemptLoop, ClockSetBackDuringWaitRestartsBudget) {
  configure("FEATURE_CONFIG_TIMEOUT=25\n");
  attempt_loop_set_sleep(sleep_that_sets_clock_back);
  sleeps_before_set_back = 1;
  time_t start = fake_now();
  attempt_result r = run({25, 10, 10, 0});
  // From start+10-3600 the budget is 25 s again: attempts there and 10 and
  // 20 s later; the next wait would reach the new deadline.
  ASSERT_EQ(times_.size(), 4u);
  EXPECT_EQ(times_[1], start + 10 - 3600);
  EXPECT_EQ(times_[3], start + 30 - 3600);
  EXPECT_EQ(r.outcome, attempt_outcome::gave_up);
}

}  // namespace
