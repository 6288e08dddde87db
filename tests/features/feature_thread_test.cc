// The feature worker: requests run one at a time with their closing line,
// ids of other workers run nothing, a stop ends the thread; firmware
// upgrade and reboot.
#include <chrono>
#include <thread>

#include "feature_harness.h"
#include "features/workers.h"

namespace {

class FeatureThread : public FeatureHarness {
 protected:
  void SetUp() override {
    FeatureHarness::SetUp();
    configure("FEATURE_FIRMWARE_TIMEOUT=600\nFEATURE_FIRMWARE_AUTO_RETRY=1\n"
              "FEATURE_FIRMWARE_AUTO_RETRY_INTERVAL=10\nFEATURE_FIRMWARE_ACTION_CMD=" +
              command("upgrade", "exit 1") + "\nFEATURE_REBOOT_ACTION_CMD=" + command("reboot", "exit 9") + "\n");
    worker_ = std::thread(__udp_client_feature_thread_main, &state_->feature);
  }
  void TearDown() override {
    if (worker_.joinable()) stop();
    FeatureHarness::TearDown();
  }
  // Posts id as the handlers do, once the worker is idle; with `done`, again
  // while it is idle until that line has been logged.
  void post(uint32_t id, const char* done = nullptr) {
    ASSERT_TRUE(wait_until([&] {
      std::lock_guard<std::mutex> lock(state_->feature_mutex);
      if (done != nullptr && logged("info", done) > 0) return true;
      bool idle = state_->feature_busy == 0;
      if (idle) {
        state_->feature_busy = 1;
        state_->feature_request = id;
      }
      state_->feature_cond.notify_all();
      return idle && done == nullptr;
    }));
  }
  void stop() {
    state_->stopping.store(1);
    state_->feature_cond.notify_all();
    worker_.join();
    EXPECT_EQ(state_->feature_exited.load(), 1u);
  }
  std::thread worker_;
};

TEST_F(FeatureThread, RunsRequestedWorkerAndLogsItsLine) {
  post(5, "Reboot Thread is going to sleep");
  post(3, "Firmware Thread is going to sleep");
  stop();
  EXPECT_EQ(logged("info", "Feature Thread Started"), 1);
  EXPECT_EQ(logged("info", "Start Reboot ..."), 1);
  EXPECT_EQ(runs("reboot"), 1);  // once, whatever its status
  EXPECT_EQ(logged("info", "Start firmware upgrade ..."), 1);
  EXPECT_EQ(runs("upgrade"), 2);
  EXPECT_EQ(logged("err", "ERROR"), 2);
}

TEST_F(FeatureThread, OtherIdsRunNothingAndThreadWaitsAgain) {
  for (uint32_t id : {1u, 7u, 2u, 6u, 9u, 4000000000u}) post(id);
  post(5, "Reboot Thread is going to sleep");  // still there for a real request
  stop();
  EXPECT_EQ(runs("reboot"), 1);
  for (const char* line : {"Config Thread is going to sleep", "ISP Thread is going to sleep",
                           "GPS Thread is going to sleep", "Firmware Thread is going to sleep"})
    EXPECT_EQ(logged("info", line), 0) << line;
}

TEST_F(FeatureThread, UnsignalledStopIsSeenWithinFiveSeconds) {
  ASSERT_TRUE(wait_until([&] { return logged("info", "Feature Thread Started") == 1; }));
  auto start = std::chrono::steady_clock::now();
  state_->stopping.store(1);  // nobody signals the condition
  worker_.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(7));
  EXPECT_EQ(state_->feature_exited.load(), 1u);
}

TEST_F(FeatureHarness, FeatureWorkerStoppedBeforeStartLeavesAtOnceAndFirmwareNeedsATimeout) {
  state_->stopping.store(1);
  __udp_client_feature_thread_main(&state_->feature);
  EXPECT_EQ(state_->feature_exited.load(), 1u);
  configure("FEATURE_FIRMWARE_ACTION_CMD=" + command("upgrade") + "\n");
  __udp_client_firmware_thread_main(&state_->feature);
  EXPECT_EQ(logged("info", "Start firmware upgrade ..."), 1);
  EXPECT_EQ(runs("upgrade"), 0);
}

}  // namespace
