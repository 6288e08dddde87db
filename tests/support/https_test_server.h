// The local HTTPS test server (https_test_server.py, a child process stopped
// by its pid) with queued answers and recorded requests, and the one fake of
// the fetch tool that the C++ tests use.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/support/sandbox.h"

namespace vt_test {

struct RecordedRequest {
  std::string method, path, headers, body;  // headers: "Name: value\r\n" lines
};

class HttpsTestServer {
 public:
  // cert: "good", or "wrong-host" (issued by the same CA for another name).
  explicit HttpsTestServer(std::string cert = "good") : cert_(std::move(cert)) {}
  ~HttpsTestServer();  // also forgets the trust given by trust()
  HttpsTestServer(const HttpsTestServer&) = delete;
  HttpsTestServer& operator=(const HttpsTestServer&) = delete;

  bool start();  // waits (bounded) until it listens
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  std::string url(const std::string& path) const { return "https://" + host() + "/" + path; }
  void trust();  // sets WGET_HTTPS_CA_FILE to this server's CA

  // Answers in order, then the fallback for every later request. An answer
  // is the status line after "HTTP/1.1 " ("302 Found", or "302" alone), a
  // line feed and the body; "hang" never answers.
  void script(const std::vector<std::string>& queue, const std::string& fallback = "200 OK\n");
  std::vector<RecordedRequest> requests() const;

 private:
  std::string cert_, workdir_;
  pid_t pid_ = -1;
  int port_ = 0;
  bool trusted_ = false;
};

// A wget_https first in PATH (restored when the recorder goes) that records
// each run: its words, and a copy and the mode of its -f ("body") and -e
// ("header") files. It then runs the real stand-in, or answers as scripted.
class FetchToolRecorder {
 public:
  FetchToolRecorder();
  ~FetchToolRecorder();
  FetchToolRecorder(const FetchToolRecorder&) = delete;
  FetchToolRecorder& operator=(const FetchToolRecorder&) = delete;

  // Run n gives answers[n - 1] as its output file, later runs the last one;
  // "EXIT s" instead exits with status s and writes nothing.
  void answers(const std::vector<std::string>& answers);
  int runs() const;
  std::vector<std::string> args(int run) const;  // runs count from 1
  std::string url(int run) const;               // the word that starts with https://
  std::string file(int run, const std::string& which) const { return read(which, run); }
  std::string mode(int run, const std::string& which) const { return read(which + "_mode", run); }

 private:
  std::string read(const std::string& name, int run) const;
  std::string dir_, old_path_;
};

// A sandbox with a running test server that the stand-in trusts, the
// recorder first in PATH, and the clock fixed at 1700000123.
class HttpsExchangeTest : public SandboxTest {
 protected:
  void SetUp() override;
  void TearDown() override;
  HttpsTestServer server;
  FetchToolRecorder tool;
};

}  // namespace vt_test
