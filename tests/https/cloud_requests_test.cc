// The seven requests, end to end: request function -> recorded wget_https
// stand-in -> TLS -> the local test server, with byte-exact bodies.
#include "https/cloud_requests.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "tests/support/https_test_server.h"
#include "tests/support/sandbox.h"

namespace {

using vt_test::read_text_file;
using vt_test::ScriptedResponse;
using vt_test::write_text_file;

const std::string D = "---------------------------7d38f60708\r\n";
const std::string kClosing = "---------------------------7d38f60708--\r\n";
const std::string kIdentityForm =
    "serial=12345678ABCD&model=VT100&variant=EU&version=5.4.9&time=1700000123";

std::string text_part(const std::string& name, const std::string& value) {
  return D + "Content-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
}

std::string file_part(const std::string& name, const std::string& type, const std::string& bytes) {
  return D + "Content-Disposition: form-data; name=\"" + name + "\"; filename=\"" +
         (name == "config" ? "masterconfig" : name) + "\"\r\nContent-Type: " + type + "\r\n\r\n" +
         bytes + "\r\n";
}

const std::string kIdentity = text_part("serial", "12345678ABCD") + text_part("model", "VT100") +
                              text_part("variant", "EU") + text_part("version", "5.4.9");
const std::string kHead = kIdentity + text_part("time", "1700000123");

class CloudRequestsTest : public vt_test::SandboxTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start());
    server.trust();
    vt_set_clock(+[]() -> time_t { return 1700000123; });
  }
  void TearDown() override {
    vt_set_clock(nullptr);
    unsetenv("WGET_HTTPS_CA_FILE");
    // The body and header files never outlive a call; the parser removes the output file.
    for (std::string f : {"udps_conf", "udps_event", "udps_report", "udps_exten", "udps_exten_del",
                          "udps_action", "debug_dump"}) {
      for (const char* suffix : {".in", ".header", ".dump", ".tmp"}) {
        EXPECT_FALSE(sandbox.exists("/tmp/" + f + suffix)) << f << suffix << " outlived the call";
      }
    }
  }

  https_request& request(const std::string& path) {
    memset(&req, 0, sizeof(req));
    snprintf(req.url, sizeof(req.url), "%s", server.url(path).c_str());
    strcpy(req.serial, "12345678ABCD");
    strcpy(req.model, "VT100");
    strcpy(req.variant, "EU");
    strcpy(req.version, "5.4.9");
    return req;
  }

  // The tool ran once more with the words of the device command line for these
  // temporary files, and the server got body.
  void expect_sent(const std::string& files, const std::string& path, const std::string& iface,
                   const std::string& body, bool multipart, const char* out = ".dump") {
    std::string tmp = sandbox.path("/tmp/" + files);
    std::vector<std::string> args = {"-q", "-T30", "-f" + tmp + ".in", "-O" + tmp + out,
                                     server.url(path)};
    if (!iface.empty()) args.push_back("-i" + iface);
    if (multipart) args.push_back("-e" + tmp + ".header");
    int run = tool.runs();
    ASSERT_GE(run, 1);
    EXPECT_EQ(tool.args(run), args);
    EXPECT_EQ(tool.body(run), body);
    EXPECT_EQ(tool.body_mode(run), "600");
    std::string type = multipart ? "multipart/form-data; boundary=-------------------------7d38f60708"
                                 : "application/x-www-form-urlencoded";
    if (multipart) {
      EXPECT_EQ(tool.header(run), "Content-Type: " + type + "\r\n");
      EXPECT_EQ(tool.header(run).size(), 81u);
      EXPECT_EQ(tool.header_mode(run), "600");
    }
    auto got = server.requests();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back().method, "POST");
    EXPECT_TRUE(got.back().body == body) << got.back().body;
    EXPECT_EQ(got.back().header("Content-Type"), type);
  }

  vt_test::HttpsTestServer server;
  vt_test::FetchToolRecorder tool;
  https_request req;
  std::string file = sandbox.path("/file");
};

