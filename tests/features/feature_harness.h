// A sandbox for the workers, the handlers and the supervision pass: a
// temporary VTCLIENT_ROOT, device commands that record their runs, the
// fetch-tool recorder answering as the test scripts it, a clock the test sets
// (the workers' waits advance it instead of sleeping), the daemon log in a
// file of its own, and a daemon_state wired as the entry point wires it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "features/attempt_loop.h"
#include "features/daemon_state.h"
#include "features/workers.h"
#include "platform/clock.h"
#include "platform/identity.h"
#include "platform/log.h"
#include "platform/log_settings.h"
#include "platform/taglist.h"
#include "tests/support/fetch_tool_recorder.h"

using Strings = std::vector<std::string>;

constexpr time_t kStart = 1700000000;
inline std::atomic<time_t> fake_clock{kStart};  // starts there in every test

class FeatureHarness : public ::testing::Test {
 protected:
  void SetUp() override {
    sandbox_ = std::make_unique<vt_test::Sandbox>();
    tool_ = std::make_unique<vt_test::FetchToolRecorder>();
    reset_log_settings();
    log_file_size.store(0);
    set_log_file_path(path("daemon.log").c_str());
    fake_clock = kStart;
    vt_set_clock([] { return fake_clock.load(); });
    attempt_loop_set_sleep([](unsigned seconds) { fake_clock += seconds; });
    reset_identity_cache();
    state_ = std::make_unique<daemon_state>();
    for (worker* w : state_->workers()) w->allocate_buffer();
    __udp_client_init_feature_param(&state_->feature, state_.get());
    __udp_client_init_report_param(&state_->report, state_.get());
    __udp_client_init_action_param(&state_->action, state_.get());
    __udp_client_init_debug_dump_param(&state_->debug_dump, state_.get());
    configure("");
  }
  void TearDown() override {
    state_->stopping = 1;
    for (worker* w : state_->workers()) w->wake(), w->join();
    vt_set_clock(nullptr);
    attempt_loop_set_sleep(nullptr);
    state_.reset();
    reset_log_settings();
    stop_requested = exit_after_stop = event_log_requested = 0;
    reset_identity_cache();
    tool_.reset();
    sandbox_.reset();
  }
  void restart() { TearDown(), SetUp(); }  // a fresh device for the next case of a table

  // Loads key=value lines (after a fixed VANTOR_HOST) into the state.
  void configure(const std::string& text) {
    config_.reset(load_taglist_string(("VANTOR_HOST=cloud.example\n" + text).c_str(), 1));
    state_->config = config_.get();
  }
  // An executable <root>/bin/<name> that appends "<name> <args>" to the run
  // record, then runs body (sh). Returns its path.
  std::string command(const std::string& name, const std::string& body = "exit 0") {
    sandbox_->write_tool("bin/" + name, "echo \"" + name + " $*\" >> \"$VTCLIENT_ROOT/runs\"\n" + body);
    return path("bin/" + name);
  }
  // A body that fails on its first `times` runs, then succeeds.
  static std::string fails_first(const std::string& name, int times) {
    std::string counter = "\"$VTCLIENT_ROOT/" + name + ".count\"";
    return "n=$(($(cat " + counter + " 2>/dev/null || echo 0) + 1)); echo $n > " + counter + "; [ $n -gt " +
           std::to_string(times) + " ]";
  }
  Strings run_args(const std::string& name) const {
    Strings out;
    for (const std::string& line : vt_test::lines_of(sandbox_->read_file("runs")))
      if (line.compare(0, name.size() + 1, name + " ") == 0) out.push_back(line.substr(name.size() + 1));
    return out;
  }
  int runs(const std::string& name) const { return static_cast<int>(run_args(name).size()); }
  // The daemon log's messages so far at this level, or every one as "level message".
  Strings log(const std::string& level = "") const {
    Strings out;
    for (const std::string& line : vt_test::lines_of(sandbox_->read_file("daemon.log"))) {
      auto [line_level, message] = vt_test::log_fields(line);
      if (level.empty()) out.push_back(line_level + " " + message);
      else if (line_level == level) out.push_back(message);
    }
    return out;
  }
  std::string path(const std::string& relative) const { return sandbox_->path(relative); }
  bool exists(const std::string& relative) const { return sandbox_->exists(relative); }
  void write(const std::string& relative, const std::string& text) const { sandbox_->write_file(relative, text); }

  // Runs the feature worker (or the report worker) on a thread of its own,
  // hands it each id as the handlers do once it is idle (the first maybe
  // before it first waits), and stops it once it is idle again.
  void serve(bool report, const std::vector<uint32_t>& ids) {
    worker& w = report ? state_->report_worker : state_->feature_worker;
    ASSERT_TRUE(w.start());
    for (uint32_t id : ids) EXPECT_TRUE(vt_test::wait_until([&] { return w.post(id); }, std::chrono::seconds(60)));
    EXPECT_TRUE(vt_test::wait_until([&] { return !w.busy(); }, std::chrono::seconds(60)));
    state_->stopping = 1;
    w.wake(), w.join();
    EXPECT_TRUE(w.finished());
  }

  std::unique_ptr<vt_test::Sandbox> sandbox_;
  std::unique_ptr<vt_test::FetchToolRecorder> tool_;
  std::unique_ptr<daemon_state> state_;
  taglist_ptr config_;
};
