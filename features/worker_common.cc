#include "features/worker_common.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "channel/vantor_udp_client.h"
#include "features/attempt_loop.h"
#include "features/config_read.h"
#include "platform/child_process.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/owned.h"

namespace {

// Inside a worker's run a command may use what is left of the run's
// budget; outside one only a stop ends it.
child_deadline command_deadline() {
  time_t deadline = attempt_loop_deadline();
  if (deadline == 0) return kNoChildDeadline;
  time_t left = deadline - vt_time();
  return child_deadline_in(left > 0 ? left : 0);
}

}  // namespace

int run_device_command(const char* command) {
  child_result r = run_shell_command(command, command_deadline());
  return r.end == child_end::exited ? r.status : -1;
}

int run_flash_command(const char* command) {
  const char* text = command != nullptr ? command : "";
  // With SIGPIPE ignored, a write to an output whose reader went away fails
  // instead of killing the command: procd closes its end of the agent's
  // standard error once the agent has left, while the command runs on.
  child_process child({"/bin/sh", "-c", std::string("trap '' PIPE\n") + text}, false,
                      child_kill::never);
  const pid_t pid = child.pid();
  child_result r = child.finish(kNoChildDeadline, nullptr);
  if (r.end == child_end::released) {
    __udp_client_log(VT_LOG_NOTICE, "Flash command left running (pid %d): %s", static_cast<int>(pid), text);
    return kFlashCommandLeftRunning;
  }
  return r.end == child_end::exited ? r.status : -1;
}

step_result https_step(vantor_udp_client* client, const taglist* config, const char* path, int* code,
                       int level, const char* failure, const https_submit& submit) {
  // A fresh look each time: a new session may use another interface. A null
  // client gives an empty identity and no interface.
  vantor_udp_client_identity id = {};
  vantor_udp_client_get_identity(client, &id);
  https_request request;
  memset(&request, 0, sizeof request);
  const char* host = config_text(config, "VANTOR_HOST");
  snprintf(request.url, sizeof request.url, "https://%s/%s", host, path ? path : "");
  // The identity's texts end within their fields, which are no longer than the request's.
  static_assert(sizeof request.serial >= sizeof id.serial && sizeof request.model >= sizeof id.model &&
                sizeof request.variant >= sizeof id.variant && sizeof request.version >= sizeof id.version);
  memcpy(request.serial, id.serial, sizeof id.serial);
  memcpy(request.model, id.model, sizeof id.model);
  memcpy(request.variant, id.variant, sizeof id.variant);
  memcpy(request.version, id.version, sizeof id.version);
  const char* interface = id.has_interface ? id.interface_name : nullptr;
  *code = 0;
  if (submit(&request, interface, code)) return step_result::next;
  if (failure) __udp_client_log(level, failure, *code, interface ? interface : "Default");
  return step_result::failed;
}

FILE* create_output_file(const char* path, int mode) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) return nullptr;
  FILE* f = fdopen(fd, "w");
  if (f == nullptr) close(fd);
  return f;
}

capture_status capture_command_output(const char* command, const char* path) {
  // The file comes first: a command is never started only to be ended
  // because its output has nowhere to go.
  owned_file out(create_output_file(path, 0600));
  if (!out) return kCaptureNoFile;
  child_process child({"/bin/sh", "-c", command != nullptr ? command : ""}, true);
  if (!child.started()) return kCaptureNotStarted;
  size_t kept = 0;
  bool last_was_line_end = true;
  const child_output_sink sink = [&](const char* bytes, size_t size) {
    size_t room = kCommandOutputCap - kept;
    size_t n = size < room ? size : room;
    fwrite(bytes, 1, n, out.get());
    kept += n;
    if (n > 0) last_was_line_end = bytes[n - 1] == '\n';
    if (n == size) return true;
    // The server sees where the output was cut, on a line of its own.
    fprintf(out.get(), "%s[output cut after %zu bytes]\n", last_was_line_end ? "" : "\n",
            kCommandOutputCap);
    return false;
  };
  child_result r = child.finish(command_deadline(), &sink);
  // Whatever the command's own status: only an output it was not cut off
  // from (or that filled the cap), and that reached the file whole, is an
  // answer; a full /tmp must not pass a cut file off as the whole output.
  bool written = ferror(out.get()) == 0 && fclose(out.release()) == 0;
  if (r.end != child_end::exited && r.end != child_end::cut) return kCaptureEnded;
  if (!written) {
    unlink(path);
    return kCaptureNoFile;
  }
  return kCaptureCopied;
}

bool read_command_first_line(const char* command, char* line, size_t size, bool* started) {
  size_t len = 0, total = 0;
  bool complete = false;
  const child_output_sink sink = [&](const char* bytes, size_t n) {
    for (size_t i = 0; i < n && !complete; ++i) {
      if (len + 1 < size) line[len++] = bytes[i];
      complete = bytes[i] == '\n' || len + 1 >= size;
    }
    // The rest is drained so that the command can finish, unless it never
    // stops talking.
    total += n;
    return !complete || total < kCommandOutputCap;
  };
  line[0] = '\0';
  child_result r = run_shell_command(command, command_deadline(), &sink);
  line[len] = '\0';
  *started = r.end != child_end::not_started;
  return (r.end == child_end::exited || r.end == child_end::cut) && len > 0;
}
