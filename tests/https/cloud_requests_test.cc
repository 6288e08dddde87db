// The seven requests, end to end: request function -> recorded wget_https
// stand-in -> TLS -> the local test server, with byte-exact bodies.
#include "https/cloud_requests.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include "tests/support/https_test_server.h"

namespace {

const std::string D = "---------------------------7d38f60708\r\n";
const std::string kClosing = "---------------------------7d38f60708--\r\n";
const std::string kIdentityForm = "serial=12345678ABCD&model=VT100&variant=EU&version=5.4.9&time=1700000123";

std::string text_part(const std::string& name, const std::string& value) {
  return D + "Content-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
}

std::string file_part(const std::string& name, const std::string& type, const std::string& bytes) {
  return D + "Content-Disposition: form-data; name=\"" + name + "\"; filename=\"" +
         (name == "config" ? "masterconfig" : name) + "\"\r\nContent-Type: " + type + "\r\n\r\n" + bytes + "\r\n";
}

const std::string kIdentity = text_part("serial", "12345678ABCD") + text_part("model", "VT100") +
                              text_part("variant", "EU") + text_part("version", "5.4.9");
const std::string kHead = kIdentity + text_part("time", "1700000123");

class CloudRequestsTest : public vt_test::HttpsExchangeTest {
 protected:
  void TearDown() override {
    HttpsExchangeTest::TearDown();
    // The body and header files never outlive a call; the parser removes the output file.
    for (std::string f : {"udps_conf", "udps_event", "udps_report", "udps_exten", "udps_exten_del", "udps_action",
                          "debug_dump"})
      for (const char* suffix : {".in", ".header", ".dump", ".tmp"})
        EXPECT_FALSE(sandbox.exists("/tmp/vtclient/" + f + suffix)) << f << suffix << " outlived the call";
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
  https_request req;
  std::string file = sandbox.path("/file");
};

TEST_F(CloudRequestsTest, EachRequestSendsItsBodyAndTakesTheServersAnswer) {
  const std::string config = "A=1\r\nB=\"x\"\n" + kClosing;  // the boundary goes out unchanged
  const std::string gzip = std::string("\x1f\x8b\x08\0binary", 10) + D + "\r\n", dump("\0\1\2", 3);
  const event_record events[2] = {{7, 1699990000, "link up"}, {5, -3, "status & more"}};
  const struct {
    const char *files, *path, *iface;
    std::string file, answer;  // what the file holds before, the server's answer
    std::function<int(https_request&, int*)> call;
    int result, code;
    std::string body, file_after;  // file_after "": left alone
    const char* out;               // the output file's suffix; null: not multipart
  } cases[] = {
      {"udps_conf", "conf/sync", "lo", config, "301 Moved Permanently\nA=2\nENDOFFILE\nignored\n",
       [&](https_request& r, int* code) {
         snprintf(r.config_path, sizeof(r.config_path), "%s", file.c_str());
         return vantor_https_config_sync(&r, "lo", code, file.c_str());
       },
       1, 301, kHead + file_part("config", "text/plain", config) + kClosing, "A=2\n", ".dump"},
      {"udps_event", "ev", "", "", "200 OK\n",
       [&](https_request& r, int* code) { return vantor_https_submit_event_log(&r, nullptr, 2, events, code); }, 1,
       200,
       kHead + text_part("num", "2") + text_part("event1_code", "7") + text_part("event1_ts", "1699990000") +
           text_part("event1_content", "link up") + text_part("event2_code", "5") + text_part("event2_ts", "-3") +
           text_part("event2_content", "status & more") + kClosing,
       "", ".dump"},
      {"udps_report", "rep", "", gzip, "200 OK\n",
       [&](https_request& r, int* code) { return vantor_https_device_report(&r, "", file.c_str(), code); }, 1, 200,
       kHead + file_part("report", "application/x-gzip-compressed", gzip) + kClosing, "", ".dump"},
      {"udps_action", "act", "", "uptime: 3 days\n", "200 OK\n",
       [&](https_request& r, int* code) {
         r.action_id = -42;
         return vantor_https_submit_action_response(&r, nullptr, code, file.c_str());
       },
       1, 200, kHead + text_part("action_id", "-42") + text_part("response", "uptime: 3 days\n") + kClosing, "",
       ".dump"},
      // The debug dump has no time part.
      {"debug_dump", "dbg", "lo", dump, "404 Not Found\n",
       [&](https_request& r, int* code) {
         r.dump_path = file.c_str();
         return vantor_https_submit_debug_dump(&r, "lo", code);
       },
       0, 404, kIdentity + file_part("debug_dump", "application/octet-stream", dump) + kClosing, "", ".tmp"},
      {"udps_exten", "isp", "", "old", "302 Found\nname=x\nENDOFFILE\nmore\n",
       [&](https_request& r, int* code) { return vantor_https_extension_info(&r, nullptr, file.c_str(), code); }, 1,
       302, kIdentityForm, "name=x\nENDOFFILE\nmore\n", nullptr},
      {"udps_exten_del", "ispx", "lo", "", "200 OK\n",
       [&](https_request& r, int* code) { return vantor_https_extension_delete_info(&r, "lo", "my ext&x=1", code); },
       1, 200, kIdentityForm + "&custom_message_name=my ext&x=1", "", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.files);
    vt_test::write_text_file(file, c.file);
    server.script({c.answer});
    int code = -1;
    EXPECT_EQ(c.call(request(c.path), &code), c.result);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(vt_test::read_text_file(file), c.file_after.empty() ? c.file : c.file_after);
    // The tool's words for these temporary files, and exactly this body at the server.
    std::string tmp = sandbox.path(std::string("/tmp/vtclient/") + c.files);
    std::vector<std::string> args = {"-q", "-T30", "-f" + tmp + ".in", "-O" + tmp + (c.out ? c.out : ".dump"),
                                     server.url(c.path)};
    if (*c.iface) args.push_back(std::string("-i") + c.iface);
    if (c.out) args.push_back("-e" + tmp + ".header");
    const int run = tool.runs();
    EXPECT_EQ(tool.args(run), args);
    EXPECT_EQ(tool.mode(run, "body"), "600");
    if (c.out) {
      EXPECT_EQ(tool.file(run, "header"),
                "Content-Type: multipart/form-data; boundary=-------------------------7d38f60708\r\n");
      EXPECT_EQ(tool.mode(run, "header"), "600");
    }
    auto got = server.requests();
    ASSERT_FALSE(got.empty());
    EXPECT_TRUE(got.back().body == c.body) << got.back().body;
  }
}

TEST_F(CloudRequestsTest, MissingFilesOrNoEventsSendNothing) {
  // A missing report is shown by the report feature tests (code 300).
  std::string missing = sandbox.path("/none");
  const event_record e = {1, 2, "x"};
  https_request& conf = request("conf");
  snprintf(conf.config_path, sizeof(conf.config_path), "%s", missing.c_str());
  const std::function<int(int*)> calls[] = {
      [&](int* code) { return vantor_https_config_sync(&conf, nullptr, code, missing.c_str()); },
      [&](int* code) { return vantor_https_submit_action_response(&conf, nullptr, code, missing.c_str()); },
      [&](int* code) { return conf.dump_path = missing.c_str(), vantor_https_submit_debug_dump(&conf, nullptr, code); },
      [&](int* code) { return conf.dump_path = nullptr, vantor_https_submit_debug_dump(&conf, nullptr, code); },
      [&](int* code) { return vantor_https_submit_event_log(&conf, nullptr, 0, &e, code); },
      [&](int* code) { return vantor_https_submit_event_log(&conf, nullptr, -1, &e, code); },
  };
  for (const auto& call : calls) {
    int code = -1;
    EXPECT_EQ(call(&code), 0);
    EXPECT_EQ(code, 0);
  }
  EXPECT_EQ(tool.runs(), 0);
}

// A link planted at a temporary name is not followed.
TEST_F(CloudRequestsTest, PlantedLinkIsNotFollowedAndGivesCodeZero) {
  std::string victim = sandbox.path("/victim"), link = sandbox.path("/tmp/vtclient/udps_event.in");
  vt_test::write_text_file(victim, "precious");
  mkdir(sandbox.path("/tmp/vtclient").c_str(), 0700);
  ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
  event_record e = {1, 2, "x"};
  int code = -1;
  EXPECT_EQ(vantor_https_submit_event_log(&request("ev"), nullptr, 1, &e, &code), 0);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(vt_test::read_text_file(victim), "precious");
  EXPECT_EQ(tool.runs(), 0);
  unlink(link.c_str());
}

}  // namespace
