// Configuration sync: fetch, exchange, apply, and the turns that follow.
#include "feature_harness.h"
#include "features/workers.h"

namespace {

const char kBudget[] = "FEATURE_CONFIG_TIMEOUT=600\nFEATURE_CONFIG_AUTO_RETRY=3\n";

class ConfigSync : public FeatureHarness {
 protected:
  // A device whose fetch command writes the source file; apply commands
  // record their runs.
  void run(const std::string& budget, const std::vector<std::string>& answers, const std::string& fetch = "") {
    std::string source = path("device.cfg");
    configure(budget + "FEATURE_CONFIG_PATH=sync\nFEATURE_CONFIG_AUTO_RETRY_INTERVAL=10\nFEATURE_CONFIG_SOURCE=" +
              source + "\nFEATURE_CONFIG_FETCH_CMD=" +
              command("fetch", fetch.empty() ? "echo 'A=1' > '" + source + "'" : fetch) +
              "\nFEATURE_CONFIG_APPLY_FLASH_CMD=" + command("flash") + "\nFEATURE_CONFIG_APPLY_CMD=" +
              command("apply", apply_) + "\n");
    tool_->answers(answers);
    __udp_client_config_thread_main(&state_->feature);
  }
  std::string apply_ = "exit 0";
};

TEST_F(ConfigSync, TurnsFollowTheServersAnswers) {
  const struct {
    const char* budget;
    std::vector<std::string> answers;
    int flash, apply, fetch_and_exchanges;
  } cases[] = {
      {kBudget, {"200 OK\n"}, 0, 0, 1},
      // Every turn exports the applied configuration again.
      {kBudget, {"301 Moved\nB=2\nENDOFFILE\n", "302 Found\nC=3\nENDOFFILE\n", "200 OK\n"}, 1, 1, 3},
      {kBudget, {"302 Found\nC=3\nENDOFFILE\n"}, 0, 11, 11},  // a server that keeps changing
      {"FEATURE_CONFIG_TIMEOUT=600\nFEATURE_CONFIG_AUTO_RETRY=-1\n", {"302 Found\nC=3\nENDOFFILE\n", "200 OK\n"}, 0, 1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answers[0] + c.budget);
    restart();
    run(c.budget, c.answers);
    EXPECT_EQ(runs("flash"), c.flash);
    EXPECT_EQ(runs("apply"), c.apply);
    EXPECT_EQ(runs("fetch"), c.fetch_and_exchanges);
    ASSERT_EQ(tool_->runs(), c.fetch_and_exchanges);
    EXPECT_EQ(logged("info", "Start configuration sync ..."), 1);
    // The upload carries the fetched file and goes to the configured path.
    EXPECT_EQ(tool_->url(1), "https://cloud.example/sync");
    EXPECT_NE(https_body(1).find("A=1"), std::string::npos);
  }
}

TEST_F(ConfigSync, FailingApplyIsRetriedWithoutNewFetch) {
  apply_ = fails_first("apply", 2);
  run(kBudget, {"302 Found\nC=3\nENDOFFILE\n", "200 OK\n"});
  EXPECT_EQ(runs("apply"), 3);
  EXPECT_EQ(logged("err", "Apply fail"), 2);
  EXPECT_EQ(runs("fetch"), 2);  // the first turn and the confirming one
  EXPECT_EQ(fake_waits(), (std::vector<unsigned>{10, 10}));
}

TEST_F(ConfigSync, FailedFetchIsLoggedAndRetriedWithoutExchange) {
  // A failing status, or status 0 without a source file.
  for (const char* fetch : {"exit 1", "exit 0"}) {
    SCOPED_TRACE(fetch);
    restart();
    run("FEATURE_CONFIG_TIMEOUT=600\nFEATURE_CONFIG_AUTO_RETRY=2\n", {"200 OK\n"}, fetch);
    EXPECT_EQ(runs("fetch"), 3);
    EXPECT_EQ(logged("err", "Fetch fail"), 3);
    EXPECT_EQ(tool_->runs(), 0);
  }
}

}  // namespace
