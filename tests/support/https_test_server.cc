#include "tests/support/https_test_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace fs = std::filesystem;

namespace vt_test {
namespace {

std::string make_temp_dir(const char* name) {
  std::string dir = (fs::temp_directory_path() / name).string() + "XXXXXX";
  return mkdtemp(dir.data()) ? dir : "";
}

}  // namespace

HttpsTestServer::~HttpsTestServer() {
  if (pid_ > 0) kill(pid_, SIGTERM), waitpid(pid_, nullptr, 0);
  std::error_code ec;
  if (!dir_.empty()) fs::remove_all(dir_, ec);
}

bool HttpsTestServer::start() {
  if ((dir_ = make_temp_dir("vt_https_server_")).empty()) return false;
  std::string script = VT_TEST_SUPPORT_DIR "/https_test_server.py", cert = "--cert=" + cert_;
  // Only async-signal-safe calls between fork and exec: the test may run threads.
  int log_fd = open((dir_ + "/server.log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if ((pid_ = fork()) == 0) {
    dup2(log_fd, 2);
    execl("/usr/bin/python3", "python3", script.c_str(), dir_.c_str(), cert.c_str(), nullptr);
    _exit(127);
  }
  close(log_fd);
  // Making the certificates takes a moment; a server that exits has failed.
  wait_until([&] {
    if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
    return pid_ <= 0 || access((dir_ + "/port").c_str(), F_OK) == 0;
  }, std::chrono::seconds(20));
  port_ = pid_ > 0 ? atoi(read_text_file(dir_ + "/port").c_str()) : 0;
  return port_ > 0;
}

void HttpsTestServer::answer(const std::string& text) const {
  write_text_file(dir_ + "/next.tmp", text);  // renamed, so that the server never reads half an answer
  rename((dir_ + "/next.tmp").c_str(), (dir_ + "/answer").c_str());
}

FetchToolRecorder::FetchToolRecorder() : dir_(make_temp_dir("vt_fetch_recorder_")) {
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
               "case \"$(cat \"$answer\")\" in \"EXIT \"*) exit \"$(cut -c6- \"$answer\")\";;\n"
               "  HANG) exec sleep 1000;; esac\n"
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

std::vector<std::string> FetchToolRecorder::args(int run) const {
  std::vector<std::string> out;
  std::istringstream in(read("args." + std::to_string(run)));
  for (std::string word; std::getline(in, word, '\0');) out.push_back(word);
  return out;
}

std::string FetchToolRecorder::url(int run) const {
  for (const std::string& word : args(run))
    if (word.rfind("https://", 0) == 0) return word;
  return "";
}

}  // namespace vt_test
