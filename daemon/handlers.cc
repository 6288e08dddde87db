// Server message handlers: turn the server's requests into work for the
// feature worker or into a remote action or debug dump thread.
#include "daemon/handlers.h"

#include <cstring>
#include <functional>
#include <string>

#include "features/scheduler.h"
#include "features/daemon_state.h"
#include "features/feature_status.h"
#include "features/shell_word.h"
#include "platform/log.h"

namespace {

daemon_state* state_of(void* context) { return static_cast<daemon_state*>(context); }

bool is_stopping(const daemon_state* state) { return state->stopping != 0; }

// Posts a request to the feature worker unless it is busy. Returns the
// handler result: 0 posted, 2 busy or not supported.
int post_feature(daemon_state* state, uint32_t id, const char* ignore_message) {
  if (__udp_client_feature_support(state->config, id) && state->feature_worker.post(id)) return 0;
  if (ignore_message) __udp_client_log(VT_LOG_NOTICE, "%s", ignore_message);
  feature_refused(id);  // outside the worker's lock: the feature records' lock is never taken under another
  return 2;
}

// Starts the worker of a request that runs on its own (a remote action, a
// debug dump), unless the feature is off, one still runs or the cycle is
// stopping; fill, run under the worker's lock, hands the request over or
// refuses it. Returns the handler result: 0 started, 1 refused.
int start_on_demand(daemon_state* state, uint32_t id, const char* unsupported, worker* w,
                    const std::function<bool()>& fill) {
  if (!__udp_client_feature_support(state->config, id)) {
    __udp_client_log(VT_LOG_INFO, "%s", unsupported);
    feature_refused(id);
    return 1;
  }
  const worker::start_result r = w->start_on_demand(state->stopping, fill);
  if (r == worker::start_result::refused) feature_refused(id);  // outside the worker's lock
  return r == worker::start_result::started ? 0 : 1;
}

}  // namespace

std::string __udp_client_build_action_line(const taglist* config, int count,
                                           const vantor_udp_client_action_entry* records) {
  // The configured command, then every argument as one quoted word: the
  // arguments come from the network and must never be read by the shell as
  // anything but arguments.
  std::string line = get_taglist_default(config, "FEATURE_REMOTE_ACTION_CMD", "");
  for (int i = 0; records && i < count; ++i) {
    char text[sizeof records[i].text + 1] = {};
    memcpy(text, records[i].text, sizeof records[i].text);
    line.push_back(' ');
    line += shell_quote(text);
  }
  return line;
}

int __udp_client_feature_invitation_handler(void* context, uint32_t mask) {
  daemon_state* state = state_of(context);
  if (!state) return 1;
  __udp_client_log(VT_LOG_INFO, "Recv Feature Invitation: 0x%08x", mask);
  if (is_stopping(state)) return 1;
  // Only the lowest of the three meaningful bits is considered.
  if (mask & 0x1) return post_feature(state, FEATURE_ID_FIRMWARE, "Firmware Invitation IGNORE");
  if (mask & 0x2) return post_feature(state, FEATURE_ID_CONFIG, "Config invitation IGNORE");
  if (mask & 0x4) return post_feature(state, FEATURE_ID_ISP, "Extension invitation IGNORE");
  return 1;
}

int __udp_client_reboot_handler(void* context) {
  daemon_state* state = state_of(context);
  if (!state) return 1;
  __udp_client_log(VT_LOG_INFO, "Recv REBOOT");
  if (is_stopping(state)) return 1;
  return post_feature(state, FEATURE_ID_REBOOT, nullptr);
}

int __udp_client_action_handler(void* context, uint32_t request_id, int count,
                                vantor_udp_client_action_entry* records) {
  daemon_state* state = state_of(context);
  if (!state) return 1;
  __udp_client_log(VT_LOG_INFO, "Recv Action Request");
  if (is_stopping(state)) return 1;
  const std::string line = __udp_client_build_action_line(state->config, count, records);
  worker* w = &state->action_worker;
  return start_on_demand(state, FEATURE_ID_REMOTE_ACTION, "Action Is Not supported", w, [&] {
    if (!w->buffer() || line.size() >= DAEMON_BUFFER_SIZE) return false;
    memcpy(w->buffer(), line.c_str(), line.size() + 1);
    state->action_request_id = request_id;
    return true;
  });
}

int __udp_client_debug_dump_handler(void* context) {
  daemon_state* state = state_of(context);
  if (!state) return 1;
  __udp_client_log(VT_LOG_INFO, "Recv Debug Dump Request");
  if (is_stopping(state)) return 1;
  return start_on_demand(state, FEATURE_ID_DEBUG_DUMP, "Debug Dump Is Not supported", &state->debug_dump_worker,
                         [] { return true; });
}

int __udp_client_notice_handler(void* context, int16_t, int8_t) {
  return context ? 0 : 1;
}

int __udp_client_null_handler(void* context) { return context ? 0 : 1; }

int __udp_client_statistic_handler(void* context, vantor_udp_client_statistics* statistics) {
  if (!context) return 1;
  if (statistics) vantor_udp_client_log_statistics(__udp_client_log, "UDP Client App statistic", statistics);
  return 0;
}

void __udp_client_register_handlers(vantor_udp_client* client) {
  auto any = [](auto function) { return reinterpret_cast<vantor_udp_client_handler>(function); };
  vantor_udp_client_set_handler(client, VANTOR_UDP_CLIENT_HANDLER_FEATURE_INVITATION,
                                any(__udp_client_feature_invitation_handler));
  vantor_udp_client_set_handler(client, VANTOR_UDP_CLIENT_HANDLER_NOTICE, any(__udp_client_notice_handler));
  vantor_udp_client_set_handler(client, VANTOR_UDP_CLIENT_HANDLER_REBOOT, any(__udp_client_reboot_handler));
  vantor_udp_client_set_handler(client, VANTOR_UDP_CLIENT_HANDLER_ACTION, any(__udp_client_action_handler));
  vantor_udp_client_set_handler(client, VANTOR_UDP_CLIENT_HANDLER_DEBUG_DUMP,
                                any(__udp_client_debug_dump_handler));
  vantor_udp_client_set_handler(client, VANTOR_UDP_CLIENT_HANDLER_SPARE, any(__udp_client_null_handler));
  vantor_udp_client_set_handler(client, VANTOR_UDP_CLIENT_HANDLER_STATISTICS,
                                any(__udp_client_statistic_handler));
}
