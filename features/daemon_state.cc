#include "features/daemon_state.h"

#include <cstring>

#include "platform/paths.h"

std::atomic<int> event_log_requested{0};
std::atomic<int> stop_requested{0};
std::atomic<int> exit_after_stop{0};

namespace {

void set_trigger_default(feature_trigger& trigger) {
  std::string path = system_path("/tmp/syncConfig.now");
  strncpy(trigger.file, path.c_str(), sizeof(trigger.file) - 1);
  trigger.file[sizeof(trigger.file) - 1] = '\0';
}

}  // namespace

daemon_settings::daemon_settings() : interface_update_file(system_path("/tmp/interface.update")) {
  set_trigger_default(config_trigger);
  set_trigger_default(gps_trigger);
}

void __udp_client_init_feature_param(feature_param* p, daemon_state* s) {
  *p = feature_param{};
  p->state = s;
  p->config = &s->config;
  p->stopping = &s->stopping;
  p->exited = &s->feature_exited;
  p->busy = &s->feature_busy;
  p->cond = &s->feature_cond;
  p->mutex = &s->feature_mutex;
  p->request = &s->feature_request;
  p->buffer = s->feature_buffer;
  p->requested = &s->feature_requested;
}

void __udp_client_init_report_param(report_param* p, daemon_state* s) {
  *p = report_param{};
  p->state = s;
  p->config = &s->config;
  p->stopping = &s->stopping;
  p->exited = &s->report_exited;
  p->busy = &s->report_busy;
  p->cond = &s->report_cond;
  p->mutex = &s->report_mutex;
  p->request = nullptr;  // the report worker takes no request id
  p->buffer = s->report_buffer;
  p->requested = &s->report_requested;
}

void __udp_client_init_action_param(action_param* p, daemon_state* s) {
  *p = action_param{};
  p->state = s;
  p->config = &s->config;
  p->stopping = &s->stopping;
  p->done = &s->action_done;
  p->mutex = &s->action_mutex;
  p->buffer = s->action_buffer;
  p->request_id = &s->action_request_id;
}

void __udp_client_init_debug_dump_param(debug_dump_param* p, daemon_state* s) {
  *p = debug_dump_param{};
  p->state = s;
  p->config = &s->config;
  p->stopping = &s->stopping;
  p->done = &s->debug_dump_done;
}
