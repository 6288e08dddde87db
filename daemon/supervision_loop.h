// The entry thread's once-a-second pass while a cycle runs: hands due work
// to the workers, reaps finished action and debug dump threads, reacts to
// the signals and the trigger files, and copes with a clock set back.
#pragma once

#include <cstdint>
#include <ctime>

#include "daemon/status_snapshot.h"
#include "features/daemon_state.h"

// Loop variables; they live across cycles.
struct supervision_vars {
  time_t last_tick;
  uint32_t next_feature;
  time_t next_feature_time;
  int last_debug_mode;
  status_snapshot* status;  // written by every pass; null: no snapshot
  // Per trigger (interface update, config sync, GPS): a name that is no
  // trigger file was logged and is ignored until it is gone.
  bool odd_trigger[3];
};

// One pass without the closing sleep. Returns 1 when the cycle is to be torn
// down (stop requested), else 0.
int __udp_client_supervision_pass(daemon_state* state, daemon_settings* settings,
                                  supervision_vars* vars);

// Passes once a second until a stop is requested.
void __udp_client_supervision_loop(daemon_state* state, daemon_settings* settings,
                                   supervision_vars* vars);
