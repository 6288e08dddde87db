// Configuration sync: fetch, exchange, apply, and the turns that follow.
#include "feature_harness.h"
#include "features/workers.h"

namespace {

class ConfigSync : public FeatureHarness {
 protected:
  // A device whose fetch command writes the source file; apply commands
  // record their runs. retry/timeout as given.
  void device(const std::string& extra, const std::string& apply_body = "exit 0") {
    source_ = path("device.cfg");
    std::string fetch = command("fetch", "echo 'A=1' > '" + source_ + "'");
    configure("FEATURE_CONFIG_PATH=sync\nFEATURE_CONFIG_SOURCE=" + source_ +
              "\nFEATURE_CONFIG_FETCH_CMD=" + fetch +
              "\nFEATURE_CONFIG_APPLY_FLASH_CMD=" + command("flash", apply_body) +
              "\nFEATURE_CONFIG_APPLY_CMD=" + command("apply", apply_body) +
              "\nFEATURE_CONFIG_AUTO_RETRY_INTERVAL=10\n" + extra);
  }
  void run() { __udp_client_config_thread_main(&state_->feature); }
  std::string source_;
};

TEST_F(ConfigSync, InSyncAnswerEndsAfterOneFetchAndExchange) {
  device("FEATURE_CONFIG_TIMEOUT=600\nFEATURE_CONFIG_AUTO_RETRY=3\n");
  https_answers({"200 OK\n"});
  run();
  EXPECT_EQ(runs("fetch"), 1);
  EXPECT_EQ(https_runs().size(), 1u);
  EXPECT_EQ(runs("flash") + runs("apply"), 0);
  EXPECT_EQ(logged("info", "Start configuration sync ..."), 1);
  // The upload carries the fetched file and goes to the configured path.
  EXPECT_NE(https_runs()[0].find("https://cloud.example/sync"), std::string::npos);
  EXPECT_NE(https_body(1).find("A=1"), std::string::npos);
}

TEST_F(ConfigSync, MovedRunsFlashApplyFoundRunsApplyThenSyncsAgain) {
  device("FEATURE_CONFIG_TIMEOUT=600\nFEATURE_CONFIG_AUTO_RETRY=3\n");
  https_answers({"301 Moved\nB=2\n", "302 Found\nC=3\n", "200 OK\n"});
  run();
  EXPECT_EQ(runs("flash"), 1);
  EXPECT_EQ(runs("apply"), 1);
  EXPECT_EQ(runs("fetch"), 3);  // every turn exports the applied configuration again
  EXPECT_EQ(https_runs().size(), 3u);
}

TEST_F(ConfigSync, FailingApplyIsRetriedWithoutNewFetch) {
  device("FEATURE_CONFIG_TIMEOUT=600\nFEATURE_CONFIG_AUTO_RETRY=3\n", "");
  command("apply", fails_first("apply", 2));
  https_answers({"302 Found\nC=3\n", "200 OK\n"});
  run();
  EXPECT_EQ(runs("apply"), 3);
  EXPECT_EQ(logged("err", "Apply fail"), 2);
  EXPECT_EQ(runs("fetch"), 2);  // the first turn and the confirming one
  EXPECT_EQ(fake_waits(), (std::vector<unsigned>{10, 10}));
}

TEST_F(ConfigSync, ServerThatKeepsChangingIsCutOffAfterElevenTurns) {
  device("FEATURE_CONFIG_TIMEOUT=600\nFEATURE_CONFIG_AUTO_RETRY=3\n");
  https_answers({"302 Found\nC=3\n"});
  run();
  EXPECT_EQ(runs("apply"), 11);
  EXPECT_EQ(https_runs().size(), 11u);
}

TEST_F(ConfigSync, FailuresAreLoggedWithCodeAndRetriedWithinBudget) {
  struct Case {
    const char* extra;
    const char* fetch_body;
    int fetch_runs;
    int fetch_fail_lines;
  };
  const Case cases[] = {
      // Three attempts 10 s apart, or two when the budget is 15 s.
      {"FEATURE_CONFIG_TIMEOUT=600\nFEATURE_CONFIG_AUTO_RETRY=2\n", "exit 1", 3, 3},
      {"FEATURE_CONFIG_TIMEOUT=15\nFEATURE_CONFIG_AUTO_RETRY=2\n", "exit 1", 2, 2},
      // No budget at all: nothing runs.
      {"FEATURE_CONFIG_AUTO_RETRY=2\n", "exit 1", 0, 0},
      // Status 0 without a source file is a failed fetch too.
      {"FEATURE_CONFIG_TIMEOUT=600\n", "exit 0", 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.extra);
    TearDown();
    SetUp();
    device(c.extra);
    command("fetch", c.fetch_body);
    run();
    EXPECT_EQ(runs("fetch"), c.fetch_runs);
    EXPECT_EQ(logged("err", "Fetch fail"), c.fetch_fail_lines);
    EXPECT_EQ(logged("info", "Start configuration sync ..."), 1);
    EXPECT_TRUE(https_runs().empty());
  }
}

TEST_F(ConfigSync, ExchangeErrorLogsCodeAndDefaultInterface) {
  device("FEATURE_CONFIG_TIMEOUT=600\nFEATURE_CONFIG_AUTO_RETRY=1\n");
  https_answers({"500 Internal Server Error\n", "EXIT 1"});
  run();
  EXPECT_EQ(logged("err", "Config sync error (Code=500, interface=Default)"), 1);
  EXPECT_EQ(logged("err", "Config sync error (Code=0, interface=Default)"), 1);
  EXPECT_EQ(runs("fetch"), 1);  // the exchange is retried, not the fetch
}

TEST_F(ConfigSync, NegativeRetryEndsRunAfterFirstAppliedTurn) {
  device("FEATURE_CONFIG_TIMEOUT=600\nFEATURE_CONFIG_AUTO_RETRY=-1\n");
  https_answers({"302 Found\nC=3\n", "200 OK\n"});
  run();
  EXPECT_EQ(runs("apply"), 1);
  EXPECT_EQ(https_runs().size(), 1u);
}

}  // namespace
