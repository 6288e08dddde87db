// The local HTTPS test server (https_test_server.py, a child stopped by its
// pid), and the one fake of the fetch tool.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/sandbox.h"

namespace vt_test {

// Serves from dir (made if missing), which holds its CA, ca.pem; cert "good", or "wrong-host" (issued by the same
// CA for another name). Started and listening once made (bounded wait), port 0 if not.
struct HttpsTestServer {
  explicit HttpsTestServer(const std::string& dir, const char* cert = "good");
  ~HttpsTestServer();
  HttpsTestServer(const HttpsTestServer&) = delete;
  std::string url(const std::string& path) const { return "https://127.0.0.1:" + std::to_string(port) + "/" + path; }
  // Every answer from now on: the status line after "HTTP/1.1 " ("302 Found",
  // or "302" alone), a line feed and the body; "hang" never answers.
  void answer(const std::string& text) const;
  // Request n (from 1) as received: "METHOD PATH\r\n", header lines, "\r\n", body; "" when none came.
  std::string request(int n) const { return read_text_file(dir + "/request." + std::to_string(n)); }
  const std::string dir;
  pid_t pid = -1;
  int port = 0;
};

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
