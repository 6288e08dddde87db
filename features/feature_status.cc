#include "features/feature_status.h"

#include <mutex>

#include "features/attempt_loop.h"
#include "platform/clock.h"
#include "platform/stop.h"

namespace {

std::mutex records_mutex;
feature_record records[FEATURE_ID_COUNT];
uint32_t changes = 0;

feature_result result_of_attempts(const std::atomic<uint32_t>* stopping) {
  attempt_outcome outcome;
  if (!attempt_loop_last_outcome(&outcome)) return feature_result::failed;
  if (outcome == attempt_outcome::done) return feature_result::succeeded;
  const bool stopped = (stopping != nullptr && stopping->load() != 0) || vt_stop_requested();
  return outcome == attempt_outcome::gave_up && stopped ? feature_result::stopped
                                                        : feature_result::failed;
}

}  // namespace

const char* feature_result_name(feature_result result) {
  switch (result) {
    case feature_result::running: return "running";
    case feature_result::succeeded: return "succeeded";
    case feature_result::failed: return "failed";
    case feature_result::refused: return "refused";
    case feature_result::stopped: return "stopped";
    default: return "none";
  }
}

feature_run::feature_run(uint32_t id, const std::atomic<uint32_t>* stopping)
    : id_(id < FEATURE_ID_COUNT ? id : FEATURE_ID_COUNT), stopping_(stopping) {
  attempt_loop_forget_outcome();
  if (id_ == FEATURE_ID_COUNT) return;
  std::lock_guard<std::mutex> lock(records_mutex);
  records[id_].last_start = vt_time();
  records[id_].result = feature_result::running;
  ++changes;
}

feature_run::~feature_run() {
  if (id_ == FEATURE_ID_COUNT) return;
  const feature_result result = result_ != feature_result::none ? result_ : result_of_attempts(stopping_);
  std::lock_guard<std::mutex> lock(records_mutex);
  records[id_].last_end = vt_time();
  records[id_].result = result;
  ++changes;
}

void feature_refused(uint32_t id) {
  if (id >= FEATURE_ID_COUNT) return;
  std::lock_guard<std::mutex> lock(records_mutex);
  if (records[id].result == feature_result::running) return;
  records[id].last_end = vt_time();
  records[id].result = feature_result::refused;
  ++changes;
}

uint32_t read_feature_records(feature_record out[FEATURE_ID_COUNT]) {
  std::lock_guard<std::mutex> lock(records_mutex);
  for (uint32_t i = 0; i < FEATURE_ID_COUNT; ++i) out[i] = records[i];
  return changes;
}
