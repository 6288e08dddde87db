// Test helpers shared by every subsystem's tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

namespace vt_test {

// Writes "#!/bin/sh\n" + body at a real path and makes it executable (a fake tool).
void write_script(const std::string& path, const std::string& body);
void write_text_file(const std::string& path, const std::string& content);
std::string read_text_file(const std::string& path);  // "" when unreadable

// A fresh temporary directory (with etc/, tmp/, bin/, usr/bin/, var/run/) set as
// VTCLIENT_ROOT for the life of the object, so that system_path("/etc/x") lands in
// it; removed, and the old VTCLIENT_ROOT restored, on destruction.
class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const std::string& root() const { return root_; }  // without a trailing "/"
  // Where a device path such as "/etc/model" lives in the sandbox.
  std::string path(const std::string& device_path) const;

  // The file helpers below take device paths; write_file creates directories.
  void write_file(const std::string& device_path, const std::string& content) const {
    write_text_file(path(device_path), content);
  }
  void write_tool(const std::string& device_path, const std::string& script_body) const {
    write_script(path(device_path), script_body);
  }
  std::string read_file(const std::string& device_path) const {  // "" when unreadable
    return read_text_file(path(device_path));
  }
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

// True as soon as condition() holds, false when it still does not after timeout.
// Tests never sleep to synchronise.
bool wait_until(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace vt_test
