// The seven requests, end to end: request function -> recorded wget_https
// stand-in -> TLS -> the local test server, with byte-exact bodies.
#include "https/cloud_requests.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/https_test_server.h"

namespace {

using vt_test::read_text_file;
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

class CloudRequestsTest : public vt_test::HttpsExchangeTest {
 protected:
  void TearDown() override {
    HttpsExchangeTest::TearDown();
    // The body and header files never outlive a call; the parser removes the output file.
    for (std::string f : {"udps_conf", "udps_event", "udps_report", "udps_exten", "udps_exten_del",
                          "udps_action", "debug_dump"}) {
      for (const char* suffix : {".in", ".header", ".dump", ".tmp"}) {
        EXPECT_FALSE(sandbox.exists("/tmp/vtclient/" + f + suffix)) << f << suffix << " outlived the call";
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

  // The last run of the tool had the words of the device command line for
  // these temporary files, and the server got exactly body.
  void expect_sent(const std::string& files, const std::string& path, const std::string& iface,
                   const std::string& body, bool multipart, const char* out = ".dump") {
    std::string tmp = sandbox.path("/tmp/vtclient/" + files);
    std::vector<std::string> args = {"-q", "-T30", "-f" + tmp + ".in", "-O" + tmp + out,
                                     server.url(path)};
    if (!iface.empty()) args.push_back("-i" + iface);
    if (multipart) args.push_back("-e" + tmp + ".header");
    int run = tool.runs();
    ASSERT_GE(run, 1);
    EXPECT_EQ(tool.args(run), args);
    EXPECT_EQ(tool.mode(run, "body"), "600");
    if (multipart) {
      EXPECT_EQ(tool.file(run, "header"),
                "Content-Type: multipart/form-data; boundary=-------------------------7d38f60708\r\n");
      EXPECT_EQ(tool.mode(run, "header"), "600");
    }
    auto got = server.requests();
    ASSERT_FALSE(got.empty());
    EXPECT_TRUE(got.back().body == body) << got.back().body;
  }

  https_request req;
  std::string file = sandbox.path("/file");
};

// How each answer code is taken is shown by the parser table and the
// configuration-sync feature tests.
TEST_F(CloudRequestsTest, ConfigSyncUploadsAndTakesTheServersAnswer) {
  const std::string config = "A=1\r\nB=\"x\"\n" + kClosing;  // the boundary goes out unchanged
  write_text_file(file, config);
  server.script({"301 Moved Permanently\nA=2\nENDOFFILE\nignored\n"});
  https_request& r = request("conf/sync");
  snprintf(r.config_path, sizeof(r.config_path), "%s", file.c_str());
  int code = -1;
  EXPECT_EQ(vantor_https_config_sync(&r, "lo", &code, file.c_str()), 1);
  EXPECT_EQ(code, 301);
  EXPECT_EQ(read_text_file(file), "A=2\n");
  expect_sent("udps_conf", "conf/sync", "lo",
              kHead + file_part("config", "text/plain", config) + kClosing, true);
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
  EXPECT_NE(tool.file(2, "body").find(text_part("event1_content", std::string(132, 'z'))),
            std::string::npos);
}

TEST_F(CloudRequestsTest, ReportActionAndDebugDumpUploadTheirFiles) {
  std::string bytes = std::string("\x1f\x8b\x08\0binary", 10) + D + "\r\n";
  write_text_file(file, bytes);
  int code = -1;
  EXPECT_EQ(vantor_https_device_report(&request("rep"), "", file.c_str(), &code), 1);
  EXPECT_EQ(code, 200);
  expect_sent("udps_report", "rep", "",
              kHead + file_part("report", "application/x-gzip-compressed", bytes) + kClosing, true);

  write_text_file(file, "uptime: 3 days\n");
  https_request& act = request("act");
  act.action_id = -42;
  EXPECT_EQ(vantor_https_submit_action_response(&act, nullptr, &code, file.c_str()), 1);
  expect_sent("udps_action", "act", "",
              kHead + text_part("action_id", "-42") + text_part("response", "uptime: 3 days\n") +
                  kClosing,
              true);

  // The debug dump has no time part.
  write_text_file(file, std::string("\0\1\2", 3));
  https_request& dump = request("dbg");
  dump.dump_path = file.c_str();
  server.script({"404 Not Found\n"});
  EXPECT_EQ(vantor_https_submit_debug_dump(&dump, "lo", &code), 0);
  EXPECT_EQ(code, 404);
  expect_sent("debug_dump", "dbg", "lo",
              kIdentity + file_part("debug_dump", "application/octet-stream", std::string("\0\1\2", 3)) +
                  kClosing,
              true, ".tmp");
}

TEST_F(CloudRequestsTest, ExtensionRequestsAreUrlEncodedAndInfoSavesARedirectBody) {
  write_text_file(file, "old");
  server.script({"302 Found\nname=x\nENDOFFILE\nmore\n"});
  int code = -1;
  EXPECT_EQ(vantor_https_extension_info(&request("isp"), nullptr, file.c_str(), &code), 1);
  EXPECT_EQ(code, 302);
  EXPECT_EQ(read_text_file(file), "name=x\nENDOFFILE\nmore\n");
  expect_sent("udps_exten", "isp", "", kIdentityForm, false);

  EXPECT_EQ(vantor_https_extension_delete_info(&request("ispx"), "lo", "my ext&x=1", &code), 1);
  EXPECT_EQ(code, 200);
  expect_sent("udps_exten_del", "ispx", "lo", kIdentityForm + "&custom_message_name=my ext&x=1",
              false);
}

TEST_F(CloudRequestsTest, MissingFilesSendNothing) {
  // A missing report is shown by the report feature tests (code 300).
  std::string missing = sandbox.path("/none");
  int code = -1;
  https_request& conf = request("conf");
  snprintf(conf.config_path, sizeof(conf.config_path), "%s", missing.c_str());
  EXPECT_EQ(vantor_https_config_sync(&conf, nullptr, &code, missing.c_str()), 0);
  EXPECT_EQ(code, 0);
  code = -1;
  EXPECT_EQ(vantor_https_submit_action_response(&request("act"), nullptr, &code, missing.c_str()), 0);
  EXPECT_EQ(code, 0);
  for (const char* dump : {missing.c_str(), static_cast<const char*>(nullptr)}) {
    request("dump").dump_path = dump;
    code = -1;
    EXPECT_EQ(vantor_https_submit_debug_dump(&req, nullptr, &code), 0);
    EXPECT_EQ(code, 0);
  }
  EXPECT_EQ(tool.runs(), 0);
}

TEST_F(CloudRequestsTest, ToolFailureOrAPlantedLinkGivesCodeZero) {
  write_text_file(file, "A=1\n");
  https_request& r = request("conf");
  snprintf(r.config_path, sizeof(r.config_path), "%s", file.c_str());
  unsetenv("WGET_HTTPS_CA_FILE");  // the server's certificate is now untrusted
  int code = -1;
  EXPECT_EQ(vantor_https_config_sync(&r, nullptr, &code, file.c_str()), 0);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(read_text_file(file), "A=1\n");
  EXPECT_TRUE(server.requests().empty());

  // A link planted at a temporary name is not followed.
  std::string victim = sandbox.path("/victim");
  write_text_file(victim, "precious");
  ASSERT_EQ(symlink(victim.c_str(), sandbox.path("/tmp/vtclient/udps_event.in").c_str()), 0);
  event_record e = {1, 2, "x"};
  code = -1;
  EXPECT_EQ(vantor_https_submit_event_log(&request("ev"), nullptr, 1, &e, &code), 0);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(read_text_file(victim), "precious");
  EXPECT_EQ(tool.runs(), 1);
  unlink(sandbox.path("/tmp/vtclient/udps_event.in").c_str());
}

}  // namespace
