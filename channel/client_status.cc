// The channel's state for monitoring: which session it holds, since when,
// when the server was last heard, and the statistics; and the identity and
// interface that the application's HTTPS requests carry.
#include <cstring>

#include "channel/client.h"
#include "platform/clock.h"

namespace {

void copy_cut(char *out, size_t size, const char *text) {
  std::strncpy(out, text ? text : "", size - 1);
  out[size - 1] = '\0';
}

int64_t widen(uint32_t t, int64_t now) { return t == 0 ? 0 : vt_time32_widen(t, now); }

}  // namespace

void __vantor_udp_client_record_session(vantor_udp_client *c) {
  std::lock_guard<std::mutex> lock(c->statistics_mutex);
  session_record &s = c->session;
  s.state = VANTOR_UDP_CLIENT_STATE_CONNECTED;
  copy_cut(s.server_host, sizeof s.server_host, c->server_host.get());
  s.server_port = c->server_port;
  copy_cut(s.interface_name, sizeof s.interface_name, c->interface_name.get());
  s.start = vt_time32(vt_time());
  ++s.count;
}

void __vantor_udp_client_session_pending(vantor_udp_client *c) {
  std::lock_guard<std::mutex> lock(c->statistics_mutex);
  session_record &s = c->session;
  s.state = s.count ? VANTOR_UDP_CLIENT_STATE_REESTABLISHING : VANTOR_UDP_CLIENT_STATE_AUTHORISING;
}

extern "C" int vantor_udp_client_get_status(vantor_udp_client *c, vantor_udp_client_status *out) {
  if (!c || !out) return 0;
  const int64_t now = vt_time();
  {
    // Only the statistics lock: the connection lock is held through a whole
    // authorisation, which may take minutes.
    std::lock_guard<std::mutex> lock(c->statistics_mutex);
    const session_record &s = c->session;
    out->state = s.state;
    std::memcpy(out->server_host, s.server_host, sizeof out->server_host);
    out->server_port = s.server_port;
    std::memcpy(out->interface_name, s.interface_name, sizeof out->interface_name);
    out->session_start = widen(s.start, now);
    out->sessions = s.count;
    out->statistics = c->statistics;
  }
  // Before the first session the server is the one asked for authorisation
  // (fixed at creation).
  if (out->sessions == 0) copy_cut(out->server_host, sizeof out->server_host, c->default_host.c_str());
  if (c->stop.load() != 0) out->state = VANTOR_UDP_CLIENT_STATE_STOPPED;
  out->last_server_message = widen(c->last_heard.load(), now);
  out->last_keepalive_sent = widen(c->last_keepalive_sent.load(), now);
  return 1;
}

extern "C" int vantor_udp_client_get_identity(vantor_udp_client *c, vantor_udp_client_identity *out) {
  if (!c || !out) return 0;
  // The identity is fixed when the client is created, in fields of the same sizes.
  static_assert(sizeof out->serial == sizeof c->serial && sizeof out->model == sizeof c->model &&
                sizeof out->variant == sizeof c->variant && sizeof out->version == sizeof c->version);
  std::memcpy(out->serial, c->serial, sizeof out->serial);
  std::memcpy(out->model, c->model, sizeof out->model);
  std::memcpy(out->variant, c->variant, sizeof out->variant);
  std::memcpy(out->version, c->version, sizeof out->version);
  // The session's interface is replaced when the session is re-established,
  // which is done under the connection lock.
  std::lock_guard<std::mutex> lock(c->connection_mutex);
  out->has_interface = c->interface_name != nullptr;
  copy_cut(out->interface_name, sizeof out->interface_name, c->interface_name.get());
  return 1;
}
