// The seven requests, end to end: request function -> recorded wget_https
// stand-in -> TLS -> the local test server, with byte-exact bodies.
#include "https/cloud_requests.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "tests/support/https_test_server.h"
#include "tests/support/sandbox.h"

namespace {

using vt_test::ScriptedResponse;

constexpr time_t kNow = 1700000123;
time_t fixed_clock() { return kNow; }

const std::string D = "---------------------------7d38f60708\r\n";
const std::string kClosing = "---------------------------7d38f60708--\r\n";
const std::string kHeaderLine =
    "Content-Type: multipart/form-data; boundary=-------------------------7d38f60708\r\n";

std::string text_part(const std::string& name, const std::string& value) {
  return D + "Content-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
}

std::string common_head() {
  return D + "Content-Disposition: form-data; name=\"serial\"\r\n\r\n12345678ABCD\r\n" + D +
         "Content-Disposition: form-data; name=\"model\"\r\n\r\nVT100\r\n" + D +
         "Content-Disposition: form-data; name=\"variant\"\r\n\r\nEU\r\n" + D +
         "Content-Disposition: form-data; name=\"version\"\r\n\r\n5.4.9\r\n" + D +
         "Content-Disposition: form-data; name=\"time\"\r\n\r\n1700000123\r\n";
}

const std::string kIdentityForm = "serial=12345678ABCD&model=VT100&variant=EU&version=5.4.9";

class CloudRequestsTest : public vt_test::SandboxTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start());
    server.trust();
    vt_set_clock(fixed_clock);
  }
  void TearDown() override {
    vt_set_clock(nullptr);
    unsetenv("WGET_HTTPS_CA_FILE");
    // The body and header files never outlive a call; the parser removes
    // the output file.
    for (const char* f :
         {"/tmp/udps_conf.in", "/tmp/udps_conf.header", "/tmp/udps_conf.dump", "/tmp/udps_event.in",
          "/tmp/udps_event.header", "/tmp/udps_event.dump", "/tmp/udps_report.in",
          "/tmp/udps_report.header", "/tmp/udps_report.dump", "/tmp/udps_exten.in",
          "/tmp/udps_exten.dump", "/tmp/udps_exten_del.in", "/tmp/udps_exten_del.dump",
          "/tmp/udps_action.in", "/tmp/udps_action.header", "/tmp/udps_action.dump",
          "/tmp/debug_dump.in", "/tmp/debug_dump.header", "/tmp/debug_dump.tmp"}) {
      EXPECT_FALSE(sandbox.exists(f)) << f << " outlived the call";
    }
  }

  const https_request* request(const std::string& path) {
    req_ = make(path);
    return &req_;
  }

  https_request make(const std::string& path) {
    https_request r;
    memset(&r, 0, sizeof(r));
    snprintf(r.url, sizeof(r.url), "%s", server.url(path).c_str());
    strcpy(r.serial, "12345678ABCD");
    strcpy(r.model, "VT100");
    strcpy(r.variant, "EU");
    strcpy(r.version, "5.4.9");
    return r;
  }

  // The tool ran once more, with these words, and the server got body.
  void expect_sent(const std::vector<std::string>& args, const std::string& body, bool multipart) {
    int run = tool.runs();
    ASSERT_GE(run, 1);
    EXPECT_EQ(tool.args(run), args);
    EXPECT_EQ(tool.body(run), body);
    EXPECT_EQ(tool.body_mode(run), "600");
    if (multipart) {
      EXPECT_EQ(tool.header(run).size(), 81u);
      EXPECT_EQ(tool.header(run), kHeaderLine);
      EXPECT_EQ(tool.header_mode(run), "600");
    }
    auto got = server.requests();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back().method, "POST");
    EXPECT_TRUE(got.back().body == body) << got.back().body;
    EXPECT_EQ(got.back().header("Content-Type"),
              multipart ? "multipart/form-data; boundary=-------------------------7d38f60708"
                        : "application/x-www-form-urlencoded");
  }

  std::string tmp(const char* name) { return sandbox.path(std::string("/tmp/") + name); }

  vt_test::HttpsTestServer server;
  vt_test::FetchToolRecorder tool;
  https_request req_;
};

