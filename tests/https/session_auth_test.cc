// Session authorisation over the real stand-in and the local test server,
// with the WAN links described by sandboxed status files.
#include "https/session_auth.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "tests/support/https_test_server.h"
#include "tests/support/sandbox.h"

namespace {

using vt_test::ScriptedResponse;
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

ScriptedResponse found(const std::string& body) { return {302, "Found", body}; }

const char* kGood = "0123456789abcdef\nudp.example.net trailing words\n11753\n";

class SessionAuthTest : public vt_test::SandboxTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start());
    server.trust();
    vt_set_clock(+[]() -> time_t { return 1700000123; });
    g_log.clear();
  }
  void TearDown() override {
    vt_set_clock(nullptr);
    unsetenv("WGET_HTTPS_CA_FILE");
    free(key);
    free(host);
    free(iface);
    EXPECT_FALSE(sandbox.exists("/tmp/udps_auth.in")) << "request body outlived the call";
  }

  // WAN links 1..n, each connected over its interface name, or down when "".
  void wans(const std::vector<std::string>& names) {
    sandbox.write_file("/etc/TRELL_wanno", std::to_string(names.size()) + "\n");
    for (size_t n = 1; n <= names.size(); ++n) {
      const std::string& name = names[n - 1];
      sandbox.write_file("/var/run/wanmon/wan" + std::to_string(n) + "/status",
                         name.empty() ? "CONN_STATUS=disconnected\n"
                                      : "CONN_STATUS=connected\nCONN_METHOD=dhcp\nCONN_LOGDEV=" + name + "\n");
    }
  }

  int authorise() {
    return __vantor_udp_client_udps_get_auth(
        "12345678ABCD", "VT100", "EU", "5.4.9", &key, &reconnect, capture_log, &host, &port, &iface,
        server.host().c_str(), "udps/reg", interface_file.c_str());
  }

  std::vector<std::string> expected_args(const std::string& interface) {
    std::vector<std::string> a = {"-q", "-T10"};
    if (!interface.empty()) a.push_back("-i" + interface);
    a.push_back("-f" + sandbox.path("/tmp/udps_auth.in"));
    a.push_back("-O" + sandbox.path("/tmp/udps_auth.dump"));
    a.push_back(server.url("udps/reg"));
    return a;
  }

  vt_test::HttpsTestServer server;
  vt_test::FetchToolRecorder tool;
  std::string interface_file = sandbox.path("/interface.using");
  char* key = strdup("old-key");
  char* host = strdup("old-host");
  char* iface = strdup("old-if");
  uint32_t port = 11753;
  std::atomic<uint32_t> reconnect{1};
};

TEST_F(SessionAuthTest, OneWanAuthorisesWithoutAnInterface) {
  server.script({found(kGood)});
  ASSERT_EQ(authorise(), 0);
  EXPECT_STREQ(key, "0123456789abcdef");
  EXPECT_STREQ(host, "udp.example.net");
  EXPECT_EQ(port, 11753u);
  EXPECT_STREQ(iface, "");
  EXPECT_EQ(reconnect.load(), 0u);
  EXPECT_EQ(access(interface_file.c_str(), F_OK), 0);
  EXPECT_EQ(vt_test::read_text_file(interface_file), "");

  ASSERT_EQ(tool.runs(), 1);
  EXPECT_EQ(tool.args(1), expected_args(""));
  EXPECT_EQ(tool.body(1), "serial=12345678ABCD&model=VT100&variant=EU&version=5.4.9&time=1700000123");
  EXPECT_EQ(tool.body_mode(1), "600");
  auto got = server.requests();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].path, "/udps/reg");
  EXPECT_EQ(got[0].header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(g_log, (std::vector<LogLine>{
                       {6, "Target Server (udp.example.net:11753) using interface \n"}}));
  EXPECT_FALSE(sandbox.exists("/tmp/udps_auth.dump"));
}

TEST_F(SessionAuthTest, WalkSkipsLinksWithoutAnInterface) {
  wans({"", "lo"});
  server.script({found("fedcba9876543210\nudp2.example\n4000\n")});
  ASSERT_EQ(authorise(), 0);
  ASSERT_EQ(tool.runs(), 1);
  EXPECT_EQ(tool.args(1), expected_args("lo"));
  EXPECT_STREQ(iface, "lo");
  EXPECT_EQ(port, 4000u);
  EXPECT_EQ(vt_test::read_text_file(interface_file), "lo");
  ASSERT_FALSE(g_log.empty());
  EXPECT_EQ(g_log.back().second, "Target Server (udp2.example:4000) using interface lo\n");
}

TEST_F(SessionAuthTest, WalkMovesOnWhenALinkGetsNoUsableAnswer) {
  // The tool cannot send from the first; the second gets a refused port.
  wans({"nosuchif9", "lo", "lo"});
  server.script({found("0123456789abcdef\nh.example\n65535\n"), found(kGood)});
  ASSERT_EQ(authorise(), 0);
  EXPECT_EQ(tool.runs(), 3);
  EXPECT_EQ(tool.args(1), expected_args("nosuchif9"));
  EXPECT_STREQ(iface, "lo");
  EXPECT_EQ(server.requests().size(), 2u);
}

