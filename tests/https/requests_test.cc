// The seven requests and the authorisation: their byte-exact bodies and the
// fetch tool's words (recorded by the fake tool), and the answers they take;
// the authorisation's walk over the WAN links (described by sandboxed status
// files); running the tool, the private files it reads, and the parsers of
// its answers.
#include "https/cloud_requests.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <functional>

#include "https/https_files.h"
#include "https/https_parsers.h"
#include "https/https_transport.h"
#include "https/session_auth.h"
#include "platform/clock.h"
#include "tests/support/fetch_tool_recorder.h"

namespace {

const std::string D = "---------------------------7d38f60708\r\n", kEnd = "---------------------------7d38f60708--\r\n";
const std::string kIdentityForm = "serial=12345678ABCD&model=VT100&variant=EU&version=5.4.9&time=1700000123";

std::string part(const std::string& name, const std::string& value) {
  return D + "Content-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
}

std::string file_part(const std::string& name, const std::string& type, const std::string& bytes) {
  return D + "Content-Disposition: form-data; name=\"" + name + "\"; filename=\"" +
         (name == "config" ? "masterconfig" : name) + "\"\r\nContent-Type: " + type + "\r\n\r\n" + bytes + "\r\n";
}

const std::string kIdentity = part("serial", "12345678ABCD") + part("model", "VT100") + part("variant", "EU") +
                              part("version", "5.4.9");
const std::string kHead = kIdentity + part("time", "1700000123");

class CloudRequestsTest : public vt_test::SandboxTest {
 protected:
  void SetUp() override { vt_set_clock(+[]() -> time_t { return 1700000123; }); }
  void TearDown() override {
    vt_set_clock(nullptr);
    EXPECT_FALSE(files_left());
  }
  // The body and header files never outlive a call; the parser removes the output file.
  bool files_left() const {
    return sandbox.exists("/tmp/vtclient") && !std::filesystem::is_empty(sandbox.path("/tmp/vtclient"));
  }
  // A request to https://cloud.example/<path>.
  https_request& request(const std::string& path) {
    memset(&req, 0, sizeof(req));
    snprintf(req.url, sizeof(req.url), "https://cloud.example/%s", path.c_str());
    strcpy(req.serial, "12345678ABCD"), strcpy(req.model, "VT100");
    strcpy(req.variant, "EU"), strcpy(req.version, "5.4.9");
    return req;
  }
  https_request req;
  std::string file = sandbox.path("/file");
  vt_test::FetchToolRecorder tool;
};

TEST_F(CloudRequestsTest, EachRequestSendsItsBodyAndTakesTheServersAnswer) {
  const std::string config = "A=1\r\nB=\"x\"\n" + kEnd;  // the boundary goes out unchanged
  const std::string gzip = std::string("\x1f\x8b\x08\0binary", 10) + D + "\r\n", dump("\0\1\2", 3);
  const event_record events[2] = {{7, 1699990000, "link up"}, {5, -3, "status & more"}};
  const char* f = file.c_str();
  using Call = std::function<int(https_request*, const char* iface, int* code)>;
  // The temporary files' name and the URL's path, the interface, what the file holds before, the tool's output,
  // the call, its result and code, the body sent, the file after ("": left alone), the output file's suffix
  // (null: not multipart), the code when the file it sends is missing (-1: it sends none).
  const struct { const char *files, *iface; std::string file, answer; Call call; int result, code;
                 std::string body, file_after; const char* out; int missing; } cases[] = {
      {"udps_conf", "lo", config, "301 Moved Permanently\nA=2\nENDOFFILE\nignored\n",
       [&](auto r, auto i, auto c) { return strcpy(r->config_path, f), vantor_https_config_sync(r, i, c, f); }, 1, 301,
       kHead + file_part("config", "text/plain", config) + kEnd, "A=2\n", ".dump", 0},
      {"udps_event", "", "", "200 OK\n",
       [&](auto r, auto i, auto c) { return vantor_https_submit_event_log(r, i, 2, events, c); }, 1, 200,
       kHead + part("num", "2") + part("event1_code", "7") + part("event1_ts", "1699990000") +
           part("event1_content", "link up") + part("event2_code", "5") + part("event2_ts", "-3") +
           part("event2_content", "status & more") + kEnd, "", ".dump", -1},
      {"udps_report", "", gzip, "200 OK\n",
       [&](auto r, auto i, auto c) { return vantor_https_device_report(r, i, f, c); }, 1, 200,
       kHead + file_part("report", "application/x-gzip-compressed", gzip) + kEnd, "", ".dump", 300},
      {"udps_action", "", "uptime: 3 days\n", "200 OK\n",
       [&](auto r, auto i, auto c) { return r->action_id = -42, vantor_https_submit_action_response(r, i, c, f); },
       1, 200, kHead + part("action_id", "-42") + part("response", "uptime: 3 days\n") + kEnd, "", ".dump", 0},
      // The debug dump has no time part.
      {"debug_dump", "lo", dump, "404 Not Found\n",
       [&](auto r, auto i, auto c) { return r->dump_path = f, vantor_https_submit_debug_dump(r, i, c); }, 0, 404,
       kIdentity + file_part("debug_dump", "application/octet-stream", dump) + kEnd, "", ".tmp", 0},
      {"udps_exten", "", "old", "302 Found\nname=x\nENDOFFILE\nmore\n",
       [&](auto r, auto i, auto c) { return vantor_https_extension_info(r, i, f, c); }, 1, 302, kIdentityForm,
       "name=x\nENDOFFILE\nmore\n", nullptr, -1},
      {"udps_exten_del", "lo", "", "200 OK\n",
       [&](auto r, auto i, auto c) { return vantor_https_extension_delete_info(r, i, "my ext&x=1", c); }, 1, 200,
       kIdentityForm + "&custom_message_name=my ext&x=1", "", nullptr, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.files);
    vt_test::write_text_file(file, c.file);
    tool.answers({c.answer});
    int code = -1, result = c.call(&request(c.files), c.iface, &code);
    EXPECT_EQ(std::to_string(result) + " " + std::to_string(code),
              std::to_string(c.result) + " " + std::to_string(c.code));
    EXPECT_EQ(vt_test::read_text_file(file), c.file_after.empty() ? c.file : c.file_after);
    std::string tmp = sandbox.path(std::string("/tmp/vtclient/") + c.files);
    std::vector<std::string> args = {"-q", "-T30", "-f" + tmp + ".in", "-O" + tmp + (c.out ? c.out : ".dump"),
                                     "https://cloud.example/" + std::string(c.files)};
    if (*c.iface) args.push_back(std::string("-i") + c.iface);
    if (c.out) args.push_back("-e" + tmp + ".header");
    const int run = tool.runs();
    EXPECT_EQ(tool.args(run), args);
    const std::string header = "Content-Type: multipart/form-data; boundary=" + D.substr(2, D.size() - 4) + "\r\n";
    EXPECT_EQ(tool.file(run, "body") + "|" + tool.file(run, "header"), c.body + "|" + (c.out ? header : ""));
    if (c.missing < 0) continue;
    unlink(f);  // without its file the request is not sent
    result = c.call(&request(c.files), c.iface, &code);
    EXPECT_EQ(std::to_string(result) + " " + std::to_string(code) + " " + std::to_string(tool.runs() - run),
              "0 " + std::to_string(c.missing) + " 0");
  }
}

using TransportTest = CloudRequestsTest;

TEST_F(TransportTest, ShellCharactersStayInsideTheirWordAndTheStatusReturns) {
  std::string marker = sandbox.path("/pwned"), touch = "touch " + marker;
  std::string url = "https://h/a b\"c'd;" + touch + "$(" + touch + ")`" + touch + "`";
  std::string odd_file = sandbox.path("/body with blanks;") + touch;
  tool.answers({"EXIT 4"});
  snprintf(req.url, sizeof req.url, "%s", url.c_str());
  EXPECT_EQ(vantor_https_submit(&req, odd_file.c_str(), "eth0 -x", nullptr, "/tmp/o"), 4 << 8);
  EXPECT_EQ(tool.args(1), (std::vector<std::string>{"-q", "-T30", "-f" + odd_file, "-O/tmp/o", url, "-ieth0 -x"}));
  EXPECT_FALSE(sandbox.exists("/pwned")) << "a shell ran part of the command";
}

TEST_F(TransportTest, MissingOrHangingToolIsAFailure) {
  {
    vt_test::ScopedEnv no_tool{"PATH", sandbox.path("/etc")};  // no wget_https there
    EXPECT_NE(vantor_https_submit(&request("x"), "/tmp/b", nullptr, nullptr, "/tmp/o"), 0);
  }
  // A tool that ignores its own -T limit must not hold its caller for ever.
  tool.answers({"HANG"});
  auto start = std::chrono::steady_clock::now();
  EXPECT_NE(https_run_fetch_tool({"-q", "-T1", "-f/tmp/b", "-O/tmp/o", "https://h/x"}), 0);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(waited >= std::chrono::seconds(1) && waited < std::chrono::seconds(15));
}

TEST_F(TransportTest, PrivateFilesRefuseLinksAndNarrowTheMode) {
  std::string victim = sandbox.path("/victim"), link = sandbox.path("/planted"), stale = sandbox.path("/stale");
  vt_test::write_text_file(victim, "precious");
  ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
  EXPECT_EQ(writeMulitpartHeader(link.c_str()), 0);
  EXPECT_EQ(vt_test::read_text_file(victim), "precious");
  // A file left behind with a wide mode is narrowed and truncated.
  vt_test::write_text_file(stale, std::string(200, 'x'));
  chmod(stale.c_str(), 0666);
  ASSERT_EQ(writeMulitpartHeader(stale.c_str()), 1);
  struct stat st = {};
  stat(stale.c_str(), &st);
  EXPECT_EQ(std::to_string(st.st_mode & 0777) + vt_test::read_text_file(stale),
            "384" + std::string(kMultipartHeaderLine));
}

// The answer parsers: status codes, bodies saved, output files removed.
using ParsersTest = CloudRequestsTest;

int response(const char* output, const char*, int* code) { return vantor_https_parse_response(output, code); }

TEST_F(ParsersTest, ConfigAndExtensionAnswersAndNothingToReadOrNowhereToWrite) {
  const std::string output = sandbox.path("/out.dump"), saved = sandbox.path("/result");
  using Parser = int (*)(const char*, const char*, int*);
  const Parser config = vantor_https_parse_config, extension = vantor_https_parse_extension;
  // Long lines and binary bytes arrive whole.
  const std::string kept = std::string(5000, 'x') + "ENDOFFILE tail\n" + std::string("bin\0ary\n", 8);
  // The parser, the answer, its result and code, and what the file it writes (into) holds after ("old": kept).
  const struct { Parser parse; std::string answer; int result, code; std::string after; const char* into = "/result";
  } cases[] = {
      {response, "200", 1, 200, "old"},
      {response, "302 Found\nx\n", 0, 302, "old"},  {response, "Not a number\n", 0, 999, "old"},
      {response, "", 0, 999, "old"},                {response, "000 zero\n", 0, 999, "old"},
      {config, "200 OK\nA=1\n", 1, 200, "old"},           {config, "404 Not Found\nA=1\n", 0, 404, "old"},
      {config, "302 Found\nENDOFFILE\n", 1, 302, ""},
      // Without its end marker the whole body is the configuration.
      {config, "302 Found\nA=1\r\nB=2", 1, 302, "A=1\r\nB=2"},
      {config, "301 Moved\n" + std::string(kConfigAnswerMax, 'y') + "\nENDOFFILE\n", 0, 301, "old"},
      {config, "302 Found\nA=ENDOFFILE\nENDOFFILEX\nB=1\n", 1, 302, "A=ENDOFFILE\n"},
      {config, "301 Moved\n" + kept + "ENDOFFILE\n", 1, 301, kept},
      // A file that cannot be created beside, and a name that cannot be replaced: neither may count as a
      // configuration received.
      {config, "301 Moved\nA=1\nENDOFFILE\n", 0, 301, "", "/no/such/dir/cfg"},
      {config, "301 Moved\nA=1\nENDOFFILE\n", 0, 301, "", "/tmp"},
      {extension, "200 OK\nignored\n", 1, 200, "old"},   {extension, "403 Forbidden\nx\n", 0, 403, "old"},
      {extension, "302 Found\n" + std::string(kExtensionTextMax + 9, 'z'), 1, 302, std::string(kExtensionTextMax, 'z')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    vt_test::write_text_file(saved, "old");
    vt_test::write_text_file(output, c.answer);
    int code = 0, result = c.parse(output.c_str(), sandbox.path(c.into).c_str(), &code);
    EXPECT_EQ(std::to_string(result) + " " + std::to_string(code) + " " + sandbox.read_file(c.into) +
                  (sandbox.exists("/out.dump") ? " kept" : ""),
              std::to_string(c.result) + " " + std::to_string(c.code) + " " + c.after);
  }
  // No output file at all (the parser removed the last one).
  vt_test::write_text_file(saved, "old");
  int code = 0, result = vantor_https_parse_config(output.c_str(), saved.c_str(), &code);
  EXPECT_EQ(std::to_string(result) + " " + std::to_string(code) + " " + vt_test::read_text_file(saved), "0 0 old");
}

std::vector<std::string> g_log;  // "<level> <text>"

int capture_log(int level, const char* format, ...) {
  char line[2048];
  va_list ap;
  va_start(ap, format);
  vsnprintf(line, sizeof(line), format, ap);
  va_end(ap);
  g_log.push_back(std::to_string(level) + " " + line);
  return static_cast<int>(strlen(line));
}

const std::string kGood = "302 Found\n0123456789abcdef\nudp.example.net trailing words\n11753\n";

using SessionAuth = CloudRequestsTest;

TEST_F(SessionAuth, WalkTriesConnectedLinksUntilOneAnswersAndKeepsTheCredentialsOtherwise) {
  const std::string granted = "0123456789abcdef|udp.example.net|", kept = "old-key|old-host|old-if|0|1";
  const std::string log = "Target Server (udp.example.net:11753) using interface ";
  // /etc/TRELL_wanno (null: no file, a single link); links 1..n connected over the name, or down when "";
  // the tool's answers; the result; the interface of each run of the tool; key|host|interface|port|reconnect
  // after; the interface file and what it holds after (null: not written).
  const struct { const char* wanno; std::vector<std::string> links, answers; int result; std::vector<std::string> tried;
                 std::string credentials; const char *interface_file, *written; } rows[] = {
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
    vt_test::FetchToolRecorder tool;  // runs counted from 1 for each row
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
      EXPECT_EQ(tool.file(run, "body"), kIdentityForm);
    }
    EXPECT_EQ(g_log, std::vector<std::string>{r.result ? "3 Get AUTH Fail" : "6 " + log + r.tried.back() + "\n"});
    EXPECT_FALSE(files_left());
  }
}

TEST(AuthAnswer, LinesAreCheckedOneByOne) {
  // The answer as the fetch tool writes it, the result and, when granted, the key, host and port read.
  const struct { std::string answer; int result; std::string read = ""; } cases[] = {
      {kGood, AUTH_GRANTED, "0123456789abcdef|udp.example.net|11753"},
      {"302 Found\n0123456789abcdefXYZ\r\nh.ex\r\n1\r\n", AUTH_GRANTED, "0123456789abcdef|h.ex|1"},
      {"302 Found\n0123456789abcde\nh.example\n65534\n", AUTH_GRANTED, "0123456789abcde\n|h.example|65534"},  // 15+\n
      {"302 Found\n0123456789abcdef\nh.example\n65535\n", AUTH_NO_ANSWER},
      {"302 Found\n0123456789abcdef\nh.example\n0\n", AUTH_NO_ANSWER},
      {"302 Found\n0123456789abcd\nh.example\n1\n", AUTH_NO_ANSWER},
      {"302 Found\n0123456789abcdef\nab\n1\n", AUTH_NO_ANSWER},
      {"302 Found\n0123456789abcdef\n h.example\n1\n", AUTH_NO_ANSWER},  // blank before the host
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
