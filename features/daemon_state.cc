#include "features/daemon_state.h"

#include <cstdlib>
#include <cstring>

#include "features/config_read.h"
#include "platform/identity.h"
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

// Copies at most max characters of the configured value, or of the
// fallback when the value is empty, into dst (max + 1 bytes, terminated).
void copy_identity(char* dst, size_t max, const char* configured, const char* (*fallback)()) {
  memset(dst, 0, max + 1);
  strncpy(dst, configured, max);
  if (dst[0] == '\0') {
    const char* found = fallback();
    if (found != nullptr) strncpy(dst, found, max);
  }
  dst[max] = '\0';
}

// A positive integer setting; values below 1 (0, negative, no digits) fall
// back to the default.
void set_positive(const taglist* config, const char* key, int32_t* out, int32_t fallback) {
  const char* v = config_text(config, key);
  if (!config_is_set(v)) return;
  int n = atoi(v);
  *out = n < 1 ? fallback : n;
}

}  // namespace

daemon_settings::daemon_settings() : interface_update_file(system_path("/tmp/interface.update")) {
  set_trigger_default(config_trigger);
  set_trigger_default(gps_trigger);
}

void __udp_client_get_device_info(const taglist* config, char* serial, char* model,
                                  char* variant, char* firmware, std::atomic<int>* log_enable,
                                  int32_t* keepalive_interval, int32_t* disconnect_timeout,
                                  std::string* log_file_path,
                                  std::atomic<uint32_t>* log_file_size,
                                  std::atomic<int16_t>* log_file_count, int32_t* black_list_size,
                                  std::string* interface_update_file) {
  char work[30] = {};
  strncpy(work, config_text(config, "DEVICE_SERIAL"), 29);
  if (work[0] == '\0') {
    const char* found = get_serial();
    if (found != nullptr) strncpy(work, found, 29);
  }
  convert_serial_packed(serial, work);
  serial[25] = '\0';

  copy_identity(model, 8, config_text(config, "DEVICE_MODEL"), get_model);
  copy_identity(variant, 8, config_text(config, "DEVICE_VARIANT"), get_variant);
  copy_identity(firmware, 11, config_text(config, "DEVICE_FIRMWARE"), get_version_dotted);

  const char* v = config_text(config, "DEVICE_LOG_ENABLE");
  if (config_is_set(v)) *log_enable = atoi(v);

  v = config_text(config, "DEVICE_LOG_PATH");
  if (config_is_set(v)) *log_file_path = v;

  v = config_text(config, "DEVICE_LOG_FILE_SIZE");
  if (config_is_set(v)) *log_file_size = static_cast<uint32_t>(atol(v));

  v = config_text(config, "DEVICE_LOG_NUM_FILE");
  if (config_is_set(v)) {
    int16_t n = static_cast<int16_t>(atoi(v));
    *log_file_count = n < 1 ? 4 : n;
  }

  set_positive(config, "DEVICE_KEEPALIVE_INTERVAL", keepalive_interval, 25);
  set_positive(config, "DEVICE_DISCONNECT_TIMEOUT", disconnect_timeout, 70);
  set_positive(config, "DEVICE_BLACK_LIST_SIZE", black_list_size, 10);

  v = config_text(config, "DEVICE_INTERFACE_UPDATE");
  if (config_is_set(v)) *interface_update_file = v;
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
