// Server message handlers: turn the server's requests into work for the
// feature worker or into a remote action or debug dump thread.
#include "daemon/handlers.h"

#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "features/scheduler.h"
#include "features/daemon_state.h"
#include "features/feature_status.h"
#include "features/shell_word.h"
#include "features/workers.h"
#include "platform/log.h"

namespace {

daemon_state* state_of(void* context) { return static_cast<daemon_state*>(context); }

bool is_stopping(const daemon_state* state) { return state->stopping != 0; }

// Posts a request to the feature worker unless it is busy. Returns the
// handler result: 0 posted, 2 busy or not supported.
int post_feature(daemon_state* state, uint32_t id, const char* ignore_message) {
  if (__udp_client_feature_support(state->config, id) &&
      post_to_worker(&state->feature_mutex, &state->feature_cond, &state->feature_busy, &state->feature_requested,
                     &state->feature_request, id)) {
    return 0;
  }
  if (ignore_message) __udp_client_log(VT_LOG_NOTICE, "%s", ignore_message);
  feature_refused(id);  // outside the worker's lock: the feature records' lock is never taken under another
  return 2;
}

// Starts the thread of a request that runs on its own (a remote action, a
// debug dump), unless the feature is off, one still runs or the cycle is
// stopping; fill, run under the lock, hands the request over or refuses it.
// Returns the handler result: 0 started, 1 refused.
int start_on_demand(daemon_state* state, uint32_t id, const char* unsupported, std::mutex* mutex,
                    std::thread* thread, std::atomic<uint32_t>* done, void* (*main)(void*), void* param,
                    const std::function<bool()>& fill) {
  if (!__udp_client_feature_support(state->config, id)) {
    __udp_client_log(VT_LOG_INFO, "%s", unsupported);
    feature_refused(id);
    return 1;
  }
  std::unique_lock<std::mutex> lock(*mutex);
  // Tested again under the lock: the teardown sets stopping before it takes
  // this lock to join, so no thread can be started behind its back.
  if (is_stopping(state) || thread->joinable() || !fill()) {
    lock.unlock();
    feature_refused(id);
    return 1;
  }
  *done = 0;
  return start_worker_thread(thread, main, param) ? 0 : 1;
}

}  // namespace

bool post_to_worker(std::mutex* mutex, std::condition_variable* cond, uint32_t* busy, uint32_t* requested,
                    uint32_t* request, uint32_t id) {
  std::lock_guard<std::mutex> lock(*mutex);
  if (*busy) return false;
  *busy = 1;
  *requested = 1;
  if (request) *request = id;
  cond->notify_one();
  return true;
}

bool start_worker_thread(std::thread* thread, void* (*main)(void*), void* param) {
  try {
    *thread = std::thread(main, param);
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

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
  return start_on_demand(state, FEATURE_ID_REMOTE_ACTION, "Action Is Not supported", &state->action_mutex,
                         &state->action_thread, &state->action_done, __udp_client_action_thread_main,
                         &state->action, [&] {
                           if (!state->action_buffer || line.size() >= DAEMON_BUFFER_SIZE) return false;
                           memcpy(state->action_buffer, line.c_str(), line.size() + 1);
                           state->action_request_id = request_id;
                           return true;
                         });
}

int __udp_client_debug_dump_handler(void* context) {
  daemon_state* state = state_of(context);
  if (!state) return 1;
  __udp_client_log(VT_LOG_INFO, "Recv Debug Dump Request");
  if (is_stopping(state)) return 1;
  return start_on_demand(state, FEATURE_ID_DEBUG_DUMP, "Debug Dump Is Not supported", &state->debug_dump_mutex,
                         &state->debug_dump_thread, &state->debug_dump_done, __udp_client_debug_dump_thread_main,
                         &state->debug_dump, [] { return true; });
}

int __udp_client_notice_handler(void* context, int16_t, int8_t) {
  return context ? 0 : 1;
}

int __udp_client_null_handler(void* context) { return context ? 0 : 1; }

int __udp_client_statistic_handler(void* context, vantor_udp_client_statistics* statistics) {
  if (!context) return 1;
  const vantor_udp_client_statistics* s = statistics;
  if (!s) return 0;
  auto ul = [](uint32_t v) { return static_cast<unsigned long>(v); };
  __udp_client_log(VT_LOG_INFO, "UDP Client App statistic");
  __udp_client_log(VT_LOG_INFO, "\tPeer recv:  %7lu\t send: %7lu", ul(s->peer_recv), ul(s->peer_send));
  __udp_client_log(VT_LOG_INFO, "\tLocal recv: %7lu\t send: %7lu", ul(s->local_recv), ul(s->local_send));
  const uint32_t total = s->header_errors + s->decrypt_errors + s->seq_errors;
  __udp_client_log(VT_LOG_INFO, "\tHeader err: %7lu\t Decrypt err: %7lu\t Seq err: %7lu\t (Total %7lu)",
                   ul(s->header_errors), ul(s->decrypt_errors), ul(s->seq_errors), ul(total));
  if (s->local_recv != 0) {
    __udp_client_log(VT_LOG_INFO, "\tTurnaround time(msec): Average = %lu\t Max = %lu\t Min = %lu",
                     ul(s->turnaround_total / s->local_recv), ul(s->turnaround_max),
                     ul(s->turnaround_min));
  }
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
