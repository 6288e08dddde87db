// Session authorisation over the real stand-in and the local test server,
// with the WAN links described by sandboxed status files.
#include "https/session_auth.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <cstring>

#include "tests/support/https_test_server.h"

namespace {

using LogLine = std::pair<int, std::string>;
std::vector<LogLine> g_log;

int capture_log(int level, const char* format, ...) {
  char line[2048];
  va_list ap;
  va_start(ap, format);
  vsnprintf(line, sizeof(line), format, ap);
  va_end(ap);
  g_log.emplace_back(level, line);
  return static_cast<int>(strlen(line));
}

const std::string kGood = "302 Found\n0123456789abcdef\nudp.example.net trailing words\n11753\n";

class SessionAuthTest : public vt_test::HttpsExchangeTest {
 protected:
  void TearDown() override {
    HttpsExchangeTest::TearDown();
    g_log.clear();
    free(key), free(host), free(iface);
    EXPECT_FALSE(sandbox.exists("/tmp/vtclient/udps_auth.in")) << "request body outlived the call";
    EXPECT_FALSE(sandbox.exists("/tmp/vtclient/udps_auth.dump")) << "answer outlived the call";
  }
  // WAN links 1..n, each connected over its interface name, or down when "".
  void wans(const std::vector<std::string>& names) {
    sandbox.write_file("/etc/TRELL_wanno", std::to_string(names.size()) + "\n");
    for (size_t n = 1; n <= names.size(); ++n)
      sandbox.write_file("/var/run/wanmon/wan" + std::to_string(n) + "/status",
                         "CONN_STATUS=" + std::string(names[n - 1].empty() ? "dis" : "") + "connected\nCONN_LOGDEV=" +
                             names[n - 1] + "\n");
  }
  int authorise() {
    return __vantor_udp_client_udps_get_auth("12345678ABCD", "VT100", "EU", "5.4.9", &key, &reconnect, capture_log,
                                             &host, &port, &iface, server.host().c_str(), "udps/reg",
                                             interface_file.c_str());
  }
  std::vector<std::string> expected_args(const std::string& interface) {
    std::vector<std::string> a = {"-q", "-T10"};
    if (!interface.empty()) a.push_back("-i" + interface);
    a.push_back("-f" + sandbox.path("/tmp/vtclient/udps_auth.in"));
    a.push_back("-O" + sandbox.path("/tmp/vtclient/udps_auth.dump"));
    a.push_back(server.url("udps/reg"));
    return a;
  }
  std::string credentials() {
    return std::string(key) + "|" + host + "|" + iface + "|" + std::to_string(port) + "|" +
           std::to_string(reconnect.load());
  }

  std::string interface_file = sandbox.path("/interface.using");
  char *key = strdup("old-key"), *host = strdup("old-host"), *iface = strdup("old-if");
  uint32_t port = 0;
  std::atomic<uint32_t> reconnect{1};
};

TEST_F(SessionAuthTest, OneWanAuthorisesWithoutAnInterface) {
  server.script({kGood, kGood});
  ASSERT_EQ(authorise(), 0);
  EXPECT_EQ(credentials(), "0123456789abcdef|udp.example.net||11753|0");
  EXPECT_TRUE(sandbox.exists("/interface.using"));
  EXPECT_EQ(vt_test::read_text_file(interface_file), "");
  ASSERT_EQ(tool.runs(), 1);
  EXPECT_EQ(tool.args(1), expected_args(""));
  EXPECT_EQ(tool.file(1, "body"), "serial=12345678ABCD&model=VT100&variant=EU&version=5.4.9&time=1700000123");
  EXPECT_EQ(tool.mode(1, "body"), "600");
  auto got = server.requests();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].path, "/udps/reg");
  EXPECT_NE(got[0].headers.find("Content-Type: application/x-www-form-urlencoded\r\n"), std::string::npos);
  EXPECT_EQ(g_log, (std::vector<LogLine>{{6, "Target Server (udp.example.net:11753) using interface \n"}}));
  // An interface file that cannot be written does not stop the authorisation.
  interface_file = sandbox.path("/no/such/dir/file");
  EXPECT_EQ(authorise(), 0);
  EXPECT_EQ(__vantor_udp_client_log_interface(nullptr, "eth0", capture_log), 0);
  EXPECT_EQ(g_log.back(), LogLine(5, "Log interface NULL pointer"));
}

