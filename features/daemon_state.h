// What the daemon's threads share.
//
// daemon_settings survive from one start-up cycle to the next (identity texts,
// channel timing, trigger files). daemon_state ties one cycle together: the
// channel client, the configuration, the two long-lived workers (feature and
// report) with their hand-over flags, the action and debug dump threads, and
// the schedule. A new daemon_state is built for every cycle, so every field
// starts at zero.
//
// Each worker reaches the state through its own argument record, which holds
// pointers to the fields it uses. The first four words mean the same in every
// record (state, configuration, stop flag, the worker's finished flag).
//
// Hand-over protocol: under the worker's mutex the requester tests the busy
// flag and only when it is 0 sets it (and, for the feature worker, the
// request id) and signals the condition. A request that finds the worker busy
// is refused, never queued. The requester also sets the worker's requested
// flag, which the worker clears only when it takes the request (so a request
// posted before the worker first waits is not lost), and the worker clears
// busy when it is done and goes back to waiting.
#pragma once

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>

#include "features/feature_ids.h"

struct taglist;
struct vantor_udp_client;
struct daemon_state;

// Size of each of the four work buffers of a cycle.
constexpr size_t DAEMON_BUFFER_SIZE = 65536;

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

// Argument record of the feature worker (9 words, then the requested flag).
struct feature_param {
  daemon_state* state;
  taglist* const* config;
  const std::atomic<uint32_t>* stopping;
  std::atomic<uint32_t>* exited;
  uint32_t* busy;               // guarded by *mutex
  std::condition_variable* cond;
  std::mutex* mutex;
  uint32_t* request;            // guarded by *mutex
  char* buffer;                 // DAEMON_BUFFER_SIZE bytes
  uint32_t* requested;          // guarded by *mutex: handed over, not yet taken
};

// Argument record of the report worker: the shape of feature_param, without
// a request field (request is always null).
struct report_param {
  daemon_state* state;
  taglist* const* config;
  const std::atomic<uint32_t>* stopping;
  std::atomic<uint32_t>* exited;
  uint32_t* busy;
  std::condition_variable* cond;
  std::mutex* mutex;
  uint32_t* request;
  char* buffer;
  uint32_t* requested;
};

// Argument record of a remote action thread (7 words).
struct action_param {
  daemon_state* state;
  taglist* const* config;
  const std::atomic<uint32_t>* stopping;
  std::atomic<uint32_t>* done;
  std::mutex* mutex;
  char* buffer;                 // the command line to run
  const uint32_t* request_id;   // echoed to the server with the output
};

// Argument record of a debug dump thread (4 words).
struct debug_dump_param {
  daemon_state* state;
  taglist* const* config;
  const std::atomic<uint32_t>* stopping;
  std::atomic<uint32_t>* done;
};

// The record of one cycle, in this field order. Build a fresh one per cycle
// (every field starts at zero); the threads must have been joined before it
// is destroyed.
struct daemon_state {
  vantor_udp_client* client = nullptr;
  taglist* config = nullptr;
  std::atomic<uint32_t> stopping{0};
  uint32_t action_request_id = 0;

  std::thread feature_thread;
  feature_param feature = {};
  std::atomic<uint32_t> feature_exited{0};
  uint32_t feature_busy = 0;
  uint32_t feature_request = 0;
  uint32_t feature_requested = 0;  // set with busy by a requester, cleared when the worker takes it
  std::mutex feature_mutex;
  std::condition_variable feature_cond;
  char* feature_buffer = nullptr;

  std::thread report_thread;
  report_param report = {};
  std::atomic<uint32_t> report_exited{0};
  uint32_t report_busy = 0;
  uint32_t report_requested = 0;  // as feature_requested
  std::condition_variable report_cond;
  std::mutex report_mutex;
  char* report_buffer = nullptr;

  std::thread action_thread;  // not joinable = none
  action_param action = {};
  std::atomic<uint32_t> action_done{0};
  std::mutex action_mutex;
  char* action_buffer = nullptr;

  std::thread debug_dump_thread;  // not joinable = none
  debug_dump_param debug_dump = {};
  std::atomic<uint32_t> debug_dump_done{0};
  std::mutex debug_dump_mutex;

  char* event_log_buffer = nullptr;

  // Next automatic start of each feature, seconds since the epoch; 0 = none.
  time_t schedule[FEATURE_ID_COUNT] = {};
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

// Zero the record and point it at the state's fields. Run after the cycle's
// buffers were allocated: the buffer words are copies of the pointers.
void __udp_client_init_feature_param(feature_param* param, daemon_state* state);
void __udp_client_init_report_param(report_param* param, daemon_state* state);
void __udp_client_init_action_param(action_param* param, daemon_state* state);
void __udp_client_init_debug_dump_param(debug_dump_param* param, daemon_state* state);
