// The one fake of the fetch tool for the C++ tests.
#pragma once

#include <string>
#include <vector>

#include "tests/support/sandbox.h"

namespace vt_test {

// A wget_https first in PATH (restored when the recorder goes) that records
// each run: its words, and a copy and the mode of its -f ("body") and -e
// ("header") files. Run n gives answers[n - 1] as its output file, later
// runs the last one; "EXIT s" instead exits with status s and writes nothing,
// "HANG" never ends.
class FetchToolRecorder {
 public:
  FetchToolRecorder();
  ~FetchToolRecorder();

  void answers(const std::vector<std::string>& answers);
  int runs() const { return atoi(read("count").c_str()); }
  std::vector<std::string> args(int run) const;  // runs count from 1
  std::string url(int run) const;               // the word that starts with https://
  std::string file(int run, const std::string& which) const { return read(which + "." + std::to_string(run)); }
  std::string mode(int run, const std::string& which) const { return file(run, which + "_mode"); }

 private:
  std::string read(const std::string& name) const { return read_text_file(dir_ + "/" + name); }
  std::string dir_;
  std::optional<ScopedEnv> path_;
};

}  // namespace vt_test
