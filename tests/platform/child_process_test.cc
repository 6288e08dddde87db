// Commands the agent runs end by themselves, or are ended as a whole group
// at their deadline or when their output is no longer wanted; an ended
// command never counts as a success, and none starts once a stop is asked.
#include "platform/child_process.h"

#include <dirent.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>

#include "platform/stop.h"
#include "tests/support/sandbox.h"

namespace {

class ChildProcess : public vt_test::SandboxTest {};

// Live processes of group pgid (a killed one may stay a zombie until its
// new parent reaps it).
int live_in_group(int pgid) {
  int live = 0;
  DIR* proc = opendir("/proc");
  while (dirent* e = proc ? readdir(proc) : nullptr) {
    std::string stat = vt_test::read_text_file(std::string("/proc/") + e->d_name + "/stat");
    size_t end = stat.rfind(')');
    char state = 0;
    int parent = 0, group = 0;
    if (end != std::string::npos && sscanf(stat.c_str() + end + 1, " %c %d %d", &state, &parent, &group) == 3)
      live += group == pgid && state != 'Z';
  }
  if (proc) closedir(proc);
  return live;
}

TEST_F(ChildProcess, EndsTheWholeGroupAtDeadlineOrCutAndNeverCallsThatSuccess) {
  const std::string record = "echo $$ > " + sandbox.path("/pid") + "; ";
  // The command, its deadline in seconds (-1: none), whether its output has a sink and a stop comes
  // first, how it ends and its status.
  const struct { std::string command; long long deadline; bool sink, stop_first; child_end end; int status; } cases[] {
      {"exit 3", -1, false, false, child_end::exited, 3 << 8},
      {"echo out", -1, true, false, child_end::exited, 0},
      // A leader that leaves with 0 on SIGTERM, and a child in the background.
      {record + "trap 'exit 0' TERM; sleep 100 & wait", 1, false, false, child_end::deadline, -1},
      // A group that ignores SIGTERM gets SIGKILL after the grace time.
      {record + "trap '' TERM; sleep 100 & sleep 100", 1, false, false, child_end::deadline, -1},
      {record + "yes", -1, true, false, child_end::cut, -1},
      {"exit 0", -1, false, true, child_end::not_started, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    sandbox.remove("/pid");
    if (c.stop_first) vt_request_stop();
    size_t seen = 0;
    const child_output_sink sink = [&](const char*, size_t n) { return (seen += n) < 100000; };
    child_result r = run_shell_command(c.command.c_str(), child_deadline_in(c.deadline), c.sink ? &sink : nullptr);
    vt_clear_stop();
    EXPECT_TRUE(r.end == c.end && r.status == c.status) << static_cast<int>(r.end) << " " << r.status;
    EXPECT_EQ(r.succeeded(), c.end == child_end::exited && c.status == 0);
    // A killed process dies a moment after the signal.
    int group = atoi(sandbox.read_file("/pid").c_str());
    EXPECT_TRUE(group == 0 || vt_test::wait_until([&] { return live_in_group(group) == 0; }))
        << "a process of the group is left";
  }
}

TEST_F(ChildProcess, ACommandThatEndedIsNotWaitedForWhileItsBackgroundChildHoldsTheOutput) {
  // A service restarted in the background keeps the output pipe open; the
  // command is done once it has ended, and what it started is left alone.
  const std::string command = "echo $$ > " + sandbox.path("/pid") + "; sleep 60 & echo started";
  std::string output;
  const child_output_sink sink = [&](const char* b, size_t n) { return output.append(b, n), true; };
  child_result r = run_shell_command(command.c_str(), child_deadline_in(30), &sink);
  int group = atoi(sandbox.read_file("/pid").c_str());
  EXPECT_EQ(live_in_group(group), 1) << "the background child was ended";
  if (group > 0) killpg(group, SIGKILL);
  EXPECT_EQ(r.end, child_end::exited);
  EXPECT_EQ(output, "started\n");
}

}  // namespace
