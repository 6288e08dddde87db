// Small pieces that every worker shares: running device commands, filling
// an HTTPS request, naming the interface in failure lines, capturing a
// command's output, and waiting for a request on a worker's condition.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "features/client_view.h"
#include "https/https_request.h"

struct taglist;

// Runs a configured device command with system(). Returns its status;
// -1 when no shell could be started. 0 is success.
int run_device_command(const char* command);

// Zeroes request and fills url "https://<VANTOR_HOST>/<path>" and the
// client's identity.
void fill_https_request(https_request* request, const taglist* config, const char* path,
                        const client_view& client);

// The interface argument of an HTTPS request: null when there is none.
inline const char* request_interface(const client_view& c) {
  return c.has_interface ? c.interface_name.c_str() : nullptr;
}

// How failure lines print the interface: "Default" when there is none.
inline const char* logged_interface(const client_view& c) {
  return c.has_interface ? c.interface_name.c_str() : "Default";
}

// Creates (or truncates) a file for writing without following a symbolic
// link planted at its name; mode applies to a new file. nullptr on failure.
FILE* create_output_file(const char* path, int mode);

// Runs command with popen and copies its whole output into path (created
// with mode "w"), 1024 bytes at a time. Returns -1 when the command could
// not be started, 0 when the output file could not be created (the command
// is then not waited for: the pipe is closed), 1 when the output was copied.
int capture_command_output(const char* command, const char* path);

// The worker side of the hand-over: under mutex, clear busy and wait (in
// 5-second time-outs, so a stop is noticed) until busy is set again or the
// daemon is stopping.
void wait_for_request(std::mutex* mutex, std::condition_variable* cond, uint32_t* busy,
                      const std::atomic<uint32_t>* stopping);
