// ISP extension: reading the extension text, and the worker's steps.
#include <cstdlib>
#include <memory>

#include "feature_harness.h"
#include "features/isp_extension.h"
#include "features/workers.h"

namespace {

std::string take(char* p) {
  std::string s = p ? p : "<null>";
  free(p);
  return s;
}

TEST(IspText, GetvalueEndsAtCrLfThenLfThenEnd) {
  struct Case {
    const char* text;
    const char* key;
    const char* value;
    const char* quoted;
  };
  const Case cases[] = {
      {"K=\"v1\"\r\nX=1\r\n", "K=\"", "v1\"", "v1"},
      {"K=\"v2\"\nX=1\n", "K=\"", "v2\"", "v2"},
      {"K=\"v3\"", "K=\"", "v3\"", "v3"},
      {"K=\"a\nb\"\r\n", "K=\"", "a\nb\"", "a\nb"},  // the first CR LF anywhere after the key wins
      {"K=\"\"\n", "K=\"", "\"", ""},
      {"K=\n", "K=", "", ""},
      {"nothing here", "K=\"", "<null>", "<null>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(take(getvalue(c.text, c.key)), c.value);
    EXPECT_EQ(take(getquotedvalue(c.text, c.key)), c.quoted);
  }
}

TEST(IspText, FirstSectionWithUrlIsChosen) {
  const char* text =
      "CUSTOM_MESSAGE_NAME=\"first\"\r\nOTHER=\"1\"\r\n"
      "CUSTOM_MESSAGE_NAME=\"second\"\r\nISP_DEFAULT_URL=\"http://isp/b\"\r\nISP_DEFAULT_APPLY_NOW=\"Yes\"\r\n"
      "CUSTOM_MESSAGE_NAME=\"third\"\nISP_DEFAULT_URL=\"http://isp/c\"\n\n";
  char *name = nullptr, *url = nullptr, *now = nullptr;
  ASSERT_EQ(get_isp_information(text, &name, &url, &now), 1);
  EXPECT_EQ(take(name), "second");
  EXPECT_EQ(take(url), "http://isp/b");
  EXPECT_EQ(take(now), "Yes");
  // No usable section: nothing stored. The last section ends before the
  // text's final character.
  name = reinterpret_cast<char*>(1);
  for (const char* none : {"no sections\n", "CUSTOM_MESSAGE_NAME=\"a\"\nX=1\n",
                           "CUSTOM_MESSAGE_NAME=\"a\"\nISP_DEFAULT_URL=\""})
    EXPECT_EQ(get_isp_information(none, &name, nullptr, nullptr), 0) << none;
  EXPECT_EQ(name, reinterpret_cast<char*>(1));
}

TEST(IspText, LongSectionIsCutNotOverflowed) {
  std::string text = "CUSTOM_MESSAGE_NAME=\"big\"\nISP_DEFAULT_URL=\"http://x\"\n" +
                     std::string(5000, 'p') + "\nISP_DEFAULT_APPLY_NOW=\"yes\"\n";
  char *name = nullptr, *url = nullptr, *now = nullptr;
  ASSERT_EQ(get_isp_information(text.c_str(), &name, &url, &now), 1);
  EXPECT_EQ(take(name), "big");
  EXPECT_EQ(take(url), "http://x");
  EXPECT_EQ(take(now), "<null>");  // beyond the 999 bytes that are looked at
  // 101 sections: only 100 marks are found, so the 100th section runs on
  // over the 101st and carries its URL under its own name.
  std::string many;
  for (int i = 0; i < 100; ++i) many += "CUSTOM_MESSAGE_NAME=\"s" + std::to_string(i) + "\"\n";
  many += "CUSTOM_MESSAGE_NAME=\"late\"\nISP_DEFAULT_URL=\"http://late\"\n\n";
  ASSERT_EQ(get_isp_information(many.c_str(), &name, &url, &now), 1);
  EXPECT_EQ(take(name), "s99");
  EXPECT_EQ(take(url), "http://late");
  free(now);
}

class Isp : public FeatureHarness {
 protected:
  void device(const std::string& extra = "FEATURE_UPISPD_AUTO_RETRY=3\n") {
    configure("FEATURE_UPISPD_TIMEOUT=600\nFEATURE_UPISPD_AUTO_RETRY_INTERVAL=10\n"
              "FEATURE_UPISPD_PATH=ext\nFEATURE_UPISPD_X_PATH=extdel\n"
              "FEATURE_UPISPD_ACTION_CMD=" + command("apply") +
              "\nFEATURE_UPISPD_REBOOT_CMD=" + command("reboot") + "\n" + extra);
  }
  static std::string extension(const std::string& apply_now, const std::string& eol = "\r\n") {
    return "302 Found\nCUSTOM_MESSAGE_NAME=\"none\"" + eol + "X=\"1\"" + eol +
           "CUSTOM_MESSAGE_NAME=\"isp one\"" + eol + "ISP_DEFAULT_URL=\"http://isp/x?a=1&b='2'\"" +
           eol + apply_now + "END" + eol;
  }
  void run() { __udp_client_isp_thread_main(&state_->feature); }
};

TEST_F(Isp, ExtensionIsAppliedDeletedAndRestartFollowsApplyNow) {
  struct Case {
    const char* apply_now;
    const char* eol;
    int reboots;
  };
  const Case cases[] = {
      {"ISP_DEFAULT_APPLY_NOW=\"YES\"\r\n", "\r\n", 1},
      {"ISP_DEFAULT_APPLY_NOW=\"Yes\"\n", "\n", 1},
      {"ISP_DEFAULT_APPLY_NOW=\"no\"\n", "\n", 0},
      {"ISP_DEFAULT_APPLY_NOW=\"\"\n", "\n", 0},
      {"", "\n", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.apply_now);
    TearDown();
    SetUp();
    device();
    https_answers({extension(c.apply_now, c.eol), "200 OK\n"});
    run();
    // The server's URL reaches the command as one argument, unchanged.
    EXPECT_EQ(run_args("apply"), (std::vector<std::string>{"http://isp/x?a=1&b='2'"}));
    EXPECT_EQ(runs("reboot"), c.reboots);
    ASSERT_EQ(https_runs().size(), 2u);
    EXPECT_NE(https_runs()[1].find("https://cloud.example/extdel"), std::string::npos);
    EXPECT_NE(https_body(2).find("custom_message_name=isp one"), std::string::npos);
    EXPECT_FALSE(exists("tmp/ISP_tmp"));
    EXPECT_EQ(logged("info", "Start ISP ..."), 1);
  }
}

TEST_F(Isp, FailedDeleteOrRestartIsRetriedAloneWithoutApplyingAgain) {
  device();
  command("reboot", fails_first("reboot", 1));
  https_answers({extension("ISP_DEFAULT_APPLY_NOW=\"yes\"\n"), "500 Err\n", "200 OK\n"});
  run();
  EXPECT_EQ(runs("apply"), 1);
  EXPECT_EQ(runs("reboot"), 2);
  EXPECT_EQ(logged("err", "Reboot fail"), 1);
  EXPECT_EQ(https_runs().size(), 3u);
  EXPECT_EQ(logged("err", "Delete Extension Fail (code=500, interface=Default)"), 1);
  EXPECT_FALSE(exists("tmp/ISP_tmp"));
}

TEST_F(Isp, NoExtensionEndsAfterOneRequest) {
  device();
  https_answers({"200 OK\n"});
  run();
  EXPECT_EQ(https_runs().size(), 1u);
  EXPECT_EQ(runs("apply"), 0);
  EXPECT_EQ(logged("err", "Extension Fail (code=200, interface=Default)"), 0);
  https_answers({"404 Not Found\n"});
  run();
  EXPECT_EQ(logged("err", "Extension Fail (code=404, interface=Default)"), 4);
}

}  // namespace