TEST_F(SessionAuthTest, PlainAnswerEndsTheWalkAndLeavesTheCredentials) {
  wans({"lo", "lo"});
  server.script({{200, "OK", "welcome\n"}});
  EXPECT_EQ(authorise(), 1);
  EXPECT_EQ(tool.runs(), 1);
  EXPECT_STREQ(key, "old-key");
  EXPECT_STREQ(host, "old-host");
  EXPECT_STREQ(iface, "old-if");
  EXPECT_EQ(port, 11753u);
  EXPECT_EQ(reconnect.load(), 1u);
  EXPECT_NE(access(interface_file.c_str(), F_OK), 0);
  EXPECT_EQ(g_log, (std::vector<LogLine>{{3, "Get AUTH Fail"}}));
}

TEST_F(SessionAuthTest, NoWanOrToolFailureFails) {
  tool.exit_with(4);
  EXPECT_EQ(authorise(), -1);
  EXPECT_EQ(tool.runs(), 1);
  EXPECT_EQ(g_log.back().second, "Get AUTH Fail");
  for (int count : {0, -2}) {
    sandbox.write_file("/etc/TRELL_wanno", std::to_string(count) + "\n");
    EXPECT_EQ(authorise(), -1);
  }
  EXPECT_EQ(tool.runs(), 1);
  EXPECT_STREQ(key, "old-key");
}

TEST_F(SessionAuthTest, AnswerLinesAreCheckedOneByOne) {
  const struct {
    const char* name;
    ScriptedResponse answer;
    int exchange;  // auth_exchange's result; when 1, the key, host and port stored
    const char* key = nullptr;
    const char* host = nullptr;
    int port = 0;
  } cases[] = {
      {"good", found(kGood), 1, "0123456789abcdef", "udp.example.net", 11753},
      {"crlf lines", found("0123456789abcdefXYZ\r\nh.ex\r\n1\r\n"), 1, "0123456789abcdef", "h.ex", 1},
      {"15-char key keeps its line feed", found("0123456789abcde\nh.example\n65534\n"), 1,
       "0123456789abcde\n", "h.example", 65534},
      {"port 65535", found("0123456789abcdef\nh.example\n65535\n"), 0},
      {"port 0", found("0123456789abcdef\nh.example\n0\n"), 0},
      {"port text", found("0123456789abcdef\nh.example\nport\n"), 0},
      {"port missing", found("0123456789abcdef\nh.example\n"), 0},
      {"key too short", found("0123456789abcd\nh.example\n1\n"), 0},
      {"host too short", found("0123456789abcdef\nab\n1\n"), 0},
      {"host begins with a blank", found("0123456789abcdef\n h.example\n1\n"), 0},
      {"empty redirect", found(""), 0},
      {"not a redirect", {200, "OK", kGood}, 2},
      {"other phrase", {302, "Moved Temporarily", kGood}, 2},
      {"not found", {404, "\x01", ""}, 2},
  };
  std::string body = sandbox.path("/auth.in");
  for (const auto& c : cases) {
    server.script({c.answer});
    https_request r;
    memset(&r, 0, sizeof(r));
    snprintf(r.url, sizeof(r.url), "%s", server.url("reg").c_str());
    vt_test::write_text_file(body, "serial=1");
    char k[kSessionKeySize] = {};
    char h[kAuthHostSize] = {};
    int p = -5;
    EXPECT_EQ(auth_exchange(&r, body.c_str(), "", k, h, &p), c.exchange) << c.name;
    if (c.exchange == 1) {
      EXPECT_STREQ(k, c.key) << c.name;
      EXPECT_STREQ(h, c.host) << c.name;
      EXPECT_EQ(p, c.port) << c.name;
    } else {
      EXPECT_EQ(p, -5) << c.name << ": port stored without a complete answer";
    }
    EXPECT_FALSE(sandbox.exists("/tmp/udps_auth.dump")) << c.name;
  }
}

TEST_F(SessionAuthTest, InterfaceFileHoldsExactlyTheName) {
  EXPECT_EQ(__vantor_udp_client_log_interface(interface_file.c_str(), "eth0.2", capture_log), 1);
  EXPECT_EQ(vt_test::read_text_file(interface_file), "eth0.2");
  std::string unwritable = sandbox.path("/no/such/dir/file");
  EXPECT_EQ(__vantor_udp_client_log_interface(unwritable.c_str(), "eth0", capture_log), 0);
  EXPECT_TRUE(g_log.empty());
  EXPECT_EQ(__vantor_udp_client_log_interface(nullptr, "eth0", capture_log), 0);
  EXPECT_EQ(__vantor_udp_client_log_interface(interface_file.c_str(), nullptr, capture_log), 0);
  ASSERT_EQ(g_log.size(), 2u);
  EXPECT_EQ(g_log[0], LogLine(5, "Log interface NULL pointer"));

  // An interface file that cannot be written does not stop the authorisation.
  interface_file = unwritable;
  server.script({found(kGood)});
  EXPECT_EQ(authorise(), 0);
  EXPECT_STREQ(key, "0123456789abcdef");
}

}  // namespace
