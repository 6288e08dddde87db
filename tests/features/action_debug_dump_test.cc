// Remote action and debug dump threads: output captured whole, only the
// upload retried, output files gone and done flags set however they end.
#include <cstring>
#include <thread>

#include "feature_harness.h"
#include "features/workers.h"

namespace {

class Action : public FeatureHarness {
 protected:
  void device(const std::string& extra) {
    configure("FEATURE_REMOTE_ACTION_PATH=action\nFEATURE_REMOTE_ACTION_TIMEOUT=600\n"
              "FEATURE_REMOTE_ACTION_AUTO_RETRY_INTERVAL=10\nFEATURE_DEBUG_DUMP_PATH=dump\n"
              "FEATURE_DEBUG_DUMP_TIMEOUT=600\nFEATURE_DEBUG_DUMP_AUTO_RETRY_INTERVAL=10\n" + extra);
  }
  void run_action(const std::string& command_line, uint32_t request_id) {
    strcpy(state_->action_buffer, command_line.c_str());
    state_->action_request_id = request_id;
    std::thread(__udp_client_action_thread_main, &state_->action).join();
  }
  void run_dump() { std::thread(__udp_client_debug_dump_thread_main, &state_->debug_dump).join(); }
};

TEST_F(Action, LargeOutputIsSentWholeWithRequestIdAndOnlyTheUploadRetried) {
  device("FEATURE_REMOTE_ACTION_AUTO_RETRY=3\n");
  // 200 KB of output, not a multiple of the copy size.
  std::string act = command("act", "head -c 204801 /dev/zero | tr '\\0' 'x'");
  tool_->answers({"500 Oops\n", "EXIT 1", "200 OK\n"});
  run_action(act + " one", 4711);
  EXPECT_EQ(run_args("act"), (std::vector<std::string>{"one"}));
  ASSERT_EQ(tool_->runs(), 3);
  EXPECT_EQ(logged("err", "Submit Action Response Error (code=500, interface=Default)"), 1);
  EXPECT_EQ(logged("err", "Submit Action Response Error (code=0, interface=Default)"), 1);
  std::string body = https_body(3);
  EXPECT_NE(body.find(std::string(204801, 'x')), std::string::npos);
  EXPECT_EQ(body.find(std::string(204802, 'x')), std::string::npos);
  EXPECT_NE(body.find("name=\"action_id\"\r\n\r\n4711\r\n"), std::string::npos);
  EXPECT_FALSE(exists("tmp/vtclient/action_tmp"));
  EXPECT_EQ(state_->action_done.load(), 1u);
}

TEST_F(Action, DebugDumpUploadsOutputAndRetriesUploadOnly) {
  device("FEATURE_DEBUG_DUMP_AUTO_RETRY=2\nFEATURE_DEBUG_DUMP_CMD=" +
         command("dump", "head -c 204800 /dev/zero | tr '\\0' 'd'") + "\n");
  tool_->answers({"404 Not Found\n", "200 OK\n"});
  run_dump();
  EXPECT_EQ(runs("dump"), 1);
  ASSERT_EQ(tool_->runs(), 2);
  EXPECT_NE(https_body(2).find(std::string(204800, 'd')), std::string::npos);
  EXPECT_EQ(tool_->url(2), "https://cloud.example/dump");
  // A failed dump upload is reported at info level, not as an error.
  EXPECT_EQ(logged("info", "Submit Debug Dump Fail (code=404, interface=Default)"), 1);
  EXPECT_FALSE(exists("tmp/vtclient/qdms_debug_dump.dump"));
  EXPECT_EQ(state_->debug_dump_done.load(), 1u);
}

TEST_F(Action, GivingUpOrStoppingStillCleansUpAndSetsDone) {
  device("FEATURE_REMOTE_ACTION_AUTO_RETRY=1\nFEATURE_DEBUG_DUMP_AUTO_RETRY=1\nFEATURE_DEBUG_DUMP_CMD=" +
         command("dump", "echo d") + "\n");
  tool_->answers({"EXIT 1"});
  run_action(command("act", "echo out"), 1);
  EXPECT_EQ(tool_->runs(), 2);
  EXPECT_FALSE(exists("tmp/vtclient/action_tmp"));
  EXPECT_EQ(state_->action_done.load(), 1u);
  state_->action_done.store(0);
  state_->stopping.store(1);
  run_action(path("bin/act"), 1);
  run_dump();
  EXPECT_EQ(runs("act") + runs("dump"), 1);
  EXPECT_EQ(state_->action_done.load() + state_->debug_dump_done.load(), 2u);
}

}  // namespace
