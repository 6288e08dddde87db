// How each feature last ran, for the status snapshot: when its last run
// started and ended and how it ended. Kept for the whole process, so a
// reload (a new cycle) does not wipe what support wants to see.
//
// A run is marked by a feature_run object on the thread that carries it
// out. Unless told otherwise, the run's result is read from the attempt loop
// of that thread: its last run done = succeeded, cut off by a stop =
// stopped, any other end (deadline, attempts used up) or no run at all =
// failed.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

#include "features/daemon_state.h"

enum class feature_result : uint8_t {
  none,       // never ran since the agent started
  running,
  succeeded,
  failed,
  refused,    // the last request was not taken: switched off, worker busy, one already running
  stopped,    // ended by a stop (SIGTERM, SIGHUP)
};

struct feature_record {
  time_t last_start = 0;  // 0 = never
  time_t last_end = 0;    // end of the last run, or when the last request was refused
  feature_result result = feature_result::none;
};

// The name of a result as the snapshot writes it ("succeeded", ...).
const char* feature_result_name(feature_result result);

// Marks one run of feature id on the calling thread, from construction to
// destruction.
class feature_run {
 public:
  feature_run(uint32_t id, const std::atomic<uint32_t>* stopping);
  ~feature_run();
  feature_run(const feature_run&) = delete;
  feature_run& operator=(const feature_run&) = delete;

  // The run's result, in place of the one read from the attempt loop.
  void set_result(feature_result result) { result_ = result; }

 private:
  uint32_t id_;
  const std::atomic<uint32_t>* stopping_;
  feature_result result_ = feature_result::none;
};

// A request for feature id that was not taken. A running feature keeps its
// record; the refusal is not what it is doing.
void feature_refused(uint32_t id);

// Copies the records of all features; returns a number that changes
// whenever any of them changes.
uint32_t read_feature_records(feature_record records[FEATURE_ID_COUNT]);
