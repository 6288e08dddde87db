#include "https_test_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#ifndef VT_TEST_SUPPORT_DIR
#error "VT_TEST_SUPPORT_DIR must name tests/support"
#endif
#ifndef VT_WGET_HTTPS_DIR
#error "VT_WGET_HTTPS_DIR must name the directory of the built wget_https"
#endif

namespace vt_test {
namespace {

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The string value of "key" in one line of the server's JSON log. The
// values read this way are base64 or plain words: they hold no escapes.
std::string json_field(const std::string& line, const std::string& key) {
  std::string marker = "\"" + key + "\": \"";
  size_t at = line.find(marker);
  if (at == std::string::npos) return "";
  at += marker.size();
  size_t end = line.find('"', at);
  return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

std::string response_json(const ScriptedResponse& r) {
  std::ostringstream j;
  j << "{\"status\": " << r.status << ", \"body_b64\": \"" << base64_encode(r.body) << "\"";
  if (r.reason != "\x01") j << ", \"reason_b64\": \"" << base64_encode(r.reason) << "\"";
  if (!r.path.empty()) j << ", \"path\": \"" << r.path << "\"";
  if (r.delay > 0) j << ", \"delay\": " << r.delay;
  if (r.hang) j << ", \"hang\": true";
  j << "}";
  return j.str();
}

// Polls a condition every few milliseconds until it holds or time runs out.
template <typename Condition>
bool wait_until(Condition condition, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace

std::string base64_encode(const std::string& bytes) {
  std::string out;
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                 (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                 static_cast<unsigned char>(bytes[i + 2]);
    out += kBase64[(v >> 18) & 63];
    out += kBase64[(v >> 12) & 63];
    out += kBase64[(v >> 6) & 63];
    out += kBase64[v & 63];
  }
  size_t rest = bytes.size() - i;
  if (rest > 0) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += kBase64[(v >> 18) & 63];
    out += kBase64[(v >> 12) & 63];
    out += rest == 2 ? kBase64[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string base64_decode(const std::string& text) {
  std::string out;
  unsigned v = 0;
  int bits = 0;
  for (char c : text) {
    const char* p = strchr(kBase64, c);
    if (c == '\0' || p == nullptr) continue;  // padding and line ends
    v = (v << 6) | static_cast<unsigned>(p - kBase64);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((v >> bits) & 0xFF);
    }
  }
  return out;
}

std::string RecordedRequest::header(const std::string& name) const {
  std::istringstream in(headers);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t colon = line.find(':');
    if (colon == std::string::npos || colon != name.size()) continue;
    bool same = true;
    for (size_t i = 0; i < colon; ++i) {
      if (tolower(static_cast<unsigned char>(line[i])) !=
          tolower(static_cast<unsigned char>(name[i]))) {
        same = false;
      }
    }
    if (!same) continue;
    size_t v = colon + 1;
    while (v < line.size() && line[v] == ' ') ++v;
    return line.substr(v);
  }
  return "";
}

HttpsTestServer::HttpsTestServer(std::string cert, std::string workdir)
    : cert_(std::move(cert)), workdir_(std::move(workdir)) {}

HttpsTestServer::~HttpsTestServer() {
  stop();
  if (own_workdir_) {
    std::error_code ec;
    std::filesystem::remove_all(workdir_, ec);
  }
}

bool HttpsTestServer::start() {
  if (workdir_.empty()) {
    char tmpl[] = "/tmp/vt_https_server_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return false;
    workdir_ = tmpl;
    own_workdir_ = true;
  }
  std::string port_file = workdir_ + "/port";
  unlink(port_file.c_str());
  std::string script = std::string(VT_TEST_SUPPORT_DIR) + "/https_test_server.py";
  std::string cert_opt = "--cert=" + cert_;
  std::string log = workdir_ + "/server.log";

  // Only async-signal-safe calls between fork and exec: the test process
  // may have threads of its own running.
  int log_fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  pid_ = fork();
  if (pid_ < 0) {
    if (log_fd >= 0) close(log_fd);
    return false;
  }
  if (pid_ == 0) {
    if (log_fd >= 0) dup2(log_fd, 2);
    execl("/usr/bin/python3", "python3", script.c_str(), workdir_.c_str(), cert_opt.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  if (log_fd >= 0) close(log_fd);
  // Making the certificates takes a moment on the first start.
  bool exited = false;
  bool up = wait_until(
      [&] {
        if (access(port_file.c_str(), F_OK) == 0) return true;
        int status;
        exited = waitpid(pid_, &status, WNOHANG) == pid_;
        return exited;
      },
      20000);
  if (exited) pid_ = -1;
  if (!up || exited) {
    stop();
    return false;
  }
  port_ = atoi(read_all(port_file).c_str());
  return port_ > 0;
}

void HttpsTestServer::stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
}

std::string HttpsTestServer::host() const { return "127.0.0.1:" + std::to_string(port_); }

std::string HttpsTestServer::url(const std::string& path) const {
  return "https://" + host() + "/" + path;
}

void HttpsTestServer::trust() const { setenv("WGET_HTTPS_CA_FILE", ca_file().c_str(), 1); }

void HttpsTestServer::script(const std::vector<ScriptedResponse>& queue,
                             const ScriptedResponse& fallback) {
  std::ostringstream j;
  j << "{\"default\": " << response_json(fallback) << ", \"queue\": [";
  for (size_t i = 0; i < queue.size(); ++i) j << (i ? ", " : "") << response_json(queue[i]);
  j << "]}";
  std::string tmp = workdir_ + "/script.json.tmp";
  std::ofstream(tmp) << j.str();
  rename(tmp.c_str(), (workdir_ + "/script.json").c_str());
}

std::vector<RecordedRequest> HttpsTestServer::requests() const {
  std::vector<RecordedRequest> out;
  std::istringstream in(read_all(workdir_ + "/requests.jsonl"));
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    RecordedRequest r;
    r.method = json_field(line, "method");
    r.path = base64_decode(json_field(line, "path_b64"));
    r.headers = base64_decode(json_field(line, "headers_b64"));
    r.body = base64_decode(json_field(line, "body_b64"));
    out.push_back(std::move(r));
  }
  return out;
}

bool HttpsTestServer::wait_for_requests(size_t n, int timeout_ms) const {
  return wait_until([&] { return requests().size() >= n; }, timeout_ms);
}

void HttpsTestServer::clear_requests() const {
  std::ofstream(workdir_ + "/requests.jsonl", std::ios::trunc);
}

std::string wget_https_stand_in_dir() { return VT_WGET_HTTPS_DIR; }

void use_wget_https_stand_in() {
  const char* old = getenv("PATH");
  std::string path = wget_https_stand_in_dir();
  if (old != nullptr && old[0] != '\0') path += std::string(":") + old;
  setenv("PATH", path.c_str(), 1);
}

FetchToolRecorder::FetchToolRecorder() {
  char tmpl[] = "/tmp/vt_fetch_recorder_XXXXXX";
  if (mkdtemp(tmpl) != nullptr) dir_ = tmpl;
  const char* old = getenv("PATH");
  old_path_ = old != nullptr ? old : "";
  std::string script =
      "#!/bin/sh\n"
      "rec='" +
      dir_ +
      "'\n"
      "n=$(cat \"$rec/count\" 2>/dev/null || echo 0); n=$((n+1)); echo $n > \"$rec/count\"\n"
      "printf '%s\\0' \"$@\" > \"$rec/args.$n\"\n"
      "for a in \"$@\"; do\n"
      "  case \"$a\" in\n"
      "    -f*) cp \"${a#-f}\" \"$rec/body.$n\"; stat -c %a \"${a#-f}\" > \"$rec/body_mode.$n\";;\n"
      "    -e*) cp \"${a#-e}\" \"$rec/header.$n\"; stat -c %a \"${a#-e}\" > "
      "\"$rec/header_mode.$n\";;\n"
      "  esac\n"
      "done\n"
      "if [ -f \"$rec/exit\" ]; then exit $(cat \"$rec/exit\"); fi\n"
      "exec '" +
      wget_https_stand_in_dir() + "/wget_https' \"$@\"\n";
  std::string tool = dir_ + "/wget_https";
  std::ofstream(tool) << script;
  chmod(tool.c_str(), 0755);
  setenv("PATH", (dir_ + ":" + old_path_).c_str(), 1);
}

FetchToolRecorder::~FetchToolRecorder() {
  setenv("PATH", old_path_.c_str(), 1);
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

void FetchToolRecorder::exit_with(int status) {
  std::string path = dir_ + "/exit";
  if (status < 0) {
    unlink(path.c_str());
  } else {
    std::ofstream(path) << status;
  }
}

std::string FetchToolRecorder::read(const std::string& name, int run) const {
  return read_all(dir_ + "/" + name + "." + std::to_string(run));
}

int FetchToolRecorder::runs() const { return atoi(read_all(dir_ + "/count").c_str()); }

std::vector<std::string> FetchToolRecorder::args(int run) const {
  std::vector<std::string> out;
  std::string all = read("args", run);
  size_t start = 0;
  for (size_t i = 0; i < all.size(); ++i) {
    if (all[i] == '\0') {
      out.push_back(all.substr(start, i - start));
      start = i + 1;
    }
  }
  return out;
}

std::string FetchToolRecorder::body(int run) const { return read("body", run); }
std::string FetchToolRecorder::header(int run) const { return read("header", run); }

std::string FetchToolRecorder::body_mode(int run) const {
  std::string m = read("body_mode", run);
  while (!m.empty() && m.back() == '\n') m.pop_back();
  return m;
}

std::string FetchToolRecorder::header_mode(int run) const {
  std::string m = read("header_mode", run);
  while (!m.empty() && m.back() == '\n') m.pop_back();
  return m;
}

}  // namespace vt_test
