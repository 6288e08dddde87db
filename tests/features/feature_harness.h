// A sandbox for the feature workers: a temporary VTCLIENT_ROOT with its own
// /tmp, device commands that record their runs, the fetch-tool recorder
// answering as the test scripts it, a clock the test steps (the workers'
// waits advance it instead of sleeping), the daemon log in a file of its
// own, and a daemon_state wired as the entry point wires it.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "features/daemon_state.h"
#include "platform/taglist.h"
#include "tests/support/https_test_server.h"

using vt_test::wait_until;

time_t fake_now();
void set_fake_now(time_t t);
std::vector<unsigned> fake_waits();  // seconds the workers asked to wait, in order

class FeatureHarness : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  void restart() { TearDown(), SetUp(); }  // a fresh device for the next case of a table

  // Loads key=value lines (after a fixed VANTOR_HOST) into the state.
  void configure(const std::string& text);
  // An executable <root>/bin/<name> that appends "<name> <args>" to the run
  // record, then runs body (sh). Returns its path.
  std::string command(const std::string& name, const std::string& body = "exit 0");
  // A body that fails on its first `times` runs, then succeeds.
  std::string fails_first(const std::string& name, int times);
  std::vector<std::string> run_args(const std::string& name) const;
  int runs(const std::string& name) const { return static_cast<int>(run_args(name).size()); }
  // Lines of the daemon log with this level and exactly this message.
  int logged(const char* level, const std::string& message) const;
  std::string https_body(int run) const { return tool_->file(run, "body"); }  // run from 1

  std::string path(const std::string& relative) const { return sandbox_->path(relative); }
  bool exists(const std::string& relative) const { return sandbox_->exists(relative); }
  void write(const std::string& relative, const std::string& text) const { sandbox_->write_file(relative, text); }

  std::unique_ptr<vt_test::Sandbox> sandbox_;
  std::unique_ptr<vt_test::FetchToolRecorder> tool_;
  std::unique_ptr<daemon_state> state_;
  taglist_ptr config_;
  std::vector<char> buffers_[4];
  std::string old_path_;
};
