#include "tests/support/sandbox.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace vt_test {

Sandbox::Sandbox() {
  if (const char* old = std::getenv("VTCLIENT_ROOT")) {
    had_old_root_ = true;
    old_root_ = old;
  }
  root_ = (fs::temp_directory_path() / "vtclient-test-XXXXXX").string();
  if (mkdtemp(root_.data()) == nullptr) ADD_FAILURE() << "cannot create a sandbox at " << root_;
  for (const char* dir : {"/etc", "/tmp", "/bin", "/usr/bin", "/var/run"}) {
    fs::create_directories(path(dir));
  }
  setenv("VTCLIENT_ROOT", root_.c_str(), 1);
}

Sandbox::~Sandbox() {
  if (had_old_root_) setenv("VTCLIENT_ROOT", old_root_.c_str(), 1); else unsetenv("VTCLIENT_ROOT");
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

std::string Sandbox::path(const std::string& device_path) const {
  return root_ + (device_path.empty() || device_path[0] != '/' ? "/" : "") + device_path;
}

bool Sandbox::exists(const std::string& device_path) const {
  return access(path(device_path).c_str(), F_OK) == 0;
}

void Sandbox::remove(const std::string& device_path) const { ::remove(path(device_path).c_str()); }

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void write_text_file(const std::string& path, const std::string& content) {
  fs::path p(path);
  if (p.has_parent_path()) fs::create_directories(p.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) ADD_FAILURE() << "cannot write " << path;
}

std::string read_text_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::string();
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_script(const std::string& path, const std::string& body) {
  write_text_file(path, "#!/bin/sh\n" + body + (body.empty() || body.back() != '\n' ? "\n" : ""));
  if (chmod(path.c_str(), 0755) != 0) ADD_FAILURE() << "cannot make " << path << " executable";
}

}  // namespace vt_test
