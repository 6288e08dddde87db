// Small pieces that every worker shares: running device commands, an HTTPS
// exchange, capturing a command's output.
//
// Device commands run through /bin/sh -c in a process group of their own
// (platform/child_process.h). Inside a worker's run they are ended when the
// run's time budget is spent, and always when the agent stops; the commands
// that write flash never are.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>

#include "features/attempt_loop.h"
#include "https/https_request.h"

struct taglist;
struct vantor_udp_client;

// Runs a configured device command as system() would. Returns its wait
// status; -1 when no shell could be started or the command was ended (its
// budget spent, the agent stopping) before it finished. 0 is success.
int run_device_command(const char* command);

// Runs a configured command that writes the device's flash (firmware
// upgrade, configuration apply, reboot) as system() would, and never ends
// it: a budget spent or a restart of the cycle waits for it. When the agent
// leaves meanwhile, the command is left running in its own group, a line
// names it and its pid, and the result is kFlashCommandLeftRunning (no
// failure: nobody knows yet how it ends).
constexpr int kFlashCommandLeftRunning = -2;
int run_flash_command(const char* command);

// The most output of a device command that the agent keeps (an action's
// answer, a debug dump). The upload holds it in memory twice, so this bounds
// what a command can make the agent take. Past it the kept output ends with
// a line saying so, and the command is ended.
constexpr size_t kCommandOutputCap = 1024 * 1024;

// What capture_command_output() did.
enum capture_status : int {
  kCaptureNotStarted = -1,  // no shell could be started
  kCaptureNoFile = 0,       // no whole output file (none is left): not created, so the
                            // command was not started, or not fully written
  kCaptureCopied = 1,       // the output (cut at the cap, if need be) is in the file
  kCaptureEnded = 2,        // budget spent or agent stopping: the output is not complete
};

// One HTTPS exchange of a worker. The request is zeroed and filled
// with the URL "https://<VANTOR_HOST>/<path>" and the client's identity;
// *code is set to 0, and submit is run with the request (to which it adds
// its own fields), the interface (null for none) and code. When submit
// returns 0, failure (unless null) is logged at level with the code and the
// interface ("Default" for none). Returns step_result::next on success.
using https_submit = std::function<int(https_request* request, const char* interface, int* code)>;
step_result https_step(vantor_udp_client* client, const taglist* config, const char* path, int* code,
                       int level, const char* failure, const https_submit& submit);

// Creates (or truncates) a file for writing without following a symbolic
// link planted at its name; mode applies to a new file. nullptr on failure.
FILE* create_output_file(const char* path, int mode);

// Runs command and copies its output into path (created without following
// a link), up to kCommandOutputCap bytes.
capture_status capture_command_output(const char* command, const char* path);

// Runs command and reads the first line of its output (at most size - 1
// bytes, line end included, NUL-terminated); the rest is read and dropped
// while the command runs on, up to kCommandOutputCap, past which the
// command is ended. False when no line could be read or the command was
// ended before its line; *started tells whether it could be started at all.
bool read_command_first_line(const char* command, char* line, size_t size, bool* started);