TEST_F(SessionAuthTest, WalkSkipsLinksDownAndMovesOnWithoutAUsableAnswer) {
  // Link 1 is down; the tool cannot send from link 2; link 3 gets a refused port.
  wans({"", "nosuchif9", "lo", "lo"});
  server.script({"302 Found\n0123456789abcdef\nh.example\n65535\n", kGood});
  ASSERT_EQ(authorise(), 0);
  ASSERT_EQ(tool.runs(), 3);
  EXPECT_EQ(tool.args(1), expected_args("nosuchif9"));
  EXPECT_EQ(tool.args(3), expected_args("lo"));
  EXPECT_EQ(server.requests().size(), 2u);
  EXPECT_STREQ(iface, "lo");
  EXPECT_EQ(vt_test::read_text_file(interface_file), "lo");
  EXPECT_EQ(g_log.back().second, "Target Server (udp.example.net:11753) using interface lo\n");
}

// The log line and the fallback that follow a failure are shown by the
// channel's re-establishment tests.
TEST_F(SessionAuthTest, PlainAnswerEndsTheWalkAndLeavesTheCredentials) {
  wans({"lo", "lo"});
  server.script({"200 OK\nwelcome\n"});
  EXPECT_EQ(authorise(), 1);
  EXPECT_EQ(tool.runs(), 1);
  EXPECT_EQ(credentials(), "old-key|old-host|old-if|0|1");
  EXPECT_FALSE(sandbox.exists("/interface.using"));
  for (int count : {0, -2}) {  // no link to try: the tool never runs
    sandbox.write_file("/etc/TRELL_wanno", std::to_string(count) + "\n");
    EXPECT_EQ(authorise(), -1);
  }
  EXPECT_EQ(tool.runs(), 1);
}

TEST(AuthAnswer, LinesAreCheckedOneByOne) {
  const struct {
    std::string answer;  // as the fetch tool writes it
    int result;          // when granted, the key, host and port read
    const char *key = nullptr, *host = nullptr;
    int port = 0;
  } cases[] = {
      {kGood, AUTH_GRANTED, "0123456789abcdef", "udp.example.net", 11753},
      {"302 Found\n0123456789abcdefXYZ\r\nh.ex\r\n1\r\n", AUTH_GRANTED, "0123456789abcdef", "h.ex", 1},
      {"302 Found\n0123456789abcde\nh.example\n65534\n", AUTH_GRANTED,  // 15 characters and \n
       "0123456789abcde\n", "h.example", 65534},
      {"302 Found\n0123456789abcdef\nh.example\n65535\n", AUTH_NO_ANSWER},
      {"302 Found\n0123456789abcdef\nh.example\n0\n", AUTH_NO_ANSWER},
      {"302 Found\n0123456789abcdef\nh.example\nport\n", AUTH_NO_ANSWER},
      {"302 Found\n0123456789abcdef\nh.example\n", AUTH_NO_ANSWER},
      {"302 Found\n0123456789abcd\nh.example\n1\n", AUTH_NO_ANSWER},
      {"302 Found\n0123456789abcdef\nab\n1\n", AUTH_NO_ANSWER},
      {"302 Found\n0123456789abcdef\n h.example\n1\n", AUTH_NO_ANSWER},  // blank before the host
      {"302 Found\n", AUTH_NO_ANSWER},
      {"200 OK\n0123456789abcdef\nh.example\n1\n", AUTH_NOT_REDIRECTED},
      {"302 Moved Temporarily\n0123456789abcdef\nh.example\n1\n", AUTH_NOT_REDIRECTED},
  };
  for (const auto& c : cases) {
    FILE* in = fmemopen(const_cast<char*>(c.answer.data()), c.answer.size(), "r");
    char k[kSessionKeySize] = {}, h[kAuthHostSize] = {};
    int p = -5;
    EXPECT_EQ(parse_auth_answer(in, k, h, &p), c.result) << c.answer;
    fclose(in);
    EXPECT_EQ(std::string(k) + "|" + h + "|" + std::to_string(p),
              c.result == AUTH_GRANTED ? std::string(c.key) + "|" + c.host + "|" + std::to_string(c.port)
                                       : std::string(k) + "|" + h + "|-5")
        << c.answer << ": nothing is stored without a complete answer";
  }
}

}  // namespace
