// The process-wide stop request.
//
// A termination signal must end every wait of the agent within seconds:
// a retry wait of an hour, the wait for the fetch tool, the walk over the
// WAN links, a device command that never ends. Signal handlers cannot
// notify condition variables, so the request is a flag plus a pipe that
// becomes readable and stays readable until the stop is cleared: any number
// of threads can wait on it with poll(), and a wait that starts after the
// request returns at once.
#pragma once

#include <chrono>

// Requests the stop. Safe to call from a signal handler.
void vt_request_stop();

// Requests the stop for the process to leave rather than start a new
// cycle: what must not be cut (a command writing flash) is then let go
// instead of waited for. Safe to call from a signal handler.
void vt_request_leave();

// Withdraws the request (and a leave), for the start of a new cycle.
void vt_clear_stop();

// True once a stop has been requested (and not cleared).
bool vt_stop_requested();

// True once the stop requested is one to leave.
bool vt_leave_requested();

// Waits up to timeout; returns true at once, or as soon as, a stop is
// requested, false when the time ran out.
bool vt_wait_for_stop(std::chrono::milliseconds timeout);

// A descriptor that is readable while a stop is requested, for a poll()
// that also waits for something else; -1 when none could be made (then
// callers poll in short naps and test vt_stop_requested()).
int vt_stop_fd();
