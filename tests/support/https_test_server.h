// The local HTTPS test server (https_test_server.py) run from a test: scripted
// answers, recorded requests. It runs as a child process, stopped by its pid.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace vt_test {

struct ScriptedResponse {
  int status = 200;
  std::string reason = "\x01";  // "\x01": the standard phrase; "": none at all
  std::string body;
  bool hang = false;  // never answer

  ScriptedResponse() = default;
  ScriptedResponse(int s, std::string r, std::string b)
      : status(s), reason(std::move(r)), body(std::move(b)) {}
};

struct RecordedRequest {
  std::string method, path, headers, body;  // headers: "Name: value\r\n" lines
  // The value of the first header of that name (case-insensitive), or "".
  std::string header(const std::string& name) const;
};

class HttpsTestServer {
 public:
  // cert: "good", "self-signed" (no issuer) or "wrong-host" (issued for another name).
  explicit HttpsTestServer(std::string cert = "good");
  ~HttpsTestServer();
  HttpsTestServer(const HttpsTestServer&) = delete;
  HttpsTestServer& operator=(const HttpsTestServer&) = delete;

  bool start();  // waits (bounded) until it listens
  void stop();

  int port() const { return port_; }
  std::string ca_file() const { return workdir_ + "/ca.pem"; }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  std::string url(const std::string& path) const { return "https://" + host() + "/" + path; }
  // Sets WGET_HTTPS_CA_FILE so that the stand-in trusts this server's CA.
  void trust() const;

  // Answers to give, in order, then the fallback for everything else.
  void script(const std::vector<ScriptedResponse>& queue,
              const ScriptedResponse& fallback = ScriptedResponse());
  std::vector<RecordedRequest> requests() const;  // in order of arrival

 private:
  std::string cert_, workdir_;
  pid_t pid_ = -1;
  int port_ = 0;
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

  void exit_with(int status);  // negative: run the stand-in again

  int runs() const;
  std::vector<std::string> args(int run) const;  // run counts from 1
  std::string body(int run) const { return read("body", run); }
  std::string header(int run) const { return read("header", run); }
  std::string body_mode(int run) const { return read("body_mode", run); }  // "600"
  std::string header_mode(int run) const { return read("header_mode", run); }

 private:
  std::string read(const std::string& name, int run) const;
  std::string dir_, old_path_;
};

// Directory of the built wget_https stand-in.
std::string wget_https_stand_in_dir();

}  // namespace vt_test
