// vtclient-status: what the running agent is doing, read from its status
// snapshot. The vtclient executable runs it when it is called by that name.
#pragma once

// Prints a short summary (or the snapshot itself with --json). Exit status:
// 0 connected, 1 running but not connected, 2 no agent running or its
// snapshot stale, 3 usage error. Usable as a monitoring check as it is.
int status_main(int argc, char** argv);
