// The device report worker: fetch, upload, notification, and the failure
// notification once the attempts are used up.
#include <thread>

#include "feature_harness.h"
#include "features/workers.h"

namespace {

class Report : public FeatureHarness {
 protected:
  // Starts the worker, requests one report, waits until it is back to
  // waiting, and stops it.
  void report_once(const std::string& budget, const std::string& fetch = "exit 0",
                   const std::string& notify = "exit 0", const std::string& report_file = "report.tgz") {
    write("report.tgz", "REPORTDATA");
    configure(budget + "FEATURE_REPORT_PATH=report\nFEATURE_REPORT_SOURCE=" + path(report_file) +
              "\nFEATURE_REPORT_FETCH_CMD=" + command("fetch", fetch) + "\nFEATURE_REPORT_NOTIFY_CMD=" +
              command("notify", notify) +
              "\nFEATURE_REPORT_NOTIFY_SUCCEED=SUCCEED\nFEATURE_REPORT_NOTIFY_FAILED=FAILED\n"
              "FEATURE_REPORT_AUTO_RETRY_INTERVAL=10\n");
    std::thread worker(__udp_client_report_thread_main, &state_->report);
    // Posted as the supervision loop posts, maybe before the worker first waits.
    {
      std::lock_guard<std::mutex> lock(state_->report_mutex);
      state_->report_busy = 1;
      state_->report_requested = 1;
      state_->report_cond.notify_all();
    }
    EXPECT_TRUE(wait_until([&] {
      std::lock_guard<std::mutex> lock(state_->report_mutex);
      return state_->report_busy == 0 && logged("info", "Report Thread going to sleep") == 2;
    }, std::chrono::seconds(60)));
    {
      std::lock_guard<std::mutex> lock(state_->report_mutex);
      state_->stopping.store(1);
    }
    state_->report_cond.notify_all();
    worker.join();
    EXPECT_EQ(state_->report_exited.load(), 1u);
    EXPECT_EQ(logged("info", "Start device reporting ..."), 1);
  }
};

TEST_F(Report, DeliveredReportIsAnnouncedAsSucceeded) {
  report_once("FEATURE_REPORT_TIMEOUT=600\nFEATURE_REPORT_AUTO_RETRY=2\n", "exit 0", fails_first("notify", 1));
  EXPECT_EQ(runs("fetch"), 1);
  ASSERT_EQ(tool_->runs(), 1) << "a failed notification is repeated without a new upload";
  EXPECT_EQ(tool_->url(1), "https://cloud.example/report");
  EXPECT_NE(https_body(1).find("REPORTDATA"), std::string::npos);
  EXPECT_EQ(run_args("notify"), (std::vector<std::string>{"SUCCEED", "SUCCEED"}));
  EXPECT_EQ(logged("err", "Report Notify Command failed (cmd=" + path("bin/notify") + " SUCCEED)"), 1);
}

// Only used-up attempts are announced as failed; a run cut off by its
// deadline is not announced at all.
TEST_F(Report, FailuresAreAnnouncedOnlyWhenTheAttemptsAreUsedUp) {
  const struct {
    const char *budget, *fetch, *report_file, *error;
    int errors;
    std::vector<std::string> notified;
  } cases[] = {
      {"FEATURE_REPORT_TIMEOUT=600\nFEATURE_REPORT_AUTO_RETRY=1\n", "exit 1", "report.tgz", "Fetch err", 2, {"FAILED"}},
      {"FEATURE_REPORT_TIMEOUT=600\nFEATURE_REPORT_AUTO_RETRY=1\n", "exit 0", "missing.tgz",
       "Device Report Submission error (Code=300, interface=Default)", 2, {"FAILED"}},
      {"FEATURE_REPORT_TIMEOUT=5\nFEATURE_REPORT_AUTO_RETRY=2\n", "exit 1", "report.tgz", "Fetch err", 1, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error + std::string(" ") + c.budget);
    restart();
    report_once(c.budget, c.fetch, "exit 0", c.report_file);
    EXPECT_EQ(logged("err", c.error), c.errors);
    EXPECT_EQ(run_args("notify"), c.notified);
    EXPECT_EQ(tool_->runs(), 0);
  }
}

}  // namespace