TEST_F(CloudRequestsTest, ConfigSyncUploadsAndTakesTheServersAnswer) {
  // The boundary inside the file goes out unchanged.
  const std::string config = "A=1\r\nB=\"x\"\n" + kClosing;
  const struct {
    ScriptedResponse answer;
    int result, code;
    std::string after;
  } cases[] = {
      {{200, "OK", "A=9\n"}, 1, 200, config},  // nothing newer: untouched
      {{301, "Moved Permanently", "A=2\nENDOFFILE\nignored\n"}, 1, 301, "A=2\n"},
      {{302, "Found", "A=3\nB=4"}, 1, 302, "A=3\nB=4"},
      {{500, "\x01", "oops"}, 0, 500, config},
  };
  for (const auto& c : cases) {
    write_text_file(file, config);
    server.script({c.answer});
    https_request& r = request("conf/sync");
    snprintf(r.config_path, sizeof(r.config_path), "%s", file.c_str());
    int code = -1;
    EXPECT_EQ(vantor_https_config_sync(&r, "lo", &code, file.c_str()), c.result);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(read_text_file(file), c.after);
    expect_sent("udps_conf", "conf/sync", "lo",
                kHead + file_part("config", "text/plain", config) + kClosing, true);
  }
}

TEST_F(CloudRequestsTest, EventLogSendsEveryEventInOrder) {
  event_record events[2] = {{7, 1699990000, "link up"}, {5, -3, "status & more"}};
  int code = -1;
  EXPECT_EQ(vantor_https_submit_event_log(&request("ev"), nullptr, 2, events, &code), 1);
  EXPECT_EQ(code, 200);
  expect_sent("udps_event", "ev", "",
              kHead + text_part("num", "2") + text_part("event1_code", "7") +
                  text_part("event1_ts", "1699990000") + text_part("event1_content", "link up") +
                  text_part("event2_code", "5") + text_part("event2_ts", "-3") +
                  text_part("event2_content", "status & more") + kClosing,
              true);

  // No events: nothing sent. Content without its NUL stops at the record's end.
  for (int count : {0, -1}) {
    EXPECT_EQ(vantor_https_submit_event_log(&request("ev"), nullptr, count, events, &code), 0);
    EXPECT_EQ(code, 0);
  }
  memset(events[0].content, 'z', sizeof(events[0].content));
  EXPECT_EQ(vantor_https_submit_event_log(&request("ev"), nullptr, 1, events, &code), 1);
  EXPECT_EQ(tool.runs(), 2);
  EXPECT_NE(tool.body(2).find(text_part("event1_content", std::string(132, 'z'))),
            std::string::npos);
}

TEST_F(CloudRequestsTest, DeviceReportUploadsTheGzippedFile) {
  std::string bytes = std::string("\x1f\x8b\x08\0binary", 10) + D + "\r\n";
  write_text_file(file, bytes);
  int code = -1;
  EXPECT_EQ(vantor_https_device_report(&request("rep"), "", file.c_str(), &code), 1);
  EXPECT_EQ(code, 200);
  expect_sent("udps_report", "rep", "",
              kHead + file_part("report", "application/x-gzip-compressed", bytes) + kClosing, true);
}

TEST_F(CloudRequestsTest, ActionResponseHasARawResponsePart) {
  write_text_file(file, "uptime: 3 days\n");
  https_request& r = request("act");
  r.action_id = -42;
  int code = -1;
  EXPECT_EQ(vantor_https_submit_action_response(&r, nullptr, &code, file.c_str()), 1);
  EXPECT_EQ(code, 200);
  expect_sent("udps_action", "act", "",
              kHead + text_part("action_id", "-42") + text_part("response", "uptime: 3 days\n") +
                  kClosing,
              true);
}

TEST_F(CloudRequestsTest, DebugDumpHasNoTimePart) {
  write_text_file(file, std::string("\0\1\2", 3));
  https_request& r = request("dbg");
  r.dump_path = file.c_str();
  int code = -1;
  server.script({{404, "\x01", ""}});
  EXPECT_EQ(vantor_https_submit_debug_dump(&r, "lo", &code), 0);
  EXPECT_EQ(code, 404);
  expect_sent("debug_dump", "dbg", "lo",
              kIdentity + file_part("debug_dump", "application/octet-stream", std::string("\0\1\2", 3)) +
                  kClosing,
              true, ".tmp");
}

