#include "tests/support/https_test_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "platform/clock.h"

namespace fs = std::filesystem;

namespace vt_test {

HttpsTestServer::~HttpsTestServer() {
  if (pid_ > 0) kill(pid_, SIGTERM), waitpid(pid_, nullptr, 0);
  if (trusted_) unsetenv("WGET_HTTPS_CA_FILE");
  std::error_code ec;
  if (!workdir_.empty()) fs::remove_all(workdir_, ec);
}

bool HttpsTestServer::start() {
  char tmpl[] = "/tmp/vt_https_server_XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return false;
  workdir_ = tmpl;
  std::string script = VT_TEST_SUPPORT_DIR "/https_test_server.py", cert = "--cert=" + cert_;
  // Only async-signal-safe calls between fork and exec: the test may run threads.
  int log_fd = open((workdir_ + "/server.log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if ((pid_ = fork()) == 0) {
    dup2(log_fd, 2);
    execl("/usr/bin/python3", "python3", script.c_str(), tmpl, cert.c_str(), nullptr);
    _exit(127);
  }
  close(log_fd);
  // Making the certificates takes a moment; a server that exits has failed.
  wait_until([&] {
    if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
    return pid_ <= 0 || access((workdir_ + "/port").c_str(), F_OK) == 0;
  }, std::chrono::seconds(20));
  port_ = pid_ > 0 ? atoi(read_text_file(workdir_ + "/port").c_str()) : 0;
  return port_ > 0;
}

void HttpsTestServer::trust() {
  setenv("WGET_HTTPS_CA_FILE", (workdir_ + "/ca.pem").c_str(), 1);
  trusted_ = true;
}

void HttpsTestServer::script(const std::vector<std::string>& queue, const std::string& fallback) {
  for (const auto& entry : fs::directory_iterator(workdir_))
    if (entry.path().filename().string().rfind("answer", 0) == 0) fs::remove(entry);
  // Written aside and renamed, so that the server never reads half an answer.
  auto put = [&](const std::string& name, const std::string& answer) {
    write_text_file(workdir_ + "/next.tmp", answer);
    rename((workdir_ + "/next.tmp").c_str(), (workdir_ + "/" + name).c_str());
  };
  for (size_t i = 0; i < queue.size(); ++i) put("answer." + std::to_string(i + 1), queue[i]);
  put("answer", fallback);
}

std::vector<RecordedRequest> HttpsTestServer::requests() const {
  std::vector<RecordedRequest> out;
  for (int n = 1;; ++n) {
    std::string text = read_text_file(workdir_ + "/request." + std::to_string(n));
    size_t space = text.find(' '), line_end = text.find("\r\n"), head_end = text.find("\r\n\r\n");
    if (head_end == std::string::npos) return out;
    out.push_back({text.substr(0, space), text.substr(space + 1, line_end - space - 1),
                   text.substr(line_end + 2, head_end - line_end), text.substr(head_end + 4)});
  }
}

FetchToolRecorder::FetchToolRecorder() {
  char tmpl[] = "/tmp/vt_fetch_recorder_XXXXXX";
  if (mkdtemp(tmpl) != nullptr) dir_ = tmpl;
  old_path_ = getenv("PATH") ? getenv("PATH") : "";
  write_script(dir_ + "/wget_https",
               "rec='" + dir_ + "' out=''\n"
               "n=$(($(cat \"$rec/count\" 2>/dev/null || echo 0) + 1)); echo $n > \"$rec/count\"\n"
               "printf '%s\\0' \"$@\" > \"$rec/args.$n\"\n"
               "for a in \"$@\"; do\n"
               "  case \"$a\" in -f*) f=\"${a#-f}\" w=body;; -e*) f=\"${a#-e}\" w=header;;\n"
               "    -O*) out=\"${a#-O}\"; continue;; *) continue;; esac\n"
               "  cp \"$f\" \"$rec/$w.$n\"; stat -c %a \"$f\" | tr -d '\\n' > \"$rec/${w}_mode.$n\"\n"
               "done\n"
               "answer=\"$rec/answer.$n\"; [ -f \"$answer\" ] || answer=\"$rec/answer\"\n"
               "[ -f \"$answer\" ] || exec '" VT_WGET_HTTPS_DIR "/wget_https' \"$@\"\n"
               "case \"$(cat \"$answer\")\" in \"EXIT \"*) exit \"$(cut -c6- \"$answer\")\";; esac\n"
               "cp \"$answer\" \"$out\"\n");
  setenv("PATH", (dir_ + ":" + old_path_).c_str(), 1);
}

FetchToolRecorder::~FetchToolRecorder() {
  setenv("PATH", old_path_.c_str(), 1);
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

void FetchToolRecorder::answers(const std::vector<std::string>& answers) {
  for (size_t i = 0; i < answers.size(); ++i) write_text_file(dir_ + "/answer." + std::to_string(i + 1), answers[i]);
  if (!answers.empty()) write_text_file(dir_ + "/answer", answers.back());
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

std::string FetchToolRecorder::url(int run) const {
  for (const std::string& word : args(run))
    if (word.rfind("https://", 0) == 0) return word;
  return "";
}

void HttpsExchangeTest::SetUp() {
  ASSERT_TRUE(server.start());
  server.trust();
  vt_set_clock(+[]() -> time_t { return 1700000123; });
}

void HttpsExchangeTest::TearDown() { vt_set_clock(nullptr); }

}  // namespace vt_test
