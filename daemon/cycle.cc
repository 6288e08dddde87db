// The start-up cycle: configuration, settings, buffers, the channel client,
// the workers and the handlers; the supervision loop; and the teardown.
#include "daemon/cycle.h"

#include <sys/time.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

#include "channel/vantor_udp_client.h"
#include "daemon/handlers.h"
#include "features/scheduler.h"
#include "daemon/signals.h"
#include "daemon/status_snapshot.h"
#include "daemon/supervision_loop.h"
#include "features/daemon_state.h"
#include "features/setting_rules.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/stop.h"
#include "platform/private_dir.h"
#include "platform/taglist.h"
#include "platform/version.h"

namespace {

constexpr unsigned kRequestQueueCapacity = 30;
constexpr uint32_t kStatisticsInterval = 3600;

// What survives from one cycle to the next.
struct process_state {
  daemon_settings settings;
  supervision_vars loop = {};
  status_snapshot status;
};

void set_process_defaults(process_state* process) {
  process->loop.last_tick = vt_time();
  process->status.agent_start = process->loop.last_tick;
  process->loop.status = &process->status;
  __udp_client_install_signal_handlers();
  // Every random spread of the process draws from this one seed.
  struct timeval now = {};
  gettimeofday(&now, nullptr);
  srand(static_cast<unsigned>(now.tv_usec));
  reset_log_settings();
  process->loop.last_debug_mode = 0;
}

// Replaces the settings whose DEVICE_ keys are set; the rest keep the
// previous cycle's values.
void derive_settings(const taglist* config, daemon_settings* settings) {
  std::string path = get_log_file_path();
  __udp_client_get_device_info(config, settings->serial, settings->model, settings->variant,
                               settings->firmware, &log_enable, &settings->keepalive_interval,
                               &settings->disconnect_timeout, &path, &log_file_size,
                               &log_file_count, &settings->black_list_size,
                               &settings->interface_update_file);
  set_log_file_path(path.c_str());
  __udp_client_get_config_trigger(config, &settings->config_trigger);
  __udp_client_get_gps_trigger(config, &settings->gps_trigger);
}

void log_settings(const daemon_settings& settings) {
  // Which build is running, for whoever reads the log; the settings follow.
  __udp_client_log(VT_LOG_INFO, "vtclient %s", vtclient_version);
  __udp_client_log(VT_LOG_NOTICE, "log enable: %d", log_enable.load());
  __udp_client_log(VT_LOG_NOTICE, "log file: %s", get_log_file_path().c_str());
  __udp_client_log(VT_LOG_NOTICE, "log size: %lu", static_cast<unsigned long>(log_file_size.load()));
  __udp_client_log(VT_LOG_NOTICE, "log num: %d", static_cast<int>(log_file_count.load()));
  __udp_client_log(VT_LOG_NOTICE, "keepalive: %d", settings.keepalive_interval);
  __udp_client_log(VT_LOG_NOTICE, "disconnect: %d", settings.disconnect_timeout);
  __udp_client_log(VT_LOG_NOTICE, "bl size: %d", settings.black_list_size);
  __udp_client_log(VT_LOG_NOTICE, "interface: %s", settings.interface_update_file.c_str());
  __udp_client_log(VT_LOG_NOTICE, "config trigger: %d [%s]", settings.config_trigger.enabled,
                   settings.config_trigger.file);
  __udp_client_log(VT_LOG_NOTICE, "gps trigger: %d [%s]", settings.gps_trigger.enabled,
                   settings.gps_trigger.file);
}

// The client takes only values in its own range; a refused one is replaced
// by the fallback, which is set instead and reported.
void set_param_or_fallback(vantor_udp_client* client, int id, int32_t* setting, const setting_rule& rule) {
  uint32_t value = static_cast<uint32_t>(*setting);
  if (vantor_udp_client_set_param(client, id, &value) == 1) return;
  *setting = rule.fallback;
  value = static_cast<uint32_t>(rule.fallback);
  vantor_udp_client_set_param(client, id, &value);
  __udp_client_log(VT_LOG_INFO, rule.refused_message, rule.fallback);
}

// A setting past its rule's range, which no setter of the client checks, is
// replaced by the fallback, which is reported as a refused value is.
void bound_or_fallback(int32_t* setting, const setting_rule& rule) {
  if (*setting >= rule.min && *setting <= rule.max) return;
  *setting = rule.fallback;
  __udp_client_log(VT_LOG_INFO, rule.refused_message, rule.fallback);
}

// Hands the timing settings to the client; a value it refuses is replaced
// by the fallback, which is reported.
void set_client_params(daemon_state* state, daemon_settings* settings) {
  vantor_udp_client* client = state->client;
  settings->statistics_interval = kStatisticsInterval;
  vantor_udp_client_set_param(client, VANTOR_UDP_CLIENT_PARAM_HANDLER_CONTEXT, state);
  vantor_udp_client_set_param(client, VANTOR_UDP_CLIENT_PARAM_STATISTICS_INTERVAL,
                              &settings->statistics_interval);

  set_param_or_fallback(client, VANTOR_UDP_CLIENT_PARAM_KEEPALIVE_INTERVAL, &settings->keepalive_interval,
                        kKeepaliveRule);
  set_param_or_fallback(client, VANTOR_UDP_CLIENT_PARAM_DISCONNECT_TIMEOUT, &settings->disconnect_timeout,
                        kDisconnectRule);
}

// The four work buffers of a cycle (feature, report, action, event log),
// released when the cycle ends. All four are asked for before any is checked.
std::unique_ptr<char[]> allocate_buffers(daemon_state* state) {
  bool allocated = true;
  for (worker* w : {&state->feature_worker, &state->report_worker, &state->action_worker})
    allocated = w->allocate_buffer() && allocated;
  std::unique_ptr<char[]> event_log(new (std::nothrow) char[DAEMON_BUFFER_SIZE]);
  if (!allocated) event_log.reset();
  state->event_log_buffer = event_log.get();
  return event_log;
}

void start_workers(daemon_state* state) {
  __udp_client_init_report_param(&state->report, state);
  __udp_client_init_feature_param(&state->feature, state);
  __udp_client_init_action_param(&state->action, state);
  __udp_client_init_debug_dump_param(&state->debug_dump, state);
  // The action and debug dump threads are started by their handlers.
  for (worker* w : {&state->report_worker, &state->feature_worker}) {
    if (!w->start()) __udp_client_log(VT_LOG_ERR, "Cannot start worker thread");
  }
}

// Tears the cycle down. The client goes before the state: its command
// thread calls the handlers, which take the state's mutexes.
void teardown(daemon_state* state, status_snapshot* status) {
  state->stopping = 1;
  // Every wait and device command of the cycle ends now, however the
  // supervision loop was told to stop.
  vt_request_stop();
  // Idle workers notice the stop at once. Handlers test stopping again under
  // the workers' locks, so once the handles have been taken no new thread
  // can appear.
  for (worker* w : state->workers()) w->wake();
  for (worker* w : state->workers()) w->join();
  status_snapshot_stopped(status, state);
  destroy_vantor_udp_client(state->client);
  state->client = nullptr;
}

enum class cycle_end { next_cycle, leave };

cycle_end run_cycle(process_state* process) {
  daemon_settings& settings = process->settings;
  stop_requested = 0;
  vt_clear_stop();
  // Told to leave during the last teardown (or just now): tested after the
  // clearing, so that a SIGTERM is never cleared away.
  if (exit_after_stop) return cycle_end::leave;
  auto state = std::make_unique<daemon_state>();

  taglist_ptr config(load_taglist_ex(system_path("/etc/vtclient.cfg").c_str(), 1));
  if (!config || config->count == 0) {
    __udp_client_log(VT_LOG_ERR, "Config file err");
    return cycle_end::leave;
  }
  sort_taglist(config.get());
  derive_settings(config.get(), &settings);
  log_settings(settings);
  // Made (or checked) now, after the log settings, so that a refused
  // directory is reported in the configured log before any exchange.
  private_directory();

  std::unique_ptr<char[]> event_log_buffer = allocate_buffers(state.get());
  if (!event_log_buffer) {
    __udp_client_log(VT_LOG_ERR, "Alloc https buffer err");
    return cycle_end::leave;
  }
  state->config = config.get();

  __udp_client_set_auto_start_time(state->config, state->schedule);

  const char* host = get_taglist_default(state->config, "VANTOR_HOST", "");
  const char* registration_path = get_taglist_default(state->config, "UDP_REG_PATH", "");
  const char* interface_file = get_taglist_default(state->config, "DEVICE_INTERFACE_FILE", "");
  bound_or_fallback(&settings.black_list_size, kBlackListRule);
  status_snapshot_cycle_start(&process->status, state.get());
  state->client = create_vantor_udp_client(
      settings.serial, settings.model, settings.variant, settings.firmware, kRequestQueueCapacity,
      host, registration_path, __udp_client_log, static_cast<unsigned>(settings.black_list_size),
      interface_file);
  if (!state->client) {
    __udp_client_log(VT_LOG_ERR, "Cannot create UDP client");
    return cycle_end::leave;
  }

  set_client_params(state.get(), &settings);
  start_workers(state.get());
  vantor_udp_client_run(state->client);
  __udp_client_register_handlers(state->client);

  __udp_client_supervision_loop(state.get(), &settings, &process->loop);

  teardown(state.get(), &process->status);
  // The state's mutexes, the buffers and the configuration go in that order
  // as this scope ends, after every thread that used them.
  state.reset();
  return exit_after_stop ? cycle_end::leave : cycle_end::next_cycle;
}

}  // namespace

int __udp_client_daemon_main() {
  auto process = std::make_unique<process_state>();
  set_process_defaults(process.get());
  while (run_cycle(process.get()) == cycle_end::next_cycle) {
  }
  return 0;
}
