// The status snapshot: what the agent is doing, as a small JSON file for
// vtclient-status, `ubus call vtclient status` and monitoring, and as a
// one-line status for a service manager that asks for one (systemd).
//
// The file is "/var/run/vtclient/status.json" (through the path seam), in a
// directory checked like the private one, mode 0644, replaced whole. It holds
// nothing secret. It is written from the supervision loop's pass, which runs
// once a second anyway: when anything it shows has changed (channel state
// and session, a feature's run, the schedule, the last error line, a new
// cycle), and otherwise once a minute so that the counters and times that
// move on their own stay fresh and readers can tell a live agent from a dead
// one. No thread wakes up for it. The schema is described in
// docs/status-snapshot.md.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "features/daemon_state.h"

// Seconds between two writes when nothing changed; readers count a snapshot
// older than twice this as stale.
constexpr int kStatusWriteInterval = 60;

// Kept by the entry point for the whole process.
struct status_snapshot {
  time_t agent_start = 0;
  uint32_t cycles = 0;             // cycles started, the running one included
  const char* cycle_reason = "";   // why the running cycle started: "start" or "SIGHUP"
  std::string written_key;         // what the last write showed, in short
  time_t last_write = 0;
  std::string status_line;         // the last STATUS= line sent
};

// The path of the snapshot, "" when its directory is not safe.
std::string status_snapshot_path();

// One pass: writes the snapshot when it is due, and sends a changed status
// line to the service manager. state may be one whose client is not made yet.
void status_snapshot_pass(status_snapshot* snapshot, daemon_state* state, time_t now);

// A cycle starts, its configuration read and its client not yet made: the
// cycle is counted and shown, and the service manager hears that the agent
// is ready (once per process).
void status_snapshot_cycle_start(status_snapshot* snapshot, daemon_state* state);

// The last write of a cycle, after its workers were joined and before its
// client is destroyed: the channel is shown stopped.
void status_snapshot_stopped(status_snapshot* snapshot, daemon_state* state);

