// The one retry rule that every retrying worker follows.
//
// A worker is a short list of steps (fetch, upload, notify, ...). A run makes
// attempts within a time budget: a failed step is retried on a later pass,
// after a wait of AUTO_RETRY_INTERVAL seconds plus a signed random spread,
// and the steps that already succeeded are not repeated. The run gives up at
// the deadline, when the daemon is stopping, or when more attempts failed
// than AUTO_RETRY allows. A clock set back restarts the budget from the new
// time, so a device whose clock jumps does not hang or give up early.
//
// Time is read through vt_time() and waits go through a replaceable sleep,
// so tests drive whole runs without waiting real minutes. The real wait
// ends at once when the agent is told to stop.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>

struct taglist;

// The four settings of one worker, read from FEATURE_<prefix>_TIMEOUT,
// _AUTO_RETRY, _AUTO_RETRY_INTERVAL and _AUTO_RETRY_DELTA (missing = 0).
struct attempt_settings {
  long timeout;     // seconds of budget from the start of the run
  int auto_retry;   // failed attempts that are still retried
  int interval;     // base wait before a retry, seconds
  int delta;        // range of the random spread; 0 = none
};

attempt_settings read_attempt_settings(const taglist* config, const char* prefix);

// FEATURE_<prefix>_TIMEOUT alone (atol; missing = 0).
long read_attempt_timeout(const taglist* config, const char* prefix);

// What one step did.
enum class step_result {
  next,    // succeeded: go on with the next step (the last one ends the run)
  finish,  // succeeded and the run is complete, skipping any later steps
  failed,  // failed: this attempt is over; the next pass retries this step
};

// How a run ended.
enum class attempt_outcome {
  done,      // the last step succeeded, or a step finished the run
  gave_up,   // deadline reached or the daemon is stopping
  used_up,   // more attempts failed than AUTO_RETRY allows
};

struct attempt_result {
  attempt_outcome outcome;
  int failed;  // failed attempts counted in this run
};

// One run. Steps are numbered 0..step_count-1 and run through run_step.
// start_time is the moment the budget counts from (the report worker counts
// from the request; everyone else passes vt_time()). On a clock set back the
// TIMEOUT key of prefix is read again from config.
attempt_result run_attempt_loop(const taglist* config, const char* prefix,
                                const attempt_settings& settings, time_t start_time,
                                const std::atomic<uint32_t>* stopping, size_t step_count,
                                const std::function<step_result(size_t step)>& run_step);

// How the last run in the calling thread ended; false when there was none
// since attempt_loop_forget_outcome().
bool attempt_loop_last_outcome(attempt_outcome* outcome);
void attempt_loop_forget_outcome();

// The retry wait: interval plus (rand()*100 wrapped to 32 bits, signed) rem
// delta. A total below zero waits 0 seconds.
int attempt_retry_wait(int interval, int delta);

// The deadline (vt_time() seconds) of the run going on in the calling
// thread, 0 when none: the commands a step starts are ended when it passes.
time_t attempt_loop_deadline();

// Replaces the wait between attempts (tests advance their clock in it);
// nullptr restores the real wait, which a stop request ends early.
using attempt_sleep_fn = void (*)(unsigned seconds);
void attempt_loop_set_sleep(attempt_sleep_fn fn);
