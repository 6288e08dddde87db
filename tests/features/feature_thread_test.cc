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
              "FEATURE_FIRMWARE_AUTO_RETRY_INTERVAL=10\n"
              "FEATURE_FIRMWARE_ACTION_CMD=" + command("upgrade", "exit 1") +
              "\nFEATURE_REBOOT_ACTION_CMD=" + command("reboot", "exit 9") + "\n");
  }
  // Posts id as the handlers do, retrying while the worker is not yet
  // waiting, until `done` has been logged `times` times in all.
  void post(uint32_t id, const char* done, int times) {
    ASSERT_TRUE(eventually([&] {
      std::lock_guard<std::mutex> lock(state_->feature_mutex);
      if (logged("info", done) >= times) return true;
      if (state_->feature_busy == 0) {
        state_->feature_busy = 1;
        state_->feature_request = id;
      }
      state_->feature_cond.notify_all();
      return false;
    }));
  }
  void stop(std::thread& worker) {
    state_->stopping.store(1);
    state_->feature_cond.notify_all();
    worker.join();
    EXPECT_EQ(state_->feature_exited.load(), 1u);
  }
};

TEST_F(FeatureThread, RunsRequestedWorkerAndLogsItsLine) {
  std::thread worker(__udp_client_feature_thread_main, &state_->feature);
  post(5, "Reboot Thread is going to sleep", 1);
  post(3, "Firmware Thread is going to sleep", 1);
  stop(worker);
  EXPECT_EQ(logged("info", "Feature Thread Started"), 1);
  EXPECT_EQ(logged("info", "Start Reboot ..."), 1);
  EXPECT_EQ(runs("reboot"), 1);  // once, whatever its status
  EXPECT_EQ(logged("info", "Start firmware upgrade ..."), 1);
  EXPECT_EQ(runs("upgrade"), 2);
  EXPECT_EQ(logged("err", "ERROR"), 2);
}

TEST_F(FeatureThread, OtherIdsRunNothingAndThreadWaitsAgain) {
  std::thread worker(__udp_client_feature_thread_main, &state_->feature);
  for (uint32_t id : {1u, 7u, 2u, 6u, 9u, 4000000000u}) {
    ASSERT_TRUE(eventually([&] {
      std::lock_guard<std::mutex> lock(state_->feature_mutex);
      if (state_->feature_busy != 0) return false;
      state_->feature_busy = 1;
      state_->feature_request = id;
      state_->feature_cond.notify_all();
      return true;
    }));
  }
  // The worker is still there for a real request.
  post(5, "Reboot Thread is going to sleep", 1);
  stop(worker);
  EXPECT_EQ(runs("reboot"), 1);
  for (const char* line : {"Config Thread is going to sleep", "ISP Thread is going to sleep",
                           "GPS Thread is going to sleep", "Firmware Thread is going to sleep"}) {
    EXPECT_EQ(logged("info", line), 0) << line;
  }
}

TEST_F(FeatureThread, StopWhileIdleEndsThread) {
  std::thread worker(__udp_client_feature_thread_main, &state_->feature);
  ASSERT_TRUE(eventually([&] { return logged("info", "Feature Thread Started") == 1; }));
  stop(worker);
}

TEST_F(FeatureThread, UnsignalledStopIsSeenWithinFiveSeconds) {
  std::thread worker(__udp_client_feature_thread_main, &state_->feature);
  ASSERT_TRUE(eventually([&] { return logged("info", "Feature Thread Started") == 1; }));
  auto start = std::chrono::steady_clock::now();
  state_->stopping.store(1);  // nobody signals the condition
  worker.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(7));
  EXPECT_EQ(state_->feature_exited.load(), 1u);
}

TEST_F(FeatureThread, StoppedBeforeStartLeavesAtOnce) {
  state_->stopping.store(1);
  __udp_client_feature_thread_main(&state_->feature);
  EXPECT_EQ(state_->feature_exited.load(), 1u);
}

TEST_F(FeatureThread, FirmwareWithoutTimeoutRunsNoCommand) {
  configure("FEATURE_FIRMWARE_ACTION_CMD=" + path("bin/upgrade") +
            "\nFEATURE_REBOOT_ACTION_CMD=" + path("bin/reboot") + "\n");
  __udp_client_firmware_thread_main(&state_->feature);
  EXPECT_EQ(logged("info", "Start firmware upgrade ..."), 1);
  EXPECT_EQ(runs("upgrade"), 0);
  EXPECT_NE(__udp_client_reboot_thread_main(&state_->feature), 0);
  EXPECT_EQ(runs("reboot"), 1);
}

}  // namespace
