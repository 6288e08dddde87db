// The supervision loop.
#include "daemon/supervision_loop.h"

#include <sys/stat.h>
#include <unistd.h>

#include "channel/vantor_udp_client.h"
#include "features/scheduler.h"
#include "features/event_log.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/stop.h"

namespace {

void request_report(daemon_state* state, time_t now) {
  if (now < state->schedule[FEATURE_ID_REPORT]) return;
  if (__udp_client_feature_support(state->config, FEATURE_ID_REPORT) &&
      state->report_worker.post(FEATURE_ID_REPORT)) {
    __udp_client_update_schedule(FEATURE_ID_REPORT, state->config, state->schedule);
  }
}

void request_due_feature(daemon_state* state, supervision_vars* vars, time_t now) {
  if (!__udp_client_smallest_feature_start_time(state->schedule, &vars->next_feature,
                                                &vars->next_feature_time)) {
    return;
  }
  if (now < vars->next_feature_time) return;
  const uint32_t id = vars->next_feature;
  if (!__udp_client_feature_support(state->config, id)) {
    // An unsupported feature would stay the earliest entry for ever and keep
    // every later feature from running; it will never run, so drop it.
    state->schedule[id] = 0;
    return;
  }
  // A busy worker leaves the entry due; it is tried again on the next pass.
  if (state->feature_worker.post(id)) {
    __udp_client_update_schedule(id, state->config, state->schedule);
  }
}

// Consumes a trigger file: true when a regular file was there and is now
// deleted. The names lie in the shared /tmp: whatever else holds one (a
// directory, a FIFO, a socket, a link) or a file that cannot be deleted
// would otherwise fire again on every pass, for ever. It is logged once
// and ignored until the name is free again; *reported remembers that.
bool take_trigger(const char* path, bool* reported) {
  struct stat st;
  if (!path || !*path || lstat(path, &st) != 0) {
    *reported = false;
    return false;
  }
  const char* why = nullptr;
  if (!S_ISREG(st.st_mode)) {
    why = "is not a regular file";
  } else if (unlink(path) != 0) {
    why = "cannot be deleted";
  }
  if (why == nullptr) {
    *reported = false;
    return true;
  }
  if (!*reported) __udp_client_log(VT_LOG_WARN, "Trigger %s %s: ignored until it is gone", path, why);
  *reported = true;
  return false;
}

}  // namespace

int __udp_client_supervision_pass(daemon_state* state, daemon_settings* settings,
                                  supervision_vars* vars) {
  const time_t now = vt_time();
  if (now < vars->last_tick) {
    // The clock was set back: whatever was planned is due at once.
    for (time_t& entry : state->schedule) {
      if (entry != 0) entry = now;
    }
  }
  vars->last_tick = now;

  request_report(state, now);
  request_due_feature(state, vars, now);
  // Threads started on demand (an action, a debug dump) that have finished.
  for (worker* w : state->workers()) w->reap_if_finished();

  const int debug = debug_mode.load();
  if (debug != vars->last_debug_mode) {
    __udp_client_log(VT_LOG_INFO, "Debug mode %s", debug ? "ON" : "OFF");
    vars->last_debug_mode = debug;
  }

  // A request to leave always ends the cycle too, even one that came in just
  // as the cycle started and cleared stop_requested, or whose process-wide
  // stop outlived the clearing (every wait would otherwise return at once).
  if (stop_requested == 1 || exit_after_stop != 0 || vt_stop_requested()) return 1;

  // Before the event-log exchange, which holds this thread for as long as it lasts.
  if (vars->status) status_snapshot_pass(vars->status, state, now);

  if (event_log_requested == 1) {
    event_log_requested = 0;
    __udp_client_event_log_handler(state->client, state->config, state->event_log_buffer);
  }

  if (take_trigger(settings->interface_update_file.c_str(), &vars->odd_trigger[0])) {
    __udp_client_log(VT_LOG_INFO, "Interface update");
    const uint32_t reconnect = 1;
    vantor_udp_client_set_param(state->client, VANTOR_UDP_CLIENT_PARAM_RECONNECT, &reconnect);
  }
  if (settings->config_trigger.enabled &&
      take_trigger(settings->config_trigger.file, &vars->odd_trigger[1])) {
    __udp_client_log(VT_LOG_INFO, "Trigger config sync");
    state->schedule[FEATURE_ID_CONFIG] = vt_time();
  }
  if (settings->gps_trigger.enabled && take_trigger(settings->gps_trigger.file, &vars->odd_trigger[2])) {
    __udp_client_log(VT_LOG_INFO, "Trigger GPS submission");
    state->schedule[FEATURE_ID_GPS] = vt_time();
  }
  return 0;
}

void __udp_client_supervision_loop(daemon_state* state, daemon_settings* settings,
                                   supervision_vars* vars) {
  while (!__udp_client_supervision_pass(state, settings, vars)) {
    // A stop cuts the second short, so the teardown starts at once.
    vt_wait_for_stop(std::chrono::seconds(1));
  }
}
