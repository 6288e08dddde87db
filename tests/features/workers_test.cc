// The workers against recorded device commands and fetch-tool runs: what
// each runs and sends, what it retries, and the lines it logs.
#include <cstring>
#include <filesystem>
#include <regex>

#include "channel/vantor_udp_client.h"
#include "feature_harness.h"
#include "features/event_log.h"
#include "features/event_record.h"

// The channel as the workers see it here: the session interface the test
// sets, and GPS reports recorded as "valid time latitude longitude" (the
// channel's own tests follow them onto the wire).
std::string session_interface;  // "": the session is bound to no interface
Strings submitted_gps;

extern "C" int vantor_udp_client_get_identity(vantor_udp_client*, vantor_udp_client_identity* id) {
  *id = {};
  id->has_interface = !session_interface.empty();
  snprintf(id->interface_name, sizeof id->interface_name, "%s", session_interface.c_str());
  return 1;
}

extern "C" int vantor_udp_client_submit_gps(vantor_udp_client*, int valid, unsigned long time, double latitude,
                                            double longitude) {
  char line[128];
  snprintf(line, sizeof line, "%d %lu %.7f %.7f", valid, time, latitude, longitude);
  submitted_gps.push_back(line);
  return 0;
}

namespace {

using ConfigSync = FeatureHarness;

TEST_F(ConfigSync, TurnsFollowTheServersAnswers) {
  const std::string ok, changed = "302 Found\nC=3\nENDOFFILE\n";  // ok: a fetch that writes the source file
  const struct {
    const char* retry; std::string fetch, apply; Strings answers; const char* iface;
    int flash, applies, fetches, uploads; Strings errors;
  } cases[] = {
      // Every turn exports the applied configuration again.
      {"3", ok, "exit 0", {"301 Moved\nB=2\nENDOFFILE\n", changed, "200 OK\n"}, "", 1, 1, 3, 3, {}},
      {"3", ok, "exit 0", {changed}, "", 0, 11, 11, 11, {}},  // a server that keeps changing
      {"-1", ok, "exit 0", {changed, "200 OK\n"}, "", 0, 1, 1, 1, {}},
      // A failing apply is retried without a new fetch; the confirming turn fetches again.
      {"3", ok, fails_first("apply", 2), {changed, "200 OK\n"}, "", 0, 3, 2, 2, {"Apply fail", "Apply fail"}},
      // A failing fetch, or status 0 without a source file: nothing is sent.
      {"2", "exit 1", "exit 0", {}, "", 0, 0, 3, 0, Strings(3, "Fetch fail")},
      {"2", "exit 0", "exit 0", {}, "", 0, 0, 3, 0, Strings(3, "Fetch fail")},
      // The session's interface carries the request and names it in the failure line.
      {"0", ok, "exit 0", {"500 Oops\n"}, "eth7", 0, 0, 1, 1, {"Config sync error (Code=500, interface=eth7)"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.apply + c.retry + c.iface + (c.answers.empty() ? c.fetch : c.answers[0]));
    restart();
    session_interface = c.iface;
    const std::string source = path("device.cfg");
    configure(std::string("FEATURE_CONFIG_TIMEOUT=600\nFEATURE_CONFIG_AUTO_RETRY=") + c.retry +
              "\nFEATURE_CONFIG_PATH=sync\nFEATURE_CONFIG_AUTO_RETRY_INTERVAL=10\nFEATURE_CONFIG_SOURCE=" + source +
              "\nFEATURE_CONFIG_FETCH_CMD=" + command("fetch", c.fetch.empty() ? "echo A=1 > '" + source + "'" : c.fetch) +
              "\nFEATURE_CONFIG_APPLY_FLASH_CMD=" + command("flash") +
              "\nFEATURE_CONFIG_APPLY_CMD=" + command("apply", c.apply) + "\n");
    tool_->answers(c.answers.empty() ? Strings{"200 OK\n"} : c.answers);
    __udp_client_config_thread_main(&state_->feature);
    session_interface.clear();
    EXPECT_EQ((std::vector<int>{runs("flash"), runs("apply"), runs("fetch")}),
              (std::vector<int>{c.flash, c.applies, c.fetches}));
    EXPECT_EQ(log("err"), c.errors);
    EXPECT_EQ(log("info"), Strings{"Start configuration sync ..."});  // once, whatever the turns
    ASSERT_EQ(tool_->runs(), c.uploads);
    if (!c.uploads) continue;
    // The upload goes to the configured path (the source file is there: a missing one sends nothing).
    EXPECT_EQ(tool_->url(1), "https://cloud.example/sync");
    const Strings args = tool_->args(1);
    EXPECT_EQ(std::count(args.begin(), args.end(), std::string("-i") + c.iface), *c.iface ? 1 : 0);
  }
}

using Isp = FeatureHarness;

TEST_F(Isp, ExtensionIsAppliedDeletedAndRestartFollowsApplyNow) {
  auto extension = [](const std::string& apply_now, const std::string& eol = "\r\n") {
    return "302 Found\nCUSTOM_MESSAGE_NAME=\"none\"" + eol + "X=\"1\"" + eol + "CUSTOM_MESSAGE_NAME=\"isp one\"" +
           eol + "ISP_DEFAULT_URL=\"http://isp/x?a=1&b='2';$(id)\"" + eol + apply_now + "END" + eol;
  };
  const std::string yes = extension("ISP_DEFAULT_APPLY_NOW=\"YES\"\r\n");  // any case of yes
  const struct {
    Strings answers; std::string reboot; int applies, reboots, requests; Strings errors;
  } cases[] = {
      {{yes, "200 OK\n"}, "exit 0", 1, 1, 2, {}},
      {{extension("ISP_DEFAULT_APPLY_NOW=\"no\"\n", "\n"), "200 OK\n"}, "exit 0", 1, 0, 2, {}},
      {{extension("", "\n"), "200 OK\n"}, "exit 0", 1, 0, 2, {}},
      // A failed delete or restart is retried alone, without applying again.
      {{yes, "500 Err\n", "200 OK\n"}, fails_first("reboot", 1), 1, 2, 3,
       {"Delete Extension Fail (code=500, interface=Default)", "Reboot fail"}},
      {{"200 OK\n"}, "exit 0", 0, 0, 1, {}},  // no extension: one request
      {{"404 Not Found\n"}, "exit 0", 0, 0, 4, Strings(4, "Extension Fail (code=404, interface=Default)")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answers[0] + c.reboot);
    restart();
    configure("FEATURE_UPISPD_TIMEOUT=600\nFEATURE_UPISPD_AUTO_RETRY=3\nFEATURE_UPISPD_AUTO_RETRY_INTERVAL=10\n"
              "FEATURE_UPISPD_PATH=ext\nFEATURE_UPISPD_X_PATH=extdel\nFEATURE_UPISPD_ACTION_CMD=" +
              command("apply") + "\nFEATURE_UPISPD_REBOOT_CMD=" + command("reboot", c.reboot) + "\n");
    tool_->answers(c.answers);
    __udp_client_isp_thread_main(&state_->feature);
    // The server's URL reaches the command as one argument, unchanged.
    EXPECT_EQ(run_args("apply"), Strings(c.applies, "http://isp/x?a=1&b='2';$(id)"));
    EXPECT_EQ(runs("reboot"), c.reboots);
    EXPECT_EQ(log("err"), c.errors);
    ASSERT_EQ(tool_->runs(), c.requests);
    EXPECT_FALSE(exists("tmp/vtclient/ISP_tmp"));
    if (!c.applies) continue;
    EXPECT_EQ(tool_->url(2), "https://cloud.example/extdel");
    EXPECT_NE(tool_->file(2, "body").find("custom_message_name=isp one"), std::string::npos);
  }
}

// Only used-up attempts are announced as failed; a run cut off by its
// deadline is not announced at all.
using Report = FeatureHarness;

TEST_F(Report, IsUploadedAndItsEndAnnounced) {
  const std::string submit = "Device Report Submission error (Code=300, interface=Default)";
  const struct {
    const char *budget, *report_file; std::string fetch, notify; int uploads; Strings errors, notified;
  } cases[] = {
      // A failed notification is repeated without a new upload.
      {"600\nFEATURE_REPORT_AUTO_RETRY=2", "report.tgz", "exit 0", fails_first("notify", 1), 1,
       {"Report Notify Command failed (cmd=$VTCLIENT_ROOT/bin/notify SUCCEED)"}, {"SUCCEED", "SUCCEED"}},
      {"600\nFEATURE_REPORT_AUTO_RETRY=1", "missing.tgz", "exit 0", "exit 0", 0, {submit, submit}, {"FAILED"}},
      {"5\nFEATURE_REPORT_AUTO_RETRY=2", "report.tgz", "exit 1", "exit 0", 0, {"Fetch err"}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.budget + c.fetch + c.report_file);
    restart();
    write("report.tgz", "REPORTDATA");
    command("notify", c.notify);  // named as configured in its failure line
    configure(std::string("FEATURE_REPORT_TIMEOUT=") + c.budget + "\nFEATURE_REPORT_PATH=report\nFEATURE_REPORT_SOURCE=" +
              path(c.report_file) + "\nFEATURE_REPORT_FETCH_CMD=" + command("fetch", c.fetch) +
              "\nFEATURE_REPORT_NOTIFY_CMD=$VTCLIENT_ROOT/bin/notify\nFEATURE_REPORT_NOTIFY_SUCCEED=SUCCEED\n"
              "FEATURE_REPORT_NOTIFY_FAILED=FAILED\nFEATURE_REPORT_AUTO_RETRY_INTERVAL=10\n");
    serve(true, {0});
    EXPECT_EQ(log("err"), c.errors);
    EXPECT_EQ(run_args("notify"), c.notified);
    ASSERT_EQ(tool_->runs(), c.uploads);
    if (!c.uploads) continue;
    EXPECT_EQ(tool_->url(1), "https://cloud.example/report");  // the file is there: a missing one gives 300
  }
}

using FeatureThread = FeatureHarness;

// The GPS output: an unusable first line (a read error, fetched again), then
// a position whose first line alone is handed to the channel.
TEST_F(FeatureThread, RunsItsOwnIdsAndLogsTheirLines) {
  configure("FEATURE_FIRMWARE_TIMEOUT=600\nFEATURE_FIRMWARE_AUTO_RETRY=1\nFEATURE_FIRMWARE_AUTO_RETRY_INTERVAL=10\n"
            "FEATURE_FIRMWARE_ACTION_CMD=" + command("upgrade", "exit 1") +
            "\nFEATURE_REBOOT_ACTION_CMD=" + command("reboot", "exit 9") +
            "\nFEATURE_GPSDATA_TIMEOUT=600\nFEATURE_GPSDATA_AUTO_RETRY=1\nFEATURE_GPSDATA_AUTO_RETRY_INTERVAL=10\n"
            "FEATURE_GPSDATA_FETCH_CMD=" +
            command("gps", fails_first("gps", 1) + " && printf '%b' '-3 5 0.0000019 -1\\nx 1 2 3' || echo") +
            "\nFEATURE_GPSDATA_NOTIFY_CMD=" + command("notify", "exit 3") + "\n");
  serve(false, {1, 7, 2, 6, 9, 4000000000u, 5, 3, 8});  // the others have workers of their own, or none: no line
  EXPECT_EQ(log("info"), (Strings{"Feature Thread Started", "Start Reboot ...", "Reboot Thread is going to sleep",
                                  "Start firmware upgrade ...", "Firmware Thread is going to sleep",
                                  "Start GPS Submission", "GPS Thread is going to sleep", "Feature thread joined"}));
  EXPECT_EQ(runs("reboot"), 1);  // once, whatever its status
  EXPECT_EQ(runs("upgrade"), 2);
  EXPECT_EQ(submitted_gps, (Strings{"-3 5 0.0000019 -1.0000000"}));
  EXPECT_EQ(runs("gps"), 2);
  EXPECT_EQ(runs("notify"), 1);  // its failing status is ignored
  EXPECT_EQ(log("err"), (Strings{"ERROR", "ERROR", "GPS Fetch Data - Read Error"}));
}

// An action's or a dump's output is sent whole (200 KB, not a multiple of the
// copy size) and only its upload retried; the output file goes and the
// finished flag is set however the thread ends, a stop too. A failed dump
// upload is logged at info level, not as an error.
using OnDemand = FeatureHarness;

TEST_F(OnDemand, OutputIsSentWholeOnlyTheUploadRetriedAndEveryEndCleansUp) {
  const std::string action_error = "err Submit Action Response Error (code=";
  const struct { bool dump, stopping; Strings answers, log; } cases[] = {
      {false, false, {"500 Oops\n", "EXIT 1", "200 OK\n"},
       {"info Start action request", action_error + "500, interface=Default)", action_error + "0, interface=Default)"}},
      {true, false, {"404 Not Found\n", "200 OK\n"},
       {"info Start Debug Dump ...", "info Submit Debug Dump Fail (code=404, interface=Default)"}},
      {false, true, {}, {"info Start action request"}},
      {true, true, {}, {"info Start Debug Dump ..."}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.dump << c.stopping);
    restart();
    const std::string out = command("out", "head -c 204801 /dev/zero | tr '\\0' 'x'");
    configure("FEATURE_REMOTE_ACTION_PATH=action\nFEATURE_REMOTE_ACTION_TIMEOUT=600\n"
              "FEATURE_REMOTE_ACTION_AUTO_RETRY=2\nFEATURE_REMOTE_ACTION_AUTO_RETRY_INTERVAL=10\n"
              "FEATURE_DEBUG_DUMP_PATH=dump\nFEATURE_DEBUG_DUMP_TIMEOUT=600\nFEATURE_DEBUG_DUMP_AUTO_RETRY=1\n"
              "FEATURE_DEBUG_DUMP_AUTO_RETRY_INTERVAL=10\nFEATURE_DEBUG_DUMP_CMD=" + out + "\n");
    strcpy(state_->action_worker.buffer(), (out + " one").c_str());
    state_->action_request_id = 4711;
    state_->stopping = c.stopping;
    tool_->answers(c.answers);
    if (c.dump) std::thread(__udp_client_debug_dump_thread_main, &state_->debug_dump).join();
    else std::thread(__udp_client_action_thread_main, &state_->action).join();
    EXPECT_EQ(log(), c.log);
    EXPECT_EQ(run_args("out"), c.stopping ? Strings{} : Strings{c.dump ? "" : "one"});
    EXPECT_TRUE((c.dump ? state_->debug_dump_worker : state_->action_worker).finished());
    EXPECT_FALSE(exists(c.dump ? "tmp/vtclient/qdms_debug_dump.dump" : "tmp/vtclient/action_tmp"));
    ASSERT_EQ(tool_->runs(), static_cast<int>(c.answers.size()));
    if (c.stopping) continue;
    const std::string body = tool_->file(tool_->runs(), "body");
    EXPECT_EQ(tool_->url(tool_->runs()), std::string("https://cloud.example/") + (c.dump ? "dump" : "action"));
    EXPECT_NE(body.find("\r\n\r\n" + std::string(204801, 'x') + "\r\n"), std::string::npos);
    EXPECT_EQ(body.find("name=\"action_id\"\r\n\r\n4711\r\n") != std::string::npos, !c.dump);
  }
}

// The event-log spool: which files are taken, in what order, and that a
// file leaves the spool only once the server has its event.
class EventLog : public FeatureHarness {
 protected:
  void SetUp() override {
    FeatureHarness::SetUp();
    std::filesystem::create_directory(path("spool"));
    configure("FEATURE_EVENT_SPOOL=" + path("spool/") + "\nFEATURE_EVENT_PATH=events\n");
  }
  void spool(const std::string& name, int32_t code, int32_t ts, const std::string& content,
             size_t length = sizeof(event_record)) {
    event_record r = {code, ts, {}};
    memcpy(r.content, content.data(), std::min(content.size(), sizeof(r.content)));
    write("spool/" + name, std::string(reinterpret_cast<const char*>(&r), length));
  }
  void handle() { EXPECT_EQ(__udp_client_event_log_handler(nullptr, config_.get(), buffer_.data()), 0); }
  std::vector<char> buffer_ = std::vector<char>(DAEMON_BUFFER_SIZE);
  // The events that fetch-tool run n sent, as "code/time/content".
  Strings events(int run) const {
    Strings out;
    std::string body = tool_->file(run, "body");
    std::regex part("name=\"event\\d+_(code|ts|content)\"\r\n\r\n([^\r]*)\r\n");
    for (std::sregex_iterator it(body.begin(), body.end(), part), end; it != end; ++it)
      if ((*it)[1] == "code") out.push_back((*it)[2]); else out.back() += "/" + (*it)[2].str();
    return out;
  }
};

TEST_F(EventLog, ShortFileIsZeroFilledUnterminatedContentCutAndFilesGoInNameOrder) {
  handle();  // an empty spool: nothing to say
  spool("b.event", 8, 10, std::string(132, 'c'));
  spool("a.event", 7, 9, "", 6);  // code and half a timestamp only
  spool("x.event.tmp", 3, 300, "third");
  write("spool/notes.txt", "not an event");
  handle();
  ASSERT_EQ(tool_->runs(), 1);
  // Only the first two bytes of the timestamp were written; which half of 9
  // they hold depends on the device's byte order.
  int32_t half_ts = 0, ts = 9;
  memcpy(&half_ts, &ts, 2);
  EXPECT_EQ(events(1), (Strings{"7/" + std::to_string(half_ts) + "/", "8/10/" + std::string(131, 'c'), "3/300/third"}));
  for (const char* name : {"a.event", "b.event", "x.event.tmp"}) EXPECT_FALSE(exists(std::string("spool/") + name));
  EXPECT_TRUE(exists("spool/notes.txt"));
  EXPECT_EQ(log("info"), Strings{"Send event log"});
  configure("FEATURE_EVENT_SPOOL=" + path("nowhere/") + "\n");
  handle();
  EXPECT_EQ(log("err"), (Strings{"Dir not found: " + path("nowhere/")}));
}

// Batches of 100: each leaves the spool only after its own "200"; a failed
// or refused one ends the call, and the next call starts with it. A status
// event (code 5) also replaces the status file: removed as soon as the event
// is read, written again only once the server has it.
TEST_F(EventLog, FailedUploadKeepsFilesInBatchesAndStatusMarkerFollowsSuccess) {
  write("tmp/qrms_eventlog.log", "old");
  for (int i = 0; i < 250; ++i) spool("e" + std::to_string(1000 + i) + ".event", i, i, "c");
  tool_->answers({"EXIT 1", "200 OK\n", "413 Too Large\n", "200 OK\n"});
  const std::pair<long, const char*> after[] = {{250, ""}, {150, "000"}, {0, "000"}};  // files left, status file
  for (const auto& [left, marker] : after) {
    handle();
    namespace fs = std::filesystem;
    EXPECT_EQ(std::distance(fs::directory_iterator(path("spool")), fs::directory_iterator()), left);
    EXPECT_EQ(sandbox_->read_file("tmp/qrms_eventlog.log"), marker) << left;
  }
  Strings batches;  // of each upload: its size and first event
  for (int run = 1; run <= tool_->runs(); ++run)
    batches.push_back(std::to_string(events(run).size()) + " " + events(run).at(0));
  EXPECT_EQ(batches, (Strings{"100 0/0/c", "100 0/0/c", "100 100/100/c", "100 100/100/c", "50 200/200/c"}));
}

}  // namespace
