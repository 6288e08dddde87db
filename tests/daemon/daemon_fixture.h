// A cycle's state without a channel client, for testing the handlers and
// the supervision pass in-process. The daemon logger writes into the
// sandbox so that tests can read the lines back.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "features/daemon_state.h"
#include "platform/log_settings.h"
#include "platform/taglist.h"
#include "tests/support/sandbox.h"

namespace vt_test {

class DaemonStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_log_settings();
    set_log_file_path(sandbox.path("/tmp/test.log").c_str());
    buffer.assign(DAEMON_BUFFER_SIZE, '\0');
    state->action_buffer = buffer.data();
  }
  void TearDown() override {
    state->stopping = 1;
    if (state->action_thread.joinable()) state->action_thread.join();
    if (state->debug_dump_thread.joinable()) state->debug_dump_thread.join();
    free_taglist(state->config);
    reset_log_settings();
  }

  void configure(const std::string& text) {
    free_taglist(state->config);
    state->config = load_taglist_string(text.c_str(), 1);
  }

  // The log lines so far without their time and pid: "[time] [pid] [level]
  // message" gives "message", or "level message" with the level.
  std::vector<std::string> log_messages(bool with_level = false) const {
    std::vector<std::string> out;
    std::stringstream text(sandbox.read_file("/tmp/test.log"));
    for (std::string line; std::getline(text, line);) {
      size_t level = line.find("] [", line.find("] [") + 1) + 3, message = line.find("] ", level) + 2;
      out.push_back((with_level ? line.substr(level, message - 2 - level) + " " : "") + line.substr(message));
    }
    return out;
  }

  Sandbox sandbox;
  std::unique_ptr<daemon_state> state = std::make_unique<daemon_state>();
  std::string buffer;
};

}  // namespace vt_test
