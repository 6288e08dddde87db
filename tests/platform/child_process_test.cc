// Commands the agent runs end by themselves, or are ended as a whole group
// at their deadline or when their output is no longer wanted; an ended
// command never counts as a success, and none starts once a stop is asked.
#include "platform/child_process.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "platform/stop.h"
#include "tests/support/sandbox.h"

namespace {

class ChildProcess : public vt_test::SandboxTest {};

// Live processes of group pgid (a killed one may stay a zombie until its
// new parent reaps it).
int live_in_group(int pgid) {
  int live = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc")) {
    std::string stat = vt_test::read_text_file(e.path() / "stat");
    size_t end = stat.rfind(')');
    char state = 0;
    int parent = 0, group = 0;
    if (end != std::string::npos && sscanf(stat.c_str() + end + 1, " %c %d %d", &state, &parent, &group) == 3)
      live += group == pgid && state != 'Z';
  }
  return live;
}

TEST_F(ChildProcess, EndsTheWholeGroupAtDeadlineOrCutAndNeverCallsThatSuccess) {
  const std::string record = "echo $$ > " + sandbox.path("/pid") + "; ";
  // The command, its deadline in seconds (-1: none), whether its output has a sink and a stop comes
  // first, how it ends and its status, the processes of its group left, its output (null: not looked at).
  const struct { std::string command; long long deadline; bool sink, stop_first; child_end end; int status;
                 int left = 0; const char* output = nullptr; } cases[] {
      {"exit 3", -1, false, false, child_end::exited, 3 << 8},
      {"echo out", -1, true, false, child_end::exited, 0, 0, "out\n"},
      // A service restarted in the background keeps the output open: the command is done once it has
      // ended, and what it started is left alone.
      {record + "sleep 60 & echo started", 30, true, false, child_end::exited, 0, 1, "started\n"},
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
    std::string output;
    const child_output_sink sink = [&](const char* b, size_t n) { return output.append(b, n).size() < 100000; };
    child_result r = run_shell_command(c.command.c_str(), child_deadline_in(c.deadline), c.sink ? &sink : nullptr);
    vt_clear_stop();
    EXPECT_TRUE(r.end == c.end && r.status == c.status) << static_cast<int>(r.end) << " " << r.status;
    EXPECT_EQ(r.succeeded(), c.end == child_end::exited && c.status == 0);
    if (c.output) { EXPECT_EQ(output, c.output); }
    // A killed process dies a moment after the signal.
    int group = atoi(sandbox.read_file("/pid").c_str());
    EXPECT_TRUE(group == 0 || vt_test::wait_until([&] { return live_in_group(group) == c.left; }))
        << "the processes of the group left are not " << c.left;
    if (c.left) killpg(group, SIGKILL);
  }
}

}  // namespace
