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
  // Posts id as the handlers do, once the worker is idle. The first post
  // may come before the worker first waits; it must not be lost.
  void post(uint32_t id) {
    ASSERT_TRUE(wait_until([&] {
      std::lock_guard<std::mutex> lock(state_->feature_mutex);
      if (state_->feature_busy != 0) return false;
      state_->feature_busy = 1;
      state_->feature_requested = 1;
      state_->feature_request = id;
      state_->feature_cond.notify_all();
      return true;
    }, std::chrono::seconds(60)));
  }
  void stop() {
    {
      std::lock_guard<std::mutex> lock(state_->feature_mutex);
      state_->stopping.store(1);
    }
    state_->feature_cond.notify_all();
    worker_.join();
    EXPECT_EQ(state_->feature_exited.load(), 1u);
  }
  std::thread worker_;
};

TEST_F(FeatureThread, RunsRequestedWorkerAndLogsItsLineOtherIdsRunNothing) {
  for (uint32_t id : {1u, 7u, 2u, 6u, 9u, 4000000000u}) post(id);
  post(5);  // still there for a real request
  post(3);
  ASSERT_TRUE(wait_until([&] { return logged("info", "Firmware Thread is going to sleep") == 1; },
                         std::chrono::seconds(60)));
  stop();
  EXPECT_EQ(logged("info", "Start Reboot ..."), 1);
  EXPECT_EQ(runs("reboot"), 1);  // once, whatever its status
  EXPECT_EQ(logged("info", "Start firmware upgrade ..."), 1);
  EXPECT_EQ(runs("upgrade"), 2);
  EXPECT_EQ(logged("err", "ERROR"), 2);
  EXPECT_EQ(logged("info", "Config Thread is going to sleep") + logged("info", "ISP Thread is going to sleep") +
                logged("info", "GPS Thread is going to sleep") + logged("info", "Firmware Thread is going to sleep"),
            1);
}

}  // namespace