TEST_F(CloudRequestsTest, ExtensionRequestsAreUrlEncodedAndInfoSavesARedirectBody) {
  const struct {
    ScriptedResponse answer;
    int result, code;
    std::string after;
  } cases[] = {
      {{200, "OK", "ignored"}, 1, 200, "old"},
      {{302, "Found", "name=x\nENDOFFILE\nmore\n"}, 1, 302, "name=x\nENDOFFILE\nmore\n"},
      {{403, "", ""}, 0, 403, "old"},
  };
  for (const auto& c : cases) {
    write_text_file(file, "old");
    server.script({c.answer});
    int code = -1;
    EXPECT_EQ(vantor_https_extension_info(&request("isp"), nullptr, file.c_str(), &code), c.result);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(read_text_file(file), c.after);
    expect_sent("udps_exten", "isp", "", kIdentityForm, false);
  }
  int code = -1;
  EXPECT_EQ(vantor_https_extension_delete_info(&request("ispx"), "lo", "my ext&x=1", &code), 1);
  EXPECT_EQ(code, 200);
  expect_sent("udps_exten_del", "ispx", "lo", kIdentityForm + "&custom_message_name=my ext&x=1",
              false);
}

TEST_F(CloudRequestsTest, MissingFilesSendNothing) {
  std::string missing = sandbox.path("/none");
  int code = -1;
  EXPECT_EQ(vantor_https_device_report(&request("rep"), nullptr, missing.c_str(), &code), 0);
  EXPECT_EQ(code, 300);
  https_request& conf = request("conf");
  snprintf(conf.config_path, sizeof(conf.config_path), "%s", missing.c_str());
  code = -1;
  EXPECT_EQ(vantor_https_config_sync(&conf, nullptr, &code, missing.c_str()), 0);
  EXPECT_EQ(code, 0);
  code = -1;
  EXPECT_EQ(vantor_https_submit_action_response(&request("act"), nullptr, &code, missing.c_str()), 0);
  EXPECT_EQ(code, 0);
  for (const char* dump : {missing.c_str(), static_cast<const char*>(nullptr)}) {
    https_request& r = request("dump");
    r.dump_path = dump;
    code = -1;
    EXPECT_EQ(vantor_https_submit_debug_dump(&r, nullptr, &code), 0);
    EXPECT_EQ(code, 0);
  }
  EXPECT_EQ(tool.runs(), 0);
  EXPECT_TRUE(server.requests().empty());
}

TEST_F(CloudRequestsTest, ToolFailureOrAPlantedLinkGivesCodeZero) {
  write_text_file(file, "A=1\n");
  https_request& r = request("conf");
  snprintf(r.config_path, sizeof(r.config_path), "%s", file.c_str());
  unsetenv("WGET_HTTPS_CA_FILE");  // the server's certificate is now untrusted
  int code = -1;
  EXPECT_EQ(vantor_https_config_sync(&r, nullptr, &code, file.c_str()), 0);
  EXPECT_EQ(code, 0);
  code = -1;
  EXPECT_EQ(vantor_https_extension_info(&request("isp"), nullptr, file.c_str(), &code), 0);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(read_text_file(file), "A=1\n");
  EXPECT_TRUE(server.requests().empty());

  // A link planted at a temporary name is not followed.
  std::string victim = sandbox.path("/victim");
  write_text_file(victim, "precious");
  ASSERT_EQ(symlink(victim.c_str(), sandbox.path("/tmp/udps_event.in").c_str()), 0);
  event_record e = {1, 2, "x"};
  code = -1;
  EXPECT_EQ(vantor_https_submit_event_log(&request("ev"), nullptr, 1, &e, &code), 0);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(read_text_file(victim), "precious");
  EXPECT_EQ(tool.runs(), 2);
  unlink(sandbox.path("/tmp/udps_event.in").c_str());
}

}  // namespace
