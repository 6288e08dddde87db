// Configuration sync: fetch, exchange, apply, and the turns that follow.
#include "feature_harness.h"
#include "features/workers.h"

namespace {

class ConfigSync : public FeatureHarness {
 protected:
  // A device whose fetch command writes the source file; apply commands
  // record their runs.
  void run(const std::string& extra, const std::vector<std::string>& answers, const std::string& fetch = "") {
    std::string source = path("device.cfg");
    configure("FEATURE_CONFIG_PATH=sync\nFEATURE_CONFIG_SOURCE=" + source + "\nFEATURE_CONFIG_FETCH_CMD=" +
              command("fetch", fetch.empty() ? "echo 'A=1' > '" + source + "'" : fetch) +
              "\nFEATURE_CONFIG_APPLY_FLASH_CMD=" + command("flash") + "\nFEATURE_CONFIG_APPLY_CMD=" +
              command("apply", apply_) + "\nFEATURE_CONFIG_AUTO_RETRY_INTERVAL=10\n" + extra);
    https_answers(answers);
    __udp_client_config_thread_main(&state_->feature);
  }
  std::string apply_ = "exit 0";
};

const char kBudget[] = "FEATURE_CONFIG_TIMEOUT=600\nFEATURE_CONFIG_AUTO_RETRY=3\n";

TEST_F(ConfigSync, TurnsFollowTheServersAnswers) {
  const struct {
    const char* extra;
    std::vector<std::string> answers;
    int flash, apply, fetch, exchanges;
  } cases[] = {
      {kBudget, {"200 OK\n"}, 0, 0, 1, 1},
      // Every turn exports the applied configuration again.
      {kBudget, {"301 Moved\nB=2\n", "302 Found\nC=3\n", "200 OK\n"}, 1, 1, 3, 3},
      {kBudget, {"302 Found\nC=3\n"}, 0, 11, 11, 11},  // a server that keeps changing
      {"FEATURE_CONFIG_TIMEOUT=600\nFEATURE_CONFIG_AUTO_RETRY=-1\n", {"302 Found\nC=3\n", "200 OK\n"}, 0, 1, 1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answers[0] + c.extra);
    TearDown();
    SetUp();
    run(c.extra, c.answers);
    EXPECT_EQ(runs("flash"), c.flash);
    EXPECT_EQ(runs("apply"), c.apply);
    EXPECT_EQ(runs("fetch"), c.fetch);
    EXPECT_EQ(https_runs().size(), size_t(c.exchanges));
    EXPECT_EQ(logged("info", "Start configuration sync ..."), 1);
    // The upload carries the fetched file and goes to the configured path.
    EXPECT_NE(https_runs()[0].find("https://cloud.example/sync"), std::string::npos);
    EXPECT_NE(https_body(1).find("A=1"), std::string::npos);
  }
}

TEST_F(ConfigSync, FailingApplyIsRetriedWithoutNewFetch) {
  apply_ = fails_first("apply", 2);
  run(kBudget, {"302 Found\nC=3\n", "200 OK\n"});
  EXPECT_EQ(runs("apply"), 3);
  EXPECT_EQ(logged("err", "Apply fail"), 2);
  EXPECT_EQ(runs("fetch"), 2);  // the first turn and the confirming one
  EXPECT_EQ(fake_waits(), (std::vector<unsigned>{10, 10}));
}

TEST_F(ConfigSync, FailedFetchesAreLoggedAndRetriedWithinBudget) {
  const struct {
    const char* extra;
    const char* fetch;
    int fetch_runs;
  } cases[] = {
      // Three attempts 10 s apart, or two when the budget is 15 s.
      {"FEATURE_CONFIG_TIMEOUT=600\nFEATURE_CONFIG_AUTO_RETRY=2\n", "exit 1", 3},
      {"FEATURE_CONFIG_TIMEOUT=15\nFEATURE_CONFIG_AUTO_RETRY=2\n", "exit 1", 2},
      {"FEATURE_CONFIG_AUTO_RETRY=2\n", "exit 1", 0},  // no budget at all
      {"FEATURE_CONFIG_TIMEOUT=600\n", "exit 0", 1},   // status 0 without a source file
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.extra);
    TearDown();
    SetUp();
    run(c.extra, {"200 OK\n"}, c.fetch);
    EXPECT_EQ(runs("fetch"), c.fetch_runs);
    EXPECT_EQ(logged("err", "Fetch fail"), c.fetch_runs);
    EXPECT_TRUE(https_runs().empty());
  }
}

TEST_F(ConfigSync, ExchangeErrorLogsCodeAndIsRetriedWithoutNewFetch) {
  run("FEATURE_CONFIG_TIMEOUT=600\nFEATURE_CONFIG_AUTO_RETRY=1\n", {"500 Internal Server Error\n", "EXIT 1"});
  EXPECT_EQ(logged("err", "Config sync error (Code=500, interface=Default)"), 1);
  EXPECT_EQ(logged("err", "Config sync error (Code=0, interface=Default)"), 1);
  EXPECT_EQ(runs("fetch"), 1);
}

}  // namespace
