// The event-log spool: which files are taken, in what order, and that a
// file leaves the spool only once the server has its event.
#include <cstring>
#include <regex>

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
    event_record r = {code, ts, {}};
    memcpy(r.content, content.data(), std::min(content.size(), sizeof(r.content)));
    write("spool/" + name, std::string(reinterpret_cast<const char*>(&r), length));
  }
  void handle() { EXPECT_EQ(__udp_client_event_log_handler(nullptr, config_.get(), state_->event_log_buffer), 0); }
  // The events that fetch-tool run n sent, as "code/time/content".
  std::vector<std::string> events(int run) const {
    std::vector<std::string> out;
    std::string body = https_body(run);
    std::regex part("name=\"event\\d+_(code|ts|content)\"\r\n\r\n([^\r]*)\r\n");
    for (std::sregex_iterator it(body.begin(), body.end(), part), end; it != end; ++it)
      if ((*it)[1] == "code") out.push_back((*it)[2]); else out.back() += "/" + (*it)[2].str();
    return out;
  }
};

TEST_F(EventLog, EventFilesAreSentInNameOrderAndOthersLeftAlone) {
  handle();  // an empty spool: nothing to say
  spool("b.event", 2, 200, "second");
  spool("a.event", 1, 100, "first");
  spool("x.event.tmp", 3, 300, "third");
  write("spool/notes.txt", "not an event");
  handle();
  ASSERT_EQ(tool_->runs(), 1);
  EXPECT_EQ(events(1), (std::vector<std::string>{"1/100/first", "2/200/second", "3/300/third"}));
  for (const char* name : {"a.event", "b.event", "x.event.tmp"}) EXPECT_FALSE(exists(std::string("spool/") + name));
  EXPECT_TRUE(exists("spool/notes.txt"));
  EXPECT_EQ(logged("info", "Send event log"), 1);
  configure("FEATURE_EVENT_SPOOL=" + path("nowhere/") + "\n");
  handle();
  EXPECT_EQ(logged("err", "Dir not found: " + path("nowhere/")), 1);
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
    EXPECT_EQ(sandbox_->read_file("tmp/qrms_eventlog.log"), call < 3 ? "" : "000") << call;
  }
  ASSERT_EQ(tool_->runs(), 3);
  EXPECT_EQ(events(3), (std::vector<std::string>{"5/100/kept"}));
}

// Batches of 100: each leaves the spool after its own "200"; a refused one
// ends the call, and the next call starts with it, not with the ones sent.
TEST_F(EventLog, EventsGoUpInBatchesAndARefusedBatchStays) {
  for (int i = 0; i < 250; ++i) spool("e" + std::to_string(1000 + i) + ".event", i, i, "c");
  tool_->answers({"200 OK\n", "413 Too Large\n", "200 OK\n", "200 OK\n"});
  handle();
  handle();
  ASSERT_EQ(tool_->runs(), 4);
  const std::pair<size_t, const char*> batches[] = {{100, "0/0/c"}, {100, "100/100/c"}, {100, "100/100/c"}, {50, "200/200/c"}};
  for (int run = 1; run <= 4; ++run) {
    EXPECT_EQ(events(run).size(), batches[run - 1].first) << run;
    EXPECT_EQ(events(run).at(0), batches[run - 1].second) << run;
  }
  EXPECT_FALSE(exists("spool/e1249.event"));
}

TEST_F(EventLog, ShortFileIsZeroFilledAndUnterminatedContentCut) {
  spool("a.event", 7, 9, "", 6);  // code and half a timestamp only
  spool("b.event", 8, 10, std::string(132, 'c'));
  handle();
  // Only the first two bytes of the timestamp were written; which half of 9
  // they hold depends on the device's byte order.
  int32_t half_ts = 0, ts = 9;
  memcpy(&half_ts, &ts, 2);
  EXPECT_EQ(events(1), (std::vector<std::string>{"7/" + std::to_string(half_ts) + "/", "8/10/" + std::string(131, 'c')}));
}

}  // namespace
