// Test helpers shared by every subsystem's tests.
//
//   Sandbox            a fresh temporary directory set as VTCLIENT_ROOT for
//                      the life of the object, so system_path("/etc/x") lands
//                      in it; removed (and the old VTCLIENT_ROOT restored) on
//                      destruction. It comes with etc/, tmp/, bin/, usr/bin/
//                      and var/run/ already made.
//   SandboxTest        a GoogleTest fixture holding a Sandbox as `sandbox`.
//   wait_until         polls a condition until it holds or a bounded time
//                      has passed; tests never sleep to synchronise.
//   write_script       writes an executable "#!/bin/sh" script (fake tools).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

namespace vt_test {

class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // The sandbox directory itself, without a trailing "/".
  const std::string& root() const { return root_; }
  // Where the device path "/etc/model" lives in the sandbox.
  std::string path(const std::string& device_path) const;

  // Writes a file at a device path, creating its directories.
  void write_file(const std::string& device_path, const std::string& content) const;
  // Writes an executable shell script at a device path (a fake device tool).
  void write_tool(const std::string& device_path, const std::string& script_body) const;
  // The file's content, or "" when it cannot be read.
  std::string read_file(const std::string& device_path) const;
  bool exists(const std::string& device_path) const;
  void remove(const std::string& device_path) const;

 private:
  std::string root_;
  bool had_old_root_ = false;
  std::string old_root_;
};

class SandboxTest : public ::testing::Test {
 protected:
  Sandbox sandbox;
};

// True as soon as condition() holds; false when it still does not after
// `timeout`. Polls every few milliseconds.
bool wait_until(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Writes "#!/bin/sh\n" + body at a real path and makes it executable.
void write_script(const std::string& path, const std::string& body);

// Plain file helpers on real paths.
void write_text_file(const std::string& path, const std::string& content);
std::string read_text_file(const std::string& path);  // "" when unreadable

}  // namespace vt_test