TEST_F(CloudRequestsTest, ConfigSyncUploadsAndTakesTheServersAnswer) {
  std::string config = sandbox.root() + "/vt.cfg";
  struct Case {
    ScriptedResponse answer;
    int result, code;
    std::string config_after;
  };
  const Case cases[] = {
      {{200, "OK", "A=9\n"}, 1, 200, "A=1\r\nB=\"x\"\n"},  // nothing newer: untouched
      {{301, "Moved Permanently", "A=2\nENDOFFILE\nignored\n"}, 1, 301, "A=2\n"},
      {{302, "Found", "A=3\nB=4"}, 1, 302, "A=3\nB=4"},
      {{500, "\x01", "oops"}, 0, 500, "A=1\r\nB=\"x\"\n"},
  };
  for (const auto& c : cases) {
    vt_test::write_text_file(config, "A=1\r\nB=\"x\"\n");
    server.script({c.answer});
    https_request r = make("conf/sync");
    snprintf(r.config_path, sizeof(r.config_path), "%s", config.c_str());
    int code = -1;
    EXPECT_EQ(vantor_https_config_sync(&r, "lo", &code, config.c_str()), c.result);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(vt_test::read_text_file(config), c.config_after);
    expect_sent({"-q", "-T30", "-f" + tmp("udps_conf.in"), "-O" + tmp("udps_conf.dump"),
                 server.url("conf/sync"), "-ilo", "-e" + tmp("udps_conf.header")},
                common_head() + D +
                    "Content-Disposition: form-data; name=\"config\"; "
                    "filename=\"masterconfig\"\r\nContent-Type: text/plain\r\n\r\n"
                    "A=1\r\nB=\"x\"\n\r\n" +
                    kClosing,
                true);
  }
}

TEST_F(CloudRequestsTest, EventLogSendsEveryEventInOrder) {
  event_record events[2] = {{7, 1699990000, "link up"}, {5, -3, "status & more"}};
  int code = -1;
  EXPECT_EQ(vantor_https_submit_event_log(request("ev"), nullptr, 2, events, &code), 1);
  EXPECT_EQ(code, 200);
  expect_sent({"-q", "-T30", "-f" + tmp("udps_event.in"), "-O" + tmp("udps_event.dump"),
               server.url("ev"), "-e" + tmp("udps_event.header")},
              common_head() + text_part("num", "2") + text_part("event1_code", "7") +
                  text_part("event1_ts", "1699990000") + text_part("event1_content", "link up") +
                  text_part("event2_code", "5") + text_part("event2_ts", "-3") +
                  text_part("event2_content", "status & more") + kClosing,
              true);
}

TEST_F(CloudRequestsTest, EventLogWithoutEventsSendsNothing) {
  event_record none[1] = {};
  for (int count : {0, -1}) {
    int code = -1;
    EXPECT_EQ(vantor_https_submit_event_log(request("ev"), nullptr, count, none, &code), 0);
    EXPECT_EQ(code, 0);
  }
  EXPECT_EQ(tool.runs(), 0);
}

TEST_F(CloudRequestsTest, EventContentWithoutItsNulStopsAtTheRecord) {
  event_record e;
  e.code = 1;
  e.timestamp = 2;
  memset(e.content, 'z', sizeof(e.content));  // no terminator
  int code = 0;
  EXPECT_EQ(vantor_https_submit_event_log(request("ev"), nullptr, 1, &e, &code), 1);
  EXPECT_NE(tool.body(1).find(text_part("event1_content", std::string(132, 'z'))),
            std::string::npos);
}

