// ISP extension: reading the extension text, and the worker's steps.
#include <cstdlib>

#include "feature_harness.h"
#include "features/isp_extension.h"
#include "features/workers.h"

namespace {

std::string take(char* p) {
  std::string s = p ? p : "<null>";
  free(p);
  return s;
}

// The chosen section as "name url apply-now", or "none" (nothing stored).
std::string chosen(const std::string& text) {
  char *name = nullptr, *url = nullptr, *now = nullptr;
  if (get_isp_information(text.c_str(), &name, &url, &now) != 1) return name || url || now ? "stored" : "none";
  return take(name) + " " + take(url) + " " + take(now);
}

TEST(IspText, FirstSectionWithUrlIsChosenAndLongOnesAreCut) {
  std::string many;  // 101 sections: only 100 marks are found, so the 100th runs on over the 101st
  for (int i = 0; i < 100; ++i) many += "CUSTOM_MESSAGE_NAME=\"s" + std::to_string(i) + "\"\n";
  const std::pair<std::string, const char*> cases[] = {
      {"CUSTOM_MESSAGE_NAME=\"first\"\r\nOTHER=\"1\"\r\nCUSTOM_MESSAGE_NAME=\"second\"\r\n"
       "ISP_DEFAULT_URL=\"http://isp/b\"\r\nISP_DEFAULT_APPLY_NOW=\"Yes\"\r\n"
       "CUSTOM_MESSAGE_NAME=\"third\"\nISP_DEFAULT_URL=\"http://isp/c\"\n\n",
       "second http://isp/b Yes"},
      {"no sections\n", "none"},
      {"CUSTOM_MESSAGE_NAME=\"a\"\nX=1\n", "none"},
      {"CUSTOM_MESSAGE_NAME=\"a\"\nISP_DEFAULT_URL=\"", "none"},  // the last section ends before the final character
      // The apply-now line lies beyond the 999 bytes that are looked at.
      {"CUSTOM_MESSAGE_NAME=\"big\"\nISP_DEFAULT_URL=\"http://x\"\n" + std::string(5000, 'p') +
       "\nISP_DEFAULT_APPLY_NOW=\"yes\"\n", "big http://x <null>"},
      {many + "CUSTOM_MESSAGE_NAME=\"late\"\nISP_DEFAULT_URL=\"http://late\"\n\n", "s99 http://late <null>"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(chosen(text), expected) << text.substr(0, 60);
}

class Isp : public FeatureHarness {
 protected:
  void run(const std::vector<std::string>& answers, const std::string& reboot = "exit 0") {
    configure("FEATURE_UPISPD_TIMEOUT=600\nFEATURE_UPISPD_AUTO_RETRY=3\nFEATURE_UPISPD_AUTO_RETRY_INTERVAL=10\n"
              "FEATURE_UPISPD_PATH=ext\nFEATURE_UPISPD_X_PATH=extdel\nFEATURE_UPISPD_ACTION_CMD=" +
              command("apply") + "\nFEATURE_UPISPD_REBOOT_CMD=" + command("reboot", reboot) + "\n");
    tool_->answers(answers);
    __udp_client_isp_thread_main(&state_->feature);
  }
  static std::string extension(const std::string& apply_now, const std::string& eol = "\r\n") {
    return "302 Found\nCUSTOM_MESSAGE_NAME=\"none\"" + eol + "X=\"1\"" + eol +
           "CUSTOM_MESSAGE_NAME=\"isp one\"" + eol + "ISP_DEFAULT_URL=\"http://isp/x?a=1&b='2';$(id)\"" +
           eol + apply_now + "END" + eol;
  }
};

TEST_F(Isp, ExtensionIsAppliedDeletedAndRestartFollowsApplyNow) {
  const struct {
    const char *apply_now, *eol;
    int reboots;
  } cases[] = {
      {"ISP_DEFAULT_APPLY_NOW=\"YES\"\r\n", "\r\n", 1},  // any case of yes
      {"ISP_DEFAULT_APPLY_NOW=\"no\"\n", "\n", 0},
      {"", "\n", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.apply_now);
    restart();
    run({extension(c.apply_now, c.eol), "200 OK\n"});
    // The server's URL reaches the command as one argument, unchanged.
    EXPECT_EQ(run_args("apply"), (std::vector<std::string>{"http://isp/x?a=1&b='2';$(id)"}));
    EXPECT_EQ(runs("reboot"), c.reboots);
    ASSERT_EQ(tool_->runs(), 2);
    EXPECT_EQ(tool_->url(2), "https://cloud.example/extdel");
    EXPECT_NE(https_body(2).find("custom_message_name=isp one"), std::string::npos);
    EXPECT_FALSE(exists("tmp/vtclient/ISP_tmp"));
  }
}

TEST_F(Isp, FailedDeleteOrRestartIsRetriedAloneWithoutApplyingAgain) {
  run({extension("ISP_DEFAULT_APPLY_NOW=\"yes\"\n"), "500 Err\n", "200 OK\n"}, fails_first("reboot", 1));
  EXPECT_EQ(runs("apply"), 1);
  EXPECT_EQ(runs("reboot"), 2);
  EXPECT_EQ(logged("err", "Reboot fail"), 1);
  EXPECT_EQ(tool_->runs(), 3);
  EXPECT_EQ(logged("err", "Delete Extension Fail (code=500, interface=Default)"), 1);
  EXPECT_FALSE(exists("tmp/vtclient/ISP_tmp"));
}

TEST_F(Isp, NoExtensionEndsAfterOneRequestAndAFailedRequestIsRetried) {
  run({"200 OK\n"});
  EXPECT_EQ(tool_->runs(), 1);
  EXPECT_EQ(runs("apply"), 0);
  run({"404 Not Found\n"});
  EXPECT_EQ(logged("err", "Extension Fail (code=404, interface=Default)"), 4);
}

}  // namespace
