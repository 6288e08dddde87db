// The event-log spool: which files are taken, in what order, and that a
// file leaves the spool only once the server has its event.
#include <cstring>

#include "feature_harness.h"
#include "features/event_log.h"
#include "https/cloud_requests.h"

namespace {

class EventLog : public FeatureHarness {
 protected:
  void SetUp() override {
    FeatureHarness::SetUp();
    configure("FEATURE_EVENT_SPOOL=" + path("spool/") + "\nFEATURE_EVENT_PATH=events\n");
  }
  void spool(const std::string& name, int32_t code, int32_t ts, const std::string& content,
             size_t length = sizeof(event_record)) {
    event_record r = {};
    r.code = code;
    r.timestamp = ts;
    memcpy(r.content, content.data(), std::min(content.size(), sizeof(r.content)));
    write("spool/" + name, std::string(reinterpret_cast<const char*>(&r), length));
  }
  void handle() {
    EXPECT_EQ(__udp_client_event_log_handler(nullptr, config_.get(), state_->event_log_buffer), 0);
  }
  static std::string part(const std::string& name, const std::string& value) {
    return "name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
  }
};

TEST_F(EventLog, EventFilesAreSentInNameOrderAndOthersLeftAlone) {
  spool("b.event", 2, 200, "second");
  spool("a.event", 1, 100, "first");
  spool("x.event.tmp", 3, 300, "third");
  write("spool/notes.txt", "not an event");
  handle();
  ASSERT_EQ(tool_->runs(), 1);
  std::string body = https_body(1);
  EXPECT_NE(body.find(part("num", "3")), std::string::npos);
  const char* contents[] = {"first", "second", "third"};
  for (int n = 1; n <= 3; ++n) {
    std::string event = "event" + std::to_string(n);
    EXPECT_NE(body.find(part(event + "_code", std::to_string(n))), std::string::npos);
    EXPECT_NE(body.find(part(event + "_ts", std::to_string(100 * n))), std::string::npos);
    EXPECT_NE(body.find(part(event + "_content", contents[n - 1])), std::string::npos);
  }
  for (const char* name : {"a.event", "b.event", "x.event.tmp"}) EXPECT_FALSE(exists(std::string("spool/") + name));
  EXPECT_TRUE(exists("spool/notes.txt"));
  EXPECT_EQ(logged("info", "Send event log"), 1);
}

// A status event (code 5) also replaces the status file: removed as soon as
// the event is read, written again only once the server has it.
TEST_F(EventLog, FailedUploadKeepsFilesAndStatusMarkerFollowsSuccess) {
  write("tmp/qrms_eventlog.log", "old");
  spool("a.event", 5, 100, "kept");
  tool_->answers({"EXIT 1", "503 Busy\n", "200 OK\n"});
  for (int call = 1; call <= 3; ++call) {
    handle();
    EXPECT_EQ(exists("spool/a.event"), call < 3) << call;
    EXPECT_EQ(read("tmp/qrms_eventlog.log"), call < 3 ? "" : "000") << call;
  }
  ASSERT_EQ(tool_->runs(), 3);
  EXPECT_NE(https_body(3).find(part("event1_content", "kept")), std::string::npos);
}

// Batches of 100: each leaves the spool after its own "200"; a refused one
// ends the call, and the next call starts with it, not with the ones sent.
TEST_F(EventLog, EventsGoUpInBatchesAndARefusedBatchStays) {
  for (int i = 0; i < 250; ++i) spool("e" + std::to_string(1000 + i) + ".event", i, i, "c");
  tool_->answers({"200 OK\n", "413 Too Large\n", "200 OK\n", "200 OK\n"});
  handle();
  handle();
  ASSERT_EQ(tool_->runs(), 4);
  const char* firsts[] = {"0", "100", "100", "200"};
  const char* counts[] = {"100", "100", "100", "50"};
  for (int run = 1; run <= 4; ++run) {
    EXPECT_NE(https_body(run).find(part("num", counts[run - 1])), std::string::npos) << run;
    EXPECT_NE(https_body(run).find(part("event1_code", firsts[run - 1])), std::string::npos) << run;
  }
  EXPECT_FALSE(exists("spool/e1249.event"));
}

TEST_F(EventLog, ShortFileIsZeroFilledAndUnterminatedContentCut) {
  spool("a.event", 7, 9, "", 6);  // code and half a timestamp only
  spool("b.event", 8, 10, std::string(132, 'c'));
  handle();
  std::string body = https_body(1);
  EXPECT_NE(body.find(part("event1_code", "7")), std::string::npos);
  // Only the first two bytes of the timestamp were written; which half of 9
  // they hold depends on the device's byte order.
  int32_t half_ts = 0;
  const int32_t ts = 9;
  memcpy(&half_ts, &ts, 2);
  EXPECT_NE(body.find(part("event1_ts", std::to_string(half_ts))), std::string::npos);
  EXPECT_NE(body.find(part("event1_content", "")), std::string::npos);
  EXPECT_NE(body.find(part("event2_content", std::string(131, 'c'))), std::string::npos);
}

TEST_F(EventLog, NothingToSendSendsNothing) {
  handle();  // empty spool: silent
  EXPECT_EQ(logged("info", "Send event log"), 0);
  configure("FEATURE_EVENT_SPOOL=" + path("nowhere/") + "\n");
  handle();
  EXPECT_EQ(logged("err", "Dir not found: " + path("nowhere/")), 1);
  EXPECT_EQ(tool_->runs(), 0);
}

}  // namespace
