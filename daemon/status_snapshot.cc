#include "daemon/status_snapshot.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "channel/vantor_udp_client.h"
#include "features/event_log.h"
#include "features/feature_status.h"
#include "platform/clock.h"
#include "platform/json.h"
#include "platform/log.h"
#include "platform/private_dir.h"
#include "platform/safe_file.h"
#include "platform/service_notify.h"
#include "platform/taglist.h"
#include "platform/version.h"

namespace {

constexpr int kSchema = 1;
// Far above what the fields can take (about 4 KiB with every text at its
// limit); a document that would pass it is not written.
constexpr size_t kSnapshotLimit = 16384;
// The spool is counted at each write; a spool larger than this is shown as
// "at least" this many.
constexpr size_t kSpoolCountLimit = 100000;

const char* const kFeatureNames[FEATURE_ID_COUNT] = {
    "config_sync", "report", "event_log", "firmware", "isp_extension",
    "reboot",      "remote_action", "debug_dump", "gps"};

// Everything the snapshot shows except what is read only when writing.
struct snapshot_inputs {
  vantor_udp_client_status channel = {};
  feature_record features[FEATURE_ID_COUNT];
  uint32_t feature_changes = 0;
  time_t schedule[FEATURE_ID_COUNT] = {};
  log_error_line error;
};

const char* state_name(int state) {
  switch (state) {
    case VANTOR_UDP_CLIENT_STATE_CONNECTED: return "connected";
    case VANTOR_UDP_CLIENT_STATE_REESTABLISHING: return "re-establishing";
    case VANTOR_UDP_CLIENT_STATE_STOPPED: return "stopped";
    default: return "authorising";
  }
}

snapshot_inputs gather(daemon_state* state) {
  snapshot_inputs in;
  if (state->client == nullptr || !vantor_udp_client_get_status(state->client, &in.channel)) {
    // Before the client exists its first authorisation is running.
    in.channel.state = VANTOR_UDP_CLIENT_STATE_AUTHORISING;
    const char* host = state->config ? get_taglist_default(state->config, "VANTOR_HOST", "") : "";
    snprintf(in.channel.server_host, sizeof in.channel.server_host, "%s", host);
  }
  in.feature_changes = read_feature_records(in.features);
  for (uint32_t i = 0; i < FEATURE_ID_COUNT; ++i) in.schedule[i] = state->schedule[i];
  in.error = get_last_error_line();
  return in;
}

// What the snapshot shows, in short, for telling a change: everything but the
// counters and times that move on their own (statistics, last datagram, last
// keepalive, spool count).
std::string key_of(const snapshot_inputs& in, const status_snapshot& s) {
  const vantor_udp_client_status& c = in.channel;
  std::string key = std::to_string(s.cycles) + '|' + std::to_string(c.state) + '|' + c.server_host +
                    '|' + std::to_string(c.server_port) + '|' + c.interface_name + '|' +
                    std::to_string(c.session_start) + '|' + std::to_string(in.feature_changes) +
                    '|' + std::to_string(in.error.count);
  for (time_t t : in.schedule) key += '|' + std::to_string(static_cast<long long>(t));
  return key;
}

std::string local_time(time_t t) {
  char text[64] = "";
  struct tm local;
  if (localtime_r(&t, &local) == nullptr || strftime(text, sizeof text, "%a %b %d %T %Z %Y", &local) == 0)
    return std::to_string(static_cast<long long>(t));
  return text;
}

// The service manager's one line, as `systemctl status` shows it.
std::string status_line(const vantor_udp_client_status& c) {
  const std::string server = std::string(c.server_host) + ':' + std::to_string(c.server_port);
  switch (c.state) {
    case VANTOR_UDP_CLIENT_STATE_CONNECTED:
      return "connected to " + server + " via " + (c.interface_name[0] ? c.interface_name : "Default") +
             " since " + local_time(static_cast<time_t>(c.session_start));
    case VANTOR_UDP_CLIENT_STATE_REESTABLISHING:
      return "re-establishing the session with " + server;
    case VANTOR_UDP_CLIENT_STATE_STOPPED:
      return "stopped";
    default:
      return std::string("authorising with ") + c.server_host;
  }
}

void write_statistics(json_writer* w, const vantor_udp_client_statistics& st) {
  w->begin_object();
  w->field("peer_recv", st.peer_recv);
  w->field("peer_send", st.peer_send);
  w->field("local_recv", st.local_recv);
  w->field("local_send", st.local_send);
  w->field("header_errors", st.header_errors);
  w->field("decrypt_errors", st.decrypt_errors);
  w->field("seq_errors", st.seq_errors);
  // Milliseconds; none until the first reply was measured.
  w->key("turnaround_ms");
  if (st.local_recv == 0) {
    w->null();
  } else {
    w->begin_object();
    w->field("average", st.turnaround_total / st.local_recv);
    w->field("min", st.turnaround_min);
    w->field("max", st.turnaround_max);
    w->end_object();
  }
  w->end_object();
}

std::string render(const snapshot_inputs& in, const status_snapshot& s, const taglist* config,
                   time_t now) {
  json_writer w(kSnapshotLimit);
  w.begin_object();
  w.field("schema", kSchema);
  w.field("written", now);
  w.field("write_interval", kStatusWriteInterval);

  w.key("agent");
  w.begin_object();
  w.field("version", vtclient_version);
  w.field("pid", getpid());
  w.field("started", s.agent_start);
  w.field("cycles", s.cycles);
  w.field("cycle_reason", s.cycle_reason);
  w.end_object();

  const vantor_udp_client_status& c = in.channel;
  w.key("channel");
  w.begin_object();
  w.field("state", state_name(c.state));
  w.field("server_host", c.server_host);
  w.key("server_port");
  c.server_port ? w.number(c.server_port) : w.null();
  w.field("interface", c.interface_name);
  w.key("session_start");
  w.time_or_null(c.session_start);
  w.field("sessions", c.sessions);
  w.key("last_server_message");
  w.time_or_null(c.last_server_message);
  w.key("last_keepalive_sent");
  w.time_or_null(c.last_keepalive_sent);
  w.key("statistics");
  write_statistics(&w, c.statistics);
  w.end_object();

  w.key("features");
  w.begin_object();
  for (uint32_t i = 0; i < FEATURE_ID_COUNT; ++i) {
    const feature_record& f = in.features[i];
    w.key(kFeatureNames[i]);
    w.begin_object();
    w.key("last_start");
    w.time_or_null(f.last_start);
    w.key("last_end");
    w.time_or_null(f.last_end);
    w.key("result");
    f.result == feature_result::none ? w.null() : w.string(feature_result_name(f.result));
    w.key("next_start");
    w.time_or_null(in.schedule[i]);
    w.end_object();
  }
  w.end_object();

  bool complete = true;
  const size_t waiting = config ? event_spool_count(config, kSpoolCountLimit, &complete) : 0;
  w.key("event_spool");
  w.begin_object();
  w.field("waiting", static_cast<int64_t>(waiting));
  w.key("complete");
  w.boolean(complete);
  w.end_object();

  w.key("last_error");
  if (in.error.count == 0) {
    w.null();
  } else {
    w.begin_object();
    w.field("time", in.error.when);
    w.field("message", in.error.message);
    w.end_object();
  }
  w.end_object();
  return w.ok() ? w.text() + "\n" : std::string();
}

void write_snapshot(const status_snapshot& s, const snapshot_inputs& in, const taglist* config, time_t now) {
  const std::string path = status_snapshot_path();
  const std::string text = render(in, s, config, now);
  if (path.empty() || text.empty()) return;
  replace_file(path, text.data(), text.size(), 0644);
}

void notify_status(status_snapshot* s, const vantor_udp_client_status& channel) {
  std::string line = status_line(channel);
  if (line == s->status_line) return;
  s->status_line = line;
  service_notify(("STATUS=" + line).c_str());
}

}  // namespace

