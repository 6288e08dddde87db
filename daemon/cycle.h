// The daemon's process: defaults set once, then start-up cycles, each torn
// down in order when a stop is requested.
#pragma once

// Sets the process-wide defaults, installs the signal handlers, seeds the
// random generator and runs cycles until one ends with a request to leave.
// Returns the process's exit status (always 0).
int __udp_client_daemon_main();
