// Session authorisation: the walk over the WAN links (described by
// sandboxed status files) with the fake fetch tool, and the answer's lines.
#include "https/session_auth.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>

#include "platform/clock.h"
#include "tests/support/fetch_tool_recorder.h"

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

TEST(SessionAuth, WalkTriesConnectedLinksUntilOneAnswersAndKeepsTheCredentialsOtherwise) {
  vt_test::Sandbox sandbox;
  vt_set_clock(+[]() -> time_t { return 1700000123; });
  const std::string granted = "0123456789abcdef|udp.example.net|", kept = "old-key|old-host|old-if|0|1";
  const std::string log = "Target Server (udp.example.net:11753) using interface ";
  // /etc/TRELL_wanno (null: no file, a single link); links 1..n connected over the name, or down when "";
  // the tool's answers; the result; the interface of each run of the tool; key|host|interface|port|reconnect
  // after; the interface file and what it holds after (null: not written).
  const struct { const char* wanno; std::vector<std::string> links, answers; int result; std::vector<std::string> tried;
                 std::string credentials; const char *interface_file, *written; } rows[] = {
      {nullptr, {}, {kGood}, 0, {""}, granted + "|11753|0", "/interface.using", ""},
      // An interface file that cannot be written does not stop the authorisation.
      {nullptr, {}, {kGood}, 0, {""}, granted + "|11753|0", "/no/such/dir/file", nullptr},
      // Link 1 is down; the tool fails on link 2; link 3 gets a port out of range.
      {"4\n", {"", "nosuchif9", "lo", "lo"}, {"EXIT 1", "302 Found\n0123456789abcdef\nh.example\n65535\n", kGood}, 0,
       {"nosuchif9", "lo", "lo"}, granted + "lo|11753|0", "/interface.using", "lo"},
      // An answer without the redirect ends the walk.
      {"2\n", {"lo", "lo"}, {"200 OK\nwelcome\n"}, 1, {"lo"}, kept, "/interface.using", nullptr},
      {"0\n", {}, {kGood}, -1, {}, kept, "/interface.using", nullptr},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.wanno ? r.wanno : "-") + r.answers[0]);
    vt_test::FetchToolRecorder tool;
    tool.answers(r.answers);
    sandbox.remove("/interface.using");
    r.wanno ? sandbox.write_file("/etc/TRELL_wanno", r.wanno) : sandbox.remove("/etc/TRELL_wanno");
    for (size_t n = 0; n < r.links.size(); ++n)
      sandbox.write_file("/var/run/wanmon/wan" + std::to_string(n + 1) + "/status", "CONN_STATUS=" +
                         std::string(r.links[n].empty() ? "dis" : "") + "connected\nCONN_LOGDEV=" + r.links[n] + "\n");
    char *key = strdup("old-key"), *host = strdup("old-host"), *iface = strdup("old-if");
    uint32_t port = 0;
    std::atomic<uint32_t> reconnect{1};
    g_log.clear();
    EXPECT_EQ(__vantor_udp_client_udps_get_auth("12345678ABCD", "VT100", "EU", "5.4.9", &key, &reconnect, capture_log,
                                                &host, &port, &iface, "cloud.example", "udps/reg",
                                                sandbox.path(r.interface_file).c_str()), r.result);
    EXPECT_EQ(std::string(key) + "|" + host + "|" + iface + "|" + std::to_string(port) + "|" +
              std::to_string(reconnect.load()), r.credentials);
    free(key), free(host), free(iface);
    EXPECT_EQ(sandbox.exists(r.interface_file) ? sandbox.read_file(r.interface_file) : "-",
              r.written ? r.written : "-");
    ASSERT_EQ(tool.runs(), static_cast<int>(r.tried.size()));
    for (int run = 1; run <= tool.runs(); ++run) {
      std::vector<std::string> args = {"-q", "-T10", "-f" + sandbox.path("/tmp/vtclient/udps_auth.in"),
                                       "-O" + sandbox.path("/tmp/vtclient/udps_auth.dump"),
                                       "https://cloud.example/udps/reg"};
      if (!r.tried[run - 1].empty()) args.insert(args.begin() + 2, "-i" + r.tried[run - 1]);
      EXPECT_EQ(tool.args(run), args);
      EXPECT_EQ(tool.file(run, "body") + "|" + tool.mode(run, "body"),
                "serial=12345678ABCD&model=VT100&variant=EU&version=5.4.9&time=1700000123|600");
    }
    const LogLine said = r.result ? LogLine(3, "Get AUTH Fail") : LogLine(6, log + r.tried.back() + "\n");
    EXPECT_EQ(g_log, std::vector<LogLine>{said});
    EXPECT_FALSE(sandbox.exists("/tmp/vtclient/udps_auth.in") || sandbox.exists("/tmp/vtclient/udps_auth.dump"))
        << "the request's files outlived the call";
  }
  vt_set_clock(nullptr);
}

TEST(AuthAnswer, LinesAreCheckedOneByOne) {
  // The answer as the fetch tool writes it, the result and, when granted, the key, host and port read.
  const struct { std::string answer; int result; std::string read = ""; } cases[] = {
      {kGood, AUTH_GRANTED, "0123456789abcdef|udp.example.net|11753"},
      {"302 Found\n0123456789abcdefXYZ\r\nh.ex\r\n1\r\n", AUTH_GRANTED, "0123456789abcdef|h.ex|1"},
      {"302 Found\n0123456789abcde\nh.example\n65534\n", AUTH_GRANTED, "0123456789abcde\n|h.example|65534"},  // 15+\n
      {"302 Found\n0123456789abcdef\nh.example\n65535\n", AUTH_NO_ANSWER},
      {"302 Found\n0123456789abcdef\nh.example\n0\n", AUTH_NO_ANSWER},
      {"302 Found\n0123456789abcdef\nh.example\nport\n", AUTH_NO_ANSWER},
      {"302 Found\n0123456789abcdef\nh.example\n", AUTH_NO_ANSWER},
      {"302 Found\n0123456789abcd\nh.example\n1\n", AUTH_NO_ANSWER},
      {"302 Found\n0123456789abcdef\nab\n1\n", AUTH_NO_ANSWER},
      {"302 Found\n0123456789abcdef\n h.example\n1\n", AUTH_NO_ANSWER},  // blank before the host
      {"200 OK\n0123456789abcdef\nh.example\n1\n", AUTH_NOT_REDIRECTED},
      {"302 Moved Temporarily\n0123456789abcdef\nh.example\n1\n", AUTH_NOT_REDIRECTED},
  };
  for (const auto& c : cases) {
    FILE* in = fmemopen(const_cast<char*>(c.answer.data()), c.answer.size(), "r");
    char k[kSessionKeySize] = {}, h[kAuthHostSize] = {};
    int p = -5;
    EXPECT_EQ(parse_auth_answer(in, k, h, &p), c.result) << c.answer;
    fclose(in);
    EXPECT_EQ(c.result == AUTH_GRANTED ? std::string(k) + "|" + h + "|" + std::to_string(p) : std::to_string(p),
              c.result == AUTH_GRANTED ? c.read : "-5") << c.answer << ": no port is stored without a complete answer";
  }
}

}  // namespace