std::string status_snapshot_path() {
  const std::string dir = status_directory();
  return dir.empty() ? dir : dir + "/status.json";
}

void status_snapshot_pass(status_snapshot* s, daemon_state* state, time_t now) {
  const snapshot_inputs in = gather(state);
  std::string key = key_of(in, *s);
  const bool changed = key != s->written_key;
  // A clock set back makes the last write look new: write at once.
  if (!changed && now >= s->last_write && now - s->last_write < kStatusWriteInterval) return;
  if (changed) notify_status(s, in.channel);
  write_snapshot(*s, in, state->config, now);
  // Also after a failed write: it is tried again with the next change or in
  // a minute, not on every pass.
  s->written_key = std::move(key);
  s->last_write = now;
}

void status_snapshot_cycle_start(status_snapshot* s, daemon_state* state) {
  ++s->cycles;
  // A cycle ends only when the agent is told to leave (then no new one
  // starts) or by SIGHUP.
  s->cycle_reason = s->cycles == 1 ? "start" : "SIGHUP";
  // Ready once the configuration is read, before the first authorisation:
  // that may take minutes (every WAN link in turn, each with its time-out)
  // and, when it fails, is retried while the agent runs on.
  if (s->cycles == 1) service_notify("READY=1");
  status_snapshot_pass(s, state, vt_time());
}

void status_snapshot_stopped(status_snapshot* s, daemon_state* state) {
  snapshot_inputs in = gather(state);
  in.channel.state = VANTOR_UDP_CLIENT_STATE_STOPPED;
  notify_status(s, in.channel);
  if (exit_after_stop != 0) service_notify("STOPPING=1");
  const time_t now = vt_time();
  write_snapshot(*s, in, state->config, now);
  s->written_key = key_of(in, *s);
  s->last_write = now;
}
