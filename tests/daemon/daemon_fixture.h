// A cycle's state without a channel client, for testing the handlers and
// the supervision pass in-process. The daemon logger writes into the
// sandbox so that tests can read the lines back.
#pragma once

#include <gtest/gtest.h>

#include <memory>
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

  // Messages of the log lines, without their time, pid and level prefix.
  std::vector<std::string> log_messages() const {
    std::vector<std::string> out;
    std::string text = sandbox.read_file("/tmp/test.log");
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(start, end - start);
      // "[time] [pid] [level] message": the message follows the third "] ".
      size_t pos = 0;
      for (int i = 0; i < 3 && pos != std::string::npos; ++i) {
        pos = line.find("] ", pos);
        if (pos != std::string::npos) pos += 2;
      }
      out.push_back(pos == std::string::npos ? line : line.substr(pos));
      start = end + 1;
    }
    return out;
  }

  // Level name of every line, in order.
  std::vector<std::string> log_levels() const {
    std::vector<std::string> out;
    std::string text = sandbox.read_file("/tmp/test.log");
    size_t pos = 0;
    while ((pos = text.find("] [", pos)) != std::string::npos) {
      size_t level_start = text.find("] [", pos + 3);
      if (level_start == std::string::npos) break;
      level_start += 3;
      out.push_back(text.substr(level_start, text.find(']', level_start) - level_start));
      pos = text.find('\n', level_start);
      if (pos == std::string::npos) break;
    }
    return out;
  }

  Sandbox sandbox;
  std::unique_ptr<daemon_state> state = std::make_unique<daemon_state>();
  std::string buffer;
};

}  // namespace vt_test
