#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/stop.h"

extern char** environ;

namespace {

using steady = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Milliseconds left until deadline, at most cap, at least 0.
int millis_left(child_deadline deadline, milliseconds cap) {
  if (deadline == kNoChildDeadline) return static_cast<int>(cap.count());
  auto left = std::chrono::duration_cast<milliseconds>(deadline - steady::now());
  return static_cast<int>(std::max<long long>(0, std::min<long long>(left.count(), cap.count())));
}

bool passed(child_deadline deadline) {
  return deadline != kNoChildDeadline && steady::now() >= deadline;
}

void nap(milliseconds length) {
  timespec t = {0, static_cast<long>(length.count()) * 1000000L};
  nanosleep(&t, nullptr);
}

}  // namespace

child_process::child_process(const std::vector<std::string>& argv, bool capture, child_kill kill)
    : kill_(kill) {
  // Output that is not wanted would end the command: none is taken from
  // one that must not be ended.
  if (kill == child_kill::never) capture = false;
  if (argv.empty() || vt_stop_requested()) return;
  std::vector<char*> args;
  try {
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
  } catch (...) {
    return;
  }
  int fds[2] = {-1, -1};
  if (capture && pipe2(fds, O_CLOEXEC) != 0) return;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (capture) posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  // No signal blocked, and default dispositions for those the agent handles
  // or ignores, as a shell would start it; a group of its own, so that the
  // whole command (a pipeline, what a script started) can be ended at once.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, reset;
  sigemptyset(&none);
  sigemptyset(&reset);
  for (int sig : {SIGPIPE, SIGUSR1, SIGUSR2, SIGCHLD, SIGINT, SIGQUIT, SIGTERM, SIGHUP}) {
    sigaddset(&reset, sig);
  }
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &reset);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                      POSIX_SPAWN_SETPGROUP);
  pid_t pid = -1;
  int spawned = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (capture) close(fds[1]);
  if (spawned != 0) {
    if (capture) close(fds[0]);
    return;
  }
  pid_ = pid;
  output_ = fds[0];
}

child_process::~child_process() {
  if (kill_ == child_kill::never) {
    release();
  } else {
    if (output_ >= 0) close(output_);
    end_group();
  }
}

void child_process::release() {
  if (output_ >= 0) close(output_);
  output_ = -1;
  pid_ = -1;
}

void child_process::end_group() {
  if (pid_ <= 0) return;
  kill(-pid_, SIGTERM);
  kill(-pid_, SIGCONT);  // a stopped group would not see the SIGTERM
  // The leader is watched without being reaped: while it is a zombie its
  // group id cannot be handed to another process, so the SIGKILL below
  // reaches only what this command started.
  const child_deadline grace_end = steady::now() + kChildGraceTime;
  for (;;) {
    siginfo_t info = {};
    if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 &&
        errno != EINTR) {
      break;
    }
    if (info.si_pid == pid_ || passed(grace_end)) break;
    nap(milliseconds(10));
  }
  kill(-pid_, SIGKILL);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

// Whether the command has ended. It is left unreaped, so that its group id
// cannot pass to another process before wait_exit() reaps it.
bool child_process::has_ended() const {
  siginfo_t info = {};
  return waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid_;
}

// Why the wait must end now, if it must. A child that is never killed keeps
// no deadline and outlasts a stop: only a stop to leave ends the wait.
bool child_process::must_end(child_deadline deadline, child_end* why) const {
  if (kill_ == child_kill::never) {
    *why = child_end::released;
    return vt_leave_requested();
  }
  if (vt_stop_requested()) {
    *why = child_end::stopped;
    return true;
  }
  if (passed(deadline)) {
    *why = child_end::deadline;
    return true;
  }
  return false;
}

child_result child_process::give_up(child_end why) {
  if (why == child_end::released) {
    release();
  } else {
    end_group();
  }
  return {why, -1};
}

bool child_process::wait_exit(child_deadline deadline, child_end* why) {
  milliseconds pause(5);
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_ || (done < 0 && errno != EINTR)) {
      status_ = done == pid_ ? status : -1;
      pid_ = -1;
      return true;
    }
    if (must_end(deadline, why)) return false;
    // Short naps at first (most commands are quick), then a tenth of a
    // second; a stop ends the nap at once. A child that outlasts a stop
    // already in force is watched in plain naps.
    const milliseconds length(millis_left(deadline, pause));
    if (vt_stop_requested()) {
      nap(length);
    } else {
      vt_wait_for_stop(length);
    }
    pause = std::min(pause * 2, milliseconds(100));
  }
}

child_result child_process::finish(child_deadline deadline, const child_output_sink* sink) {
  if (pid_ <= 0) return {child_end::not_started, -1};
  if (kill_ == child_kill::never) deadline = kNoChildDeadline;
  child_end why = child_end::exited;
  if (output_ >= 0) {
    const int stop_fd = vt_stop_fd();
    char chunk[4096];
    // Something the command left running in the background may hold its
    // output open long after the command itself ended: while the pipe is
    // quiet the command is looked at in growing pauses, and once it has
    // ended, what is left in the pipe is read and the pipe let go.
    milliseconds pause(5);
    bool command_ended = false;
    for (;;) {
      if (must_end(deadline, &why)) return give_up(why);
      pollfd fds[2] = {{output_, POLLIN, 0}, {stop_fd, POLLIN, 0}};
      int ready = poll(fds, stop_fd >= 0 ? 2 : 1, millis_left(deadline, pause));
      if (ready < 0) continue;
      if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
        if (command_ended) break;
        command_ended = has_ended();
        if (command_ended) fcntl(output_, F_SETFL, O_NONBLOCK);
        pause = std::min(pause * 2, milliseconds(200));
        continue;
      }
      ssize_t n = read(output_, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) {
        if (command_ended) break;
        continue;
      }
      if (n <= 0) break;
      if (sink != nullptr && !(*sink)(chunk, static_cast<size_t>(n))) return give_up(child_end::cut);
    }
    close(output_);
    output_ = -1;
  }
  if (!wait_exit(deadline, &why)) return give_up(why);
  return {child_end::exited, status_};
}

child_result run_shell_command(const char* command, child_deadline deadline,
                               const child_output_sink* sink) {
  child_process child({"/bin/sh", "-c", command != nullptr ? command : ""}, sink != nullptr);
  return child.finish(deadline, sink);
}

child_result run_program(const std::vector<std::string>& argv, child_deadline deadline) {
  child_process child(argv, false);
  return child.finish(deadline, nullptr);
}

child_deadline child_deadline_in(long long seconds) {
  // Beyond ten years there is no deadline worth keeping (and no overflow).
  if (seconds < 0 || seconds > 10LL * 366 * 24 * 3600) return kNoChildDeadline;
  return steady::now() + std::chrono::seconds(seconds);
}
