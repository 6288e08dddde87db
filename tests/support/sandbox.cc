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

ScopedEnv::ScopedEnv(std::string name, const std::string& value) : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) old_ = old;
  setenv(name_.c_str(), value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() { old_ ? setenv(name_.c_str(), old_->c_str(), 1) : unsetenv(name_.c_str()); }

static std::string make_root() {
  std::string root = (fs::temp_directory_path() / "vtclient-test-XXXXXX").string();
  if (mkdtemp(root.data()) == nullptr) ADD_FAILURE() << "cannot create a sandbox at " << root;
  for (const char* dir : {"/etc", "/tmp", "/bin", "/usr/bin", "/var/run"}) fs::create_directories(root + dir);
  return root;
}

Sandbox::Sandbox() : root_(make_root()), root_env_("VTCLIENT_ROOT", root_) {}

Sandbox::~Sandbox() {
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

bool Sandbox::exists(const std::string& p) const { return access(path(p).c_str(), F_OK) == 0; }
void Sandbox::remove(const std::string& p) const { ::remove(path(p).c_str()); }

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  for (auto deadline = std::chrono::steady_clock::now() + timeout; !condition();) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void write_text_file(const std::string& path, const std::string& content) {
  if (fs::path(path).has_parent_path()) fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!(out << content)) ADD_FAILURE() << "cannot write " << path;
}

std::string read_text_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  return text.str();
}

void Sandbox::write_tool(const std::string& p, const std::string& body) const {
  write_text_file(path(p), "#!/bin/sh\n" + body + (body.empty() || body.back() != '\n' ? "\n" : ""));
  if (chmod(path(p).c_str(), 0755) != 0) ADD_FAILURE() << "cannot make " << p << " executable";
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::pair<std::string, std::string> log_fields(const std::string& line) {
  size_t level = line.find("] [", line.find("] [") + 1), message = line.find("] ", level + 1);
  if (line.empty() || line[0] != '[' || level == std::string::npos || message == std::string::npos)
    return {"<malformed>", "<malformed>"};
  return {line.substr(level + 3, message - level - 3), line.substr(message + 2)};
}

}  // namespace vt_test
