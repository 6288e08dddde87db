#include "features/attempt_loop.h"

#include <unistd.h>

#include <cstdlib>

#include "features/config_read.h"
#include "platform/clock.h"
#include "platform/stop.h"

namespace {

// The retry wait ends early only for a stop, which the loop then sees.
void stoppable_sleep(unsigned seconds) {
  vt_wait_for_stop(std::chrono::seconds(seconds));
}

// The deadline of the run going on in this thread, for the commands its
// steps start; 0 outside a run.
thread_local time_t running_deadline = 0;

// Sets running_deadline for the life of a run.
class deadline_scope {
 public:
  explicit deadline_scope(time_t deadline) : saved_(running_deadline) {
    running_deadline = deadline;
  }
  void update(time_t deadline) { running_deadline = deadline; }
  ~deadline_scope() { running_deadline = saved_; }

 private:
  time_t saved_;
};

std::atomic<attempt_sleep_fn> installed_sleep{nullptr};

void attempt_sleep(unsigned seconds) {
  attempt_sleep_fn fn = installed_sleep.load(std::memory_order_acquire);
  (fn ? fn : stoppable_sleep)(seconds);
}

// The worker's own flag, or a stop of the whole process (which may come
// before the cycle's teardown sets the flag).
bool is_stopping(const std::atomic<uint32_t>* stopping) {
  return (stopping != nullptr && stopping->load() != 0) || vt_stop_requested();
}

}  // namespace

time_t attempt_loop_deadline() { return running_deadline; }

void attempt_loop_set_sleep(attempt_sleep_fn fn) {
  installed_sleep.store(fn, std::memory_order_release);
}

long read_attempt_timeout(const taglist* config, const char* prefix) {
  return atol(feature_text(config, prefix, "TIMEOUT"));
}

attempt_settings read_attempt_settings(const taglist* config, const char* prefix) {
  attempt_settings s;
  s.timeout = read_attempt_timeout(config, prefix);
  s.auto_retry = atoi(feature_text(config, prefix, "AUTO_RETRY"));
  s.interval = atoi(feature_text(config, prefix, "AUTO_RETRY_INTERVAL"));
  s.delta = atoi(feature_text(config, prefix, "AUTO_RETRY_DELTA"));
  return s;
}

int attempt_retry_wait(int interval, int delta) {
  long long wait = interval;
  if (delta != 0) {
    // The spread is computed in 32-bit two's complement, as the devices in the
    // field do, so a fleet spreads the same way whatever the build.
    int32_t product = static_cast<int32_t>(static_cast<uint32_t>(rand()) * 100u);
    // rem by -1 is 0, but INT_MIN % -1 would trap.
    int32_t spread = (delta == -1) ? 0 : product % delta;
    wait += spread;
  }
  // A spread larger than the interval can make the total negative; sleep()
  // has no meaning for that, so retry at once instead.
  if (wait < 0) wait = 0;
  return static_cast<int>(wait);
}

namespace {

// How the last run of this thread ended, for the feature's status record.
thread_local bool has_last_outcome = false;
thread_local attempt_outcome last_outcome = attempt_outcome::done;

attempt_result run_attempts(const taglist* config, const char* prefix,
                            const attempt_settings& settings, time_t start_time,
                            const std::atomic<uint32_t>* stopping, size_t step_count,
                            const std::function<step_result(size_t step)>& run_step) {
  time_t last_seen = start_time;
  time_t deadline = start_time + settings.timeout;
  int failed = 0;
  size_t step = 0;
  deadline_scope scope(deadline);

  for (;;) {
    time_t now = vt_time();
    if (failed > 0) {
      int wait = attempt_retry_wait(settings.interval, settings.delta);
      // A clock set back while a step ran restarts the budget too, not only
      // one set back during the wait.
      if (now < last_seen) deadline = now + read_attempt_timeout(config, prefix);
      scope.update(deadline);
      last_seen = now;
      // No wait is started that would end at or after the deadline.
      if (now >= deadline || is_stopping(stopping) || now + wait >= deadline) {
        return {attempt_outcome::gave_up, failed};
      }
      attempt_sleep(static_cast<unsigned>(wait));
    }

    now = vt_time();
    if (now >= deadline || is_stopping(stopping)) return {attempt_outcome::gave_up, failed};

    if (now < last_seen) {
      // The clock was set back: the budget counts again from the new time.
      last_seen = now;
      deadline = now + read_attempt_timeout(config, prefix);
      scope.update(deadline);
    }

    for (;;) {
      if (step >= step_count) return {attempt_outcome::done, failed};
      step_result r = run_step(step);
      if (r == step_result::finish) return {attempt_outcome::done, failed};
      if (r == step_result::failed) break;
      ++step;
    }
    ++failed;
    // A step cut off by a stop did not fail on its own: the run gives up,
    // and a worker that reports used-up attempts does not report this one.
    if (is_stopping(stopping)) return {attempt_outcome::gave_up, failed};
    if (failed > settings.auto_retry) return {attempt_outcome::used_up, failed};
  }
}

}  // namespace

attempt_result run_attempt_loop(const taglist* config, const char* prefix,
                                const attempt_settings& settings, time_t start_time,
                                const std::atomic<uint32_t>* stopping, size_t step_count,
                                const std::function<step_result(size_t step)>& run_step) {
  const attempt_result result =
      run_attempts(config, prefix, settings, start_time, stopping, step_count, run_step);
  has_last_outcome = true;
  last_outcome = result.outcome;
  return result;
}

bool attempt_loop_last_outcome(attempt_outcome* outcome) {
  if (has_last_outcome) *outcome = last_outcome;
  return has_last_outcome;
}

void attempt_loop_forget_outcome() { has_last_outcome = false; }