TEST_F(CloudRequestsTest, DeviceReportUploadsTheGzippedFile) {
  std::string report = sandbox.root() + "/report.gz";
  std::string bytes = std::string("\x1f\x8b\x08\0binary", 10) + D + "\r\n";
  vt_test::write_text_file(report, bytes);
  int code = -1;
  EXPECT_EQ(vantor_https_device_report(request("rep"), "", report.c_str(), &code), 1);
  EXPECT_EQ(code, 200);
  expect_sent({"-q", "-T30", "-f" + tmp("udps_report.in"), "-O" + tmp("udps_report.dump"),
               server.url("rep"), "-e" + tmp("udps_report.header")},
              common_head() + D +
                  "Content-Disposition: form-data; name=\"report\"; filename=\"report\"\r\n"
                  "Content-Type: application/x-gzip-compressed\r\n\r\n" +
                  bytes + "\r\n" + kClosing,
              true);
}

TEST_F(CloudRequestsTest, MissingFilesSendNothing) {
  std::string missing = sandbox.root() + "/none";
  int code = -1;
  EXPECT_EQ(vantor_https_device_report(request("rep"), nullptr, missing.c_str(), &code), 0);
  EXPECT_EQ(code, 300);

  https_request conf = make("conf");
  snprintf(conf.config_path, sizeof(conf.config_path), "%s", missing.c_str());
  code = -1;
  EXPECT_EQ(vantor_https_config_sync(&conf, nullptr, &code, missing.c_str()), 0);
  EXPECT_EQ(code, 0);

  https_request act = make("act");
  code = -1;
  EXPECT_EQ(vantor_https_submit_action_response(&act, nullptr, &code, missing.c_str()), 0);
  EXPECT_EQ(code, 0);

  https_request dump = make("dump");
  dump.dump_path = missing.c_str();
  code = -1;
  EXPECT_EQ(vantor_https_submit_debug_dump(&dump, nullptr, &code), 0);
  EXPECT_EQ(code, 0);
  dump.dump_path = nullptr;
  EXPECT_EQ(vantor_https_submit_debug_dump(&dump, nullptr, &code), 0);

  EXPECT_EQ(tool.runs(), 0);
  EXPECT_TRUE(server.requests().empty());
}

TEST_F(CloudRequestsTest, ActionResponseHasARawResponsePart) {
  std::string out = sandbox.root() + "/action_tmp";
  vt_test::write_text_file(out, "uptime: 3 days\n");
  https_request r = make("act");
  r.action_id = -42;
  int code = -1;
  EXPECT_EQ(vantor_https_submit_action_response(&r, nullptr, &code, out.c_str()), 1);
  EXPECT_EQ(code, 200);
  expect_sent({"-q", "-T30", "-f" + tmp("udps_action.in"), "-O" + tmp("udps_action.dump"),
               server.url("act"), "-e" + tmp("udps_action.header")},
              common_head() + text_part("action_id", "-42") + D +
                  "Content-Disposition: form-data; name=\"response\"\r\n\r\n"
                  "uptime: 3 days\n\r\n" +
                  kClosing,
              true);
}

TEST_F(CloudRequestsTest, DebugDumpHasNoTimePart) {
  std::string dump = sandbox.root() + "/dump";
  vt_test::write_text_file(dump, std::string("\0\1\2", 3));
  https_request r = make("dbg");
  r.dump_path = dump.c_str();
  int code = -1;
  server.script({{404, "\x01", ""}});
  EXPECT_EQ(vantor_https_submit_debug_dump(&r, "lo", &code), 0);
  EXPECT_EQ(code, 404);
  expect_sent({"-q", "-T30", "-f" + tmp("debug_dump.in"), "-O" + tmp("debug_dump.tmp"),
               server.url("dbg"), "-ilo", "-e" + tmp("debug_dump.header")},
              text_part("serial", "12345678ABCD") + text_part("model", "VT100") +
                  text_part("variant", "EU") + text_part("version", "5.4.9") + D +
                  "Content-Disposition: form-data; name=\"debug_dump\"; "
                  "filename=\"debug_dump\"\r\nContent-Type: application/octet-stream\r\n\r\n" +
                  std::string("\0\1\2", 3) + "\r\n" + kClosing,
              true);
}

