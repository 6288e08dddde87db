// Test helpers shared by every subsystem's tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vt_test {

void write_text_file(const std::string& path, const std::string& content);  // makes the directories
std::string read_text_file(const std::string& path);                          // "" when unreadable
std::vector<std::string> lines_of(const std::string& text);
// The level and the message of a log line "[time] [pid] [level] message" ("<malformed>" for another line).
std::pair<std::string, std::string> log_fields(const std::string& line);

// An environment variable set while the object lives, then restored (or unset).
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// A fresh temporary directory (with etc/, tmp/, bin/, usr/bin/, var/run/) set
// as VTCLIENT_ROOT while the object lives, so that system_path("/etc/x")
// lands in it. The helpers take device paths such as "/etc/model".
class Sandbox {
 public:
  Sandbox();
  ~Sandbox();

  std::string path(const std::string& p) const { return root_ + (p.empty() || p[0] != '/' ? "/" : "") + p; }
  void write_file(const std::string& p, const std::string& content) const { write_text_file(path(p), content); }
  void write_tool(const std::string& p, const std::string& body) const;  // "#!/bin/sh\n" + body, executable
  std::string read_file(const std::string& p) const { return read_text_file(path(p)); }
  bool exists(const std::string& p) const;
  void remove(const std::string& p) const;

 private:
  std::string root_;
  ScopedEnv root_env_;
};

class SandboxTest : public ::testing::Test {
 protected:
  Sandbox sandbox;
};

// True as soon as condition() holds, false when it still does not after
// timeout. Tests never sleep to synchronise.
bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace vt_test
