// The fetch tool's stand-in (tests/support/fake_wget_https.sh) first in PATH while
// the recorder lives, in a Sandbox's wget/: the tests give its answers ("EXIT s"
// and "HANG" as well) and read what each run left.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/sandbox.h"

namespace vt_test {

class FetchToolRecorder {
 public:
  FetchToolRecorder() {
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    std::filesystem::copy_file(FAKE_WGET_HTTPS, dir_ + "/wget_https");
  }

  void answers(const std::vector<std::string>& answers) {  // run n gives answers[n - 1], later runs the last one
    for (size_t i = 0; i < answers.size(); ++i) write_text_file(dir_ + "/answer." + std::to_string(i + 1), answers[i]);
    if (!answers.empty()) write_text_file(dir_ + "/answer", answers.back());
  }
  int runs() const { return atoi(read("count").c_str()); }
  std::vector<std::string> args(int run) const {  // runs count from 1
    std::vector<std::string> out;
    std::istringstream in(read("args." + std::to_string(run)));
    for (std::string word; std::getline(in, word, '\0');) out.push_back(word);
    return out;
  }
  std::string url(int run) const {  // the word that starts with https://
    for (const std::string& word : args(run))
      if (word.rfind("https://", 0) == 0) return word;
    return "";
  }
  std::string file(int run, const std::string& which) const { return read(which + "." + std::to_string(run)); }

 private:
  std::string read(const std::string& name) const { return read_text_file(dir_ + "/" + name); }
  std::string dir_ = std::string(getenv("VTCLIENT_ROOT")) + "/wget";  // the script's own default
  ScopedEnv path_{"PATH", dir_ + ":" + getenv("PATH")};
};

}  // namespace vt_test
