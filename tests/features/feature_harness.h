// A sandbox for the feature workers: a temporary VTCLIENT_ROOT with its own
// /tmp, device commands that record their runs, a recording wget_https first
// in PATH that answers what the test scripted, a clock the test steps (the
// workers' waits advance it instead of sleeping), the daemon log in a file of
// its own, and a daemon_state wired as the entry point wires it.
#pragma once

#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "features/daemon_state.h"
#include "platform/taglist.h"

// The fake clock shared by every thread of the test.
time_t fake_now();
void set_fake_now(time_t t);
// Seconds the workers asked to wait, in order.
std::vector<unsigned> fake_waits();

class FeatureHarness : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Loads the configuration text (key=value lines) into the state.
  void configure(const std::string& text);

  // An executable under <root>/bin that appends "<name> <args>" to the run
  // record and then runs body (sh). Returns its path.
  std::string command(const std::string& name, const std::string& body = "exit 0");
  // A body that fails (status 1) on its first `times` runs, then succeeds.
  std::string fails_first(const std::string& name, int times);
  // How often name ran, and the argument lists of its runs.
  int runs(const std::string& name) const;
  std::vector<std::string> run_args(const std::string& name) const;

  // Scripts the answers of wget_https, one per run in order; the last one
  // repeats. An answer "EXIT 1" makes the tool fail; anything else is
  // written to its output file ("200 OK\n", "302 Found\nbody...").
  void https_answers(const std::vector<std::string>& answers);
  // Runs of wget_https (their argument lines) and the bodies they posted.
  std::vector<std::string> https_runs() const;
  std::string https_body(size_t run) const;

  // Lines of the daemon log with this level name and exactly this message.
  int logged(const char* level, const std::string& message) const;
  std::string log_text() const;

  std::string path(const std::string& relative) const { return root_ + "/" + relative; }
  bool exists(const std::string& relative) const;
  std::string read(const std::string& relative) const;
  void write(const std::string& relative, const std::string& content) const;

  // Waits (bounded) until pred holds; false on time-out.
  template <typename Pred>
  bool eventually(Pred pred, int timeout_ms = 10000) {
    for (int waited = 0; waited < timeout_ms; waited += 5) {
      if (pred()) return true;
      struct timespec ts = {0, 5 * 1000 * 1000};
      nanosleep(&ts, nullptr);
    }
    return pred();
  }

  std::string root_;
  std::unique_ptr<daemon_state> state_;
  taglist_ptr config_;
  std::vector<char> buffers_[4];
};
