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

namespace {

void init_worker_param(worker_param* p, daemon_state* s, worker* self) {
  p->state = s;
  p->config = &s->config;
  p->stopping = &s->stopping;
  p->self = self;
}

}  // namespace

void __udp_client_init_feature_param(feature_param* p, daemon_state* s) {
  *p = feature_param{};
  init_worker_param(p, s, &s->feature_worker);
}

void __udp_client_init_report_param(report_param* p, daemon_state* s) {
  *p = report_param{};
  init_worker_param(p, s, &s->report_worker);
}

void __udp_client_init_action_param(action_param* p, daemon_state* s) {
  *p = action_param{};
  init_worker_param(p, s, &s->action_worker);
  p->request_id = &s->action_request_id;
}

void __udp_client_init_debug_dump_param(debug_dump_param* p, daemon_state* s) {
  *p = debug_dump_param{};
  init_worker_param(p, s, &s->debug_dump_worker);
}
