// Readiness and status for a service manager that asks for them (systemd's
// Type=notify): when NOTIFY_SOCKET names a socket, each message is sent to it
// as one datagram, the way sd_notify() does, without linking libsystemd.
// Without NOTIFY_SOCKET (procd, a shell) nothing is sent.
#pragma once

// Sends message ("READY=1", "STATUS=...", several lines allowed). true when
// a service manager took it.
bool service_notify(const char* message);