TEST_F(CloudRequestsTest, ExtensionInfoIsUrlEncodedAndSavesARedirectBody) {
  std::string result = sandbox.root() + "/ISP_tmp";
  struct Case {
    ScriptedResponse answer;
    int result, code;
    std::string file_after;
  };
  const Case cases[] = {
      {{200, "OK", "ignored"}, 1, 200, "old"},
      {{302, "Found", "name=x\nENDOFFILE\nmore\n"}, 1, 302, "name=x\nENDOFFILE\nmore\n"},
      {{403, "", ""}, 0, 403, "old"},
  };
  for (const auto& c : cases) {
    vt_test::write_text_file(result, "old");
    server.script({c.answer});
    int code = -1;
    EXPECT_EQ(vantor_https_extension_info(request("isp"), nullptr, result.c_str(), &code),
              c.result);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(vt_test::read_text_file(result), c.file_after);
    expect_sent({"-q", "-T30", "-f" + tmp("udps_exten.in"), "-O" + tmp("udps_exten.dump"),
                 server.url("isp")},
                kIdentityForm + "&time=1700000123", false);
  }
}

TEST_F(CloudRequestsTest, ExtensionDeleteSendsTheNameUnescaped) {
  int code = -1;
  EXPECT_EQ(vantor_https_extension_delete_info(request("ispx"), "lo", "my ext&x=1", &code), 1);
  EXPECT_EQ(code, 200);
  expect_sent({"-q", "-T30", "-f" + tmp("udps_exten_del.in"), "-O" + tmp("udps_exten_del.dump"),
               server.url("ispx"), "-ilo"},
              kIdentityForm + "&time=1700000123&custom_message_name=my ext&x=1", false);
}

TEST_F(CloudRequestsTest, ToolFailureGivesCodeZero) {
  std::string config = sandbox.root() + "/vt.cfg";
  vt_test::write_text_file(config, "A=1\n");
  https_request r = make("conf");
  snprintf(r.config_path, sizeof(r.config_path), "%s", config.c_str());
  unsetenv("WGET_HTTPS_CA_FILE");  // the server's certificate is now untrusted
  int code = -1;
  EXPECT_EQ(vantor_https_config_sync(&r, nullptr, &code, config.c_str()), 0);
  EXPECT_EQ(code, 0);
  code = -1;
  EXPECT_EQ(vantor_https_extension_info(request("isp"), nullptr, config.c_str(), &code), 0);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(vt_test::read_text_file(config), "A=1\n");
  EXPECT_TRUE(server.requests().empty());
  // A failed run may leave no output behind in this stand-in; nothing to clean.
}

TEST_F(CloudRequestsTest, PlantedLinkAtATemporaryNameIsNotFollowed) {
  std::string victim = sandbox.root() + "/victim";
  vt_test::write_text_file(victim, "precious");
  ASSERT_EQ(symlink(victim.c_str(), tmp("udps_event.in").c_str()), 0);
  event_record e = {1, 2, "x"};
  int code = -1;
  EXPECT_EQ(vantor_https_submit_event_log(request("ev"), nullptr, 1, &e, &code), 0);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(vt_test::read_text_file(victim), "precious");
  EXPECT_EQ(tool.runs(), 0);
}

TEST_F(CloudRequestsTest, FileHoldingTheBoundaryIsSentUnchanged) {
  std::string config = sandbox.root() + "/vt.cfg";
  std::string content = "X=1\n" + kClosing + D + "Y=2";
  vt_test::write_text_file(config, content);
  https_request r = make("conf");
  snprintf(r.config_path, sizeof(r.config_path), "%s", config.c_str());
  int code = 0;
  EXPECT_EQ(vantor_https_config_sync(&r, nullptr, &code, config.c_str()), 1);
  EXPECT_NE(server.requests().back().body.find(content), std::string::npos);
}

}  // namespace
