// The local HTTPS test server (https_test_server.py) run from a test: queued
// answers, recorded requests. It runs as a child process, stopped by its pid.
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
  // Sets WGET_HTTPS_CA_FILE so that the stand-in trusts this server's CA.
  void trust();

  // Answers to give, in order, then the fallback for every later request. An
  // answer is the status line after "HTTP/1.1 " ("302 Found", or "302" without
  // a phrase), a line feed and the body; "hang" never answers.
  void script(const std::vector<std::string>& queue, const std::string& fallback = "200 OK\n");
  std::vector<RecordedRequest> requests() const;  // in order of arrival

 private:
  std::string cert_, workdir_;
  pid_t pid_ = -1;
  int port_ = 0;
  bool trusted_ = false;
};

// A wget_https first in PATH that records each run (arguments, copies and modes
// of its -f and -e files) and then runs the real stand-in, or exits with a chosen
// status instead. PATH is restored when the recorder goes away.
class FetchToolRecorder {
 public:
  FetchToolRecorder();
  ~FetchToolRecorder();
  FetchToolRecorder(const FetchToolRecorder&) = delete;
  FetchToolRecorder& operator=(const FetchToolRecorder&) = delete;

  void exit_with(int status);  // from now on, instead of running the stand-in

  int runs() const;
  std::vector<std::string> args(int run) const;  // run counts from 1
  // A copy of the -f ("body") or -e ("header") file of a run, and its mode ("600").
  std::string file(int run, const std::string& which) const { return read(which, run); }
  std::string mode(int run, const std::string& which) const { return read(which + "_mode", run); }

 private:
  std::string read(const std::string& name, int run) const;
  std::string dir_, old_path_;
};

// A sandbox with a running test server that the stand-in trusts, the
// recording tool first in PATH, and the clock fixed at 1700000123.
class HttpsExchangeTest : public SandboxTest {
 protected:
  void SetUp() override;
  void TearDown() override;
  HttpsTestServer server;
  FetchToolRecorder tool;
};

}  // namespace vt_test
