// Running a child process the agent can always end.
//
// Every command the agent runs (device commands through /bin/sh -c, the
// fetch tool) gets a process group of its own and a deadline. When the
// deadline passes, or a stop is requested (platform/stop.h), the whole group
// gets SIGTERM and, if it is still there a little later, SIGKILL, and the
// child is reaped: nothing the agent started outlives the wait for it, and a
// stop is never held up by a command that does not end.
//
// A command that exits by itself is left alone with whatever it started in
// the background (a service it restarted, say).
//
// A command that writes the device's flash is the exception (child_kill::
// never): cut half-way it can leave a device that does not boot, so nothing
// the agent does signals it. Its deadline is not kept, a stop waits for it,
// and only a stop to leave ends the wait: the child is then released,
// running on in its own group, and the agent leaves without it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

using child_deadline = std::chrono::steady_clock::time_point;
constexpr child_deadline kNoChildDeadline = child_deadline::max();

// How long a group has between SIGTERM and SIGKILL.
constexpr std::chrono::milliseconds kChildGraceTime{2000};

// How a run ended.
enum class child_end {
  exited,       // the command ended by itself; status holds its wait status
  cut,          // the output sink asked for no more; the command was ended
  deadline,     // the deadline passed; the command was ended
  stopped,      // a stop was requested; the command was ended
  not_started,  // no process could be started (or a stop was already requested)
  released,     // the agent is leaving; the command was left running
};

// What may end a child before it exits by itself.
enum class child_kill {
  group,  // its deadline, a stop or an unwanted output: the whole group is ended
  never,  // nothing: it writes flash (see above); its output is not captured
};

struct child_result {
  child_end end;
  int status;  // wait status when end is exited, else -1

  // Ran to its end and exited 0.
  bool succeeded() const { return end == child_end::exited && status == 0; }
};

// Receives the command's output as it comes; returns false when it wants no
// more (the command is then ended and the run counts as cut).
using child_output_sink = std::function<bool(const char* bytes, size_t size)>;

// One started child in its own process group. Ends the group and reaps the
// child when destroyed, unless it was waited for; a child that is never
// killed is released instead.
class child_process {
 public:
  // Starts argv[0] (found through PATH) with argv. With capture, the child's
  // standard output is a pipe that finish() reads; otherwise it shares the
  // agent's. The child gets no signal blocked and default dispositions.
  child_process(const std::vector<std::string>& argv, bool capture,
                child_kill kill = child_kill::group);
  ~child_process();
  child_process(const child_process&) = delete;
  child_process& operator=(const child_process&) = delete;

  bool started() const { return pid_ > 0; }

  // The child's pid, which is also its group's id; -1 once it was reaped
  // or released.
  pid_t pid() const { return pid_; }

  // Passes output to sink until it ends, the sink declines, the deadline
  // passes or a stop is requested; then waits for the child the same way.
  child_result finish(child_deadline deadline, const child_output_sink* sink);

  // SIGTERM to the group, SIGKILL after the grace time, then reaps.
  void end_group();

  // Lets the child go: it runs on in its own group, neither signalled nor
  // waited for.
  void release();

 private:
  bool has_ended() const;
  bool must_end(child_deadline deadline, child_end* why) const;
  bool wait_exit(child_deadline deadline, child_end* why);
  // Ends the wait for the reason why: the group is ended, or released.
  child_result give_up(child_end why);

  pid_t pid_ = -1;
  int output_ = -1;
  int status_ = -1;
  child_kill kill_ = child_kill::group;
};

// Runs "/bin/sh -c command" (an empty command for null) and waits for it.
// With a sink its output goes there, otherwise to the agent's own output.
child_result run_shell_command(const char* command, child_deadline deadline,
                               const child_output_sink* sink = nullptr);

// Runs a program with its arguments (argv[0] found through PATH) and waits.
child_result run_program(const std::vector<std::string>& argv, child_deadline deadline);

// A deadline this many seconds from now (none for a count below 0).
child_deadline child_deadline_in(long long seconds);
