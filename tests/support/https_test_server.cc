#include "tests/support/https_test_server.h"

#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "tests/support/sandbox.h"

namespace vt_test {
namespace {

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) out += {digits[c >> 4], digits[c & 15]};
  return out;
}

std::string unhex(const std::string& text) {
  std::string out;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    out += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
  }
  return out;
}

// The string value of "key" in one line of the server's JSON log (hex or plain words).
std::string json_field(const std::string& line, const std::string& key) {
  std::string marker = "\"" + key + "\": \"";
  size_t at = line.find(marker);
  if (at == std::string::npos) return "";
  at += marker.size();
  return line.substr(at, line.find('"', at) - at);
}

std::string answer_json(const ScriptedResponse& r) {
  std::string j = "{\"status\": " + std::to_string(r.status) + ", \"body_hex\": \"" + hex(r.body) + "\"";
  if (r.reason != "\x01") j += ", \"reason_hex\": \"" + hex(r.reason) + "\"";
  if (r.hang) j += ", \"hang\": true";
  return j + "}";
}

}  // namespace

std::string RecordedRequest::header(const std::string& name) const {
  std::istringstream in(headers);
  for (std::string line; std::getline(in, line);) {
    if (line.size() > name.size() && line[name.size()] == ':' &&
        strncasecmp(line.c_str(), name.c_str(), name.size()) == 0) {
      size_t v = line.find_first_not_of(' ', name.size() + 1);
      size_t end = line.back() == '\r' ? line.size() - 1 : line.size();
      return v < end ? line.substr(v, end - v) : "";
    }
  }
  return "";
}

HttpsTestServer::HttpsTestServer(std::string cert) : cert_(std::move(cert)) {}

HttpsTestServer::~HttpsTestServer() {
  stop();
  std::error_code ec;
  if (!workdir_.empty()) std::filesystem::remove_all(workdir_, ec);
}

bool HttpsTestServer::start() {
  char tmpl[] = "/tmp/vt_https_server_XXXXXX";
  if (workdir_.empty() && mkdtemp(tmpl) == nullptr) return false;
  if (workdir_.empty()) workdir_ = tmpl;
  std::string port_file = workdir_ + "/port";
  std::string script = std::string(VT_TEST_SUPPORT_DIR) + "/https_test_server.py";
  std::string cert_opt = "--cert=" + cert_;
  // Only async-signal-safe calls between fork and exec: the test may run threads.
  int log_fd = open((workdir_ + "/server.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  pid_ = fork();
  if (pid_ == 0) {
    if (log_fd >= 0) dup2(log_fd, 2);
    execl("/usr/bin/python3", "python3", script.c_str(), workdir_.c_str(), cert_opt.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  if (log_fd >= 0) close(log_fd);
  if (pid_ < 0) return false;
  // Making the certificates takes a moment on the first start.
  bool exited = false;
  wait_until([&] {
    int status;
    exited = waitpid(pid_, &status, WNOHANG) == pid_;
    return exited || access(port_file.c_str(), F_OK) == 0;
  }, std::chrono::seconds(20));
  if (exited) pid_ = -1;
  port_ = atoi(read_text_file(port_file).c_str());
  if (port_ <= 0) stop();
  return port_ > 0;
}

void HttpsTestServer::stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
}

void HttpsTestServer::trust() const { setenv("WGET_HTTPS_CA_FILE", ca_file().c_str(), 1); }

void HttpsTestServer::script(const std::vector<ScriptedResponse>& queue,
                             const ScriptedResponse& fallback) {
  std::string j = "{\"default\": " + answer_json(fallback) + ", \"queue\": [";
  for (size_t i = 0; i < queue.size(); ++i) j += (i ? ", " : "") + answer_json(queue[i]);
  write_text_file(workdir_ + "/script.json.tmp", j + "]}");
  rename((workdir_ + "/script.json.tmp").c_str(), (workdir_ + "/script.json").c_str());
}

std::vector<RecordedRequest> HttpsTestServer::requests() const {
  std::vector<RecordedRequest> out;
  std::istringstream in(read_text_file(workdir_ + "/requests.jsonl"));
  for (std::string line; std::getline(in, line);) {
    out.push_back({json_field(line, "method"), unhex(json_field(line, "path_hex")),
                   unhex(json_field(line, "headers_hex")), unhex(json_field(line, "body_hex"))});
  }
  return out;
}

std::string wget_https_stand_in_dir() { return VT_WGET_HTTPS_DIR; }

FetchToolRecorder::FetchToolRecorder() {
  char tmpl[] = "/tmp/vt_fetch_recorder_XXXXXX";
  if (mkdtemp(tmpl) != nullptr) dir_ = tmpl;
  const char* old = getenv("PATH");
  old_path_ = old != nullptr ? old : "";
  write_script(dir_ + "/wget_https",
               "rec='" + dir_ + "'\n"
               "n=$(($(cat \"$rec/count\" 2>/dev/null || echo 0) + 1)); echo $n > \"$rec/count\"\n"
               "printf '%s\\0' \"$@\" > \"$rec/args.$n\"\n"
               "for a in \"$@\"; do\n"
               "  case \"$a\" in\n"
               "    -f*) f=\"${a#-f}\"; w=body;;\n"
               "    -e*) f=\"${a#-e}\"; w=header;;\n"
               "    *) continue;;\n"
               "  esac\n"
               "  cp \"$f\" \"$rec/$w.$n\"; printf %s \"$(stat -c %a \"$f\")\" > \"$rec/${w}_mode.$n\"\n"
               "done\n"
               "if [ -f \"$rec/exit\" ]; then exit $(cat \"$rec/exit\"); fi\n"
               "exec '" + wget_https_stand_in_dir() + "/wget_https' \"$@\"\n");
  setenv("PATH", (dir_ + ":" + old_path_).c_str(), 1);
}

FetchToolRecorder::~FetchToolRecorder() {
  setenv("PATH", old_path_.c_str(), 1);
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

void FetchToolRecorder::exit_with(int status) {
  if (status < 0) {
    unlink((dir_ + "/exit").c_str());
  } else {
    write_text_file(dir_ + "/exit", std::to_string(status));
  }
}

std::string FetchToolRecorder::read(const std::string& name, int run) const {
  return read_text_file(dir_ + "/" + name + "." + std::to_string(run));
}

int FetchToolRecorder::runs() const { return atoi(read_text_file(dir_ + "/count").c_str()); }

std::vector<std::string> FetchToolRecorder::args(int run) const {
  std::vector<std::string> out;
  std::istringstream in(read("args", run));
  for (std::string word; std::getline(in, word, '\0');) out.push_back(word);
  return out;
}

}  // namespace vt_test
