// What the daemon's threads share.
//
// daemon_settings survive from one start-up cycle to the next (identity texts,
// channel timing, trigger files). daemon_state ties one cycle together: the
// channel client, the configuration, the four workers (features/worker.h:
// feature and report for the whole cycle, remote action and debug dump on
// demand) and the schedule. A new daemon_state is built for every cycle, so
// every field starts at zero.
//
// Each worker reaches the state through its own argument record: the first
// four words mean the same in every record (state, configuration, stop flag,
// the worker itself with its flags, lock, condition and buffer).
#pragma once

#include <array>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <string>

#include "features/feature_ids.h"
#include "features/worker.h"
#include "features/workers.h"

struct taglist;
struct vantor_udp_client;
struct daemon_state;

// Process-wide flags set by the signal handlers and read by the entry
// point's thread. Lock-free atomics, so a signal handler may store them.
// (The log settings and debug_mode live with the logger, platform/log.h.)
extern std::atomic<int> event_log_requested;  // SIGUSR1: upload the event spool
extern std::atomic<int> stop_requested;       // end the supervision loop
extern std::atomic<int> exit_after_stop;      // after a teardown: leave the process

// Settings of the entry point that live for the whole process. The
// constructor sets the start-up defaults.
struct daemon_settings {
  char serial[26] = {};    // packed serial (convert_serial_packed)
  char model[9] = {};
  char variant[9] = {};
  char firmware[12] = {};
  int32_t keepalive_interval = 25;
  int32_t disconnect_timeout = 70;
  int32_t black_list_size = 10;
  std::string interface_update_file;  // default system_path("/tmp/interface.update")
  feature_trigger config_trigger;     // default file system_path("/tmp/syncConfig.now")
  feature_trigger gps_trigger;        // same default
  uint32_t statistics_interval = 3600;

  daemon_settings();
};

// What every worker's argument record starts with.
struct worker_param {
  daemon_state* state;
  taglist* const* config;
  const std::atomic<uint32_t>* stopping;
  worker* self;  // busy, request and finished flags, lock, condition, buffer
};

// Argument records of the feature worker, the report worker (whose request
// is never read) and a debug dump thread.
struct feature_param : worker_param {};
struct report_param : worker_param {};
struct debug_dump_param : worker_param {};

// Argument record of a remote action thread; self's buffer holds the
// command line to run.
struct action_param : worker_param {
  const uint32_t* request_id;  // echoed to the server with the output
};

// The record of one cycle, in this field order. Build a fresh one per cycle
// (every field starts at zero); the threads must have been joined before it
// is destroyed.
struct daemon_state {
  vantor_udp_client* client = nullptr;
  taglist* config = nullptr;
  std::atomic<uint32_t> stopping{0};
  uint32_t action_request_id = 0;

  worker feature_worker{__udp_client_feature_thread_main, &feature, "Feature thread joined", nullptr};
  feature_param feature = {};
  worker report_worker{__udp_client_report_thread_main, &report, "Report thread joined", nullptr};
  report_param report = {};
  worker action_worker{__udp_client_action_thread_main, &action, nullptr, "Action finish"};
  action_param action = {};
  worker debug_dump_worker{__udp_client_debug_dump_thread_main, &debug_dump, nullptr, "Debug dump finish"};
  debug_dump_param debug_dump = {};

  char* event_log_buffer = nullptr;

  // Next automatic start of each feature, seconds since the epoch; 0 = none.
  time_t schedule[FEATURE_ID_COUNT] = {};

  // Every worker, in the order the teardown joins them.
  std::array<worker*, 4> workers() { return {&feature_worker, &report_worker, &action_worker, &debug_dump_worker}; }
};

// Fills the identity texts and replaces every in/out setting whose
// DEVICE_ key is set (non-empty) in the configuration; unset keys keep the
// previous value. The log settings are the logger's own (platform/log.h);
// the log file path is handed in as a copy (get_log_file_path()) and put in
// force by the caller with set_log_file_path().
void __udp_client_get_device_info(const taglist* config, char* serial, char* model,
                                  char* variant, char* firmware, std::atomic<int>* log_enable,
                                  int32_t* keepalive_interval, int32_t* disconnect_timeout,
                                  std::string* log_file_path,
                                  std::atomic<uint32_t>* log_file_size,
                                  std::atomic<int16_t>* log_file_count, int32_t* black_list_size,
                                  std::string* interface_update_file);

// Zero the record and point it at the state and the record's worker.
void __udp_client_init_feature_param(feature_param* param, daemon_state* state);
void __udp_client_init_report_param(report_param* param, daemon_state* state);
void __udp_client_init_action_param(action_param* param, daemon_state* state);
void __udp_client_init_debug_dump_param(debug_dump_param* param, daemon_state* state);
