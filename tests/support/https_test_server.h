// Starting the local HTTPS test server (https_test_server.py) from a test,
// scripting its answers and reading back what it received.
//
//   HttpsTestServer server;                 // "good" certificate
//   ASSERT_TRUE(server.start());
//   server.trust();                         // WGET_HTTPS_CA_FILE = its CA
//   use_wget_https_stand_in();              // the stand-in first in PATH
//   server.script({{302, "Found", "KEY...\nhost\n11753\n"}});
//   ... run the code under test against server.url("reg/path") ...
//   auto requests = server.requests();
//
// The server runs as a child process and is stopped by its pid (SIGTERM)
// in stop() or the destructor.
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
  std::string path;   // "" answers any path
  double delay = 0;   // seconds before answering
  bool hang = false;  // never answer

  ScriptedResponse() = default;
  ScriptedResponse(int s, std::string r, std::string b)
      : status(s), reason(std::move(r)), body(std::move(b)) {}
};

struct RecordedRequest {
  std::string method;
  std::string path;
  std::string headers;  // "Name: value\r\n" lines as received
  std::string body;

  // The value of the first header of that name (case-insensitive), or "".
  std::string header(const std::string& name) const;
};

class HttpsTestServer {
 public:
  // cert: "good", "self-signed" or "wrong-host" (see the server script).
  // workdir: "" makes a fresh temporary directory, removed by the destructor.
  explicit HttpsTestServer(std::string cert = "good", std::string workdir = "");
  ~HttpsTestServer();
  HttpsTestServer(const HttpsTestServer&) = delete;
  HttpsTestServer& operator=(const HttpsTestServer&) = delete;

  // Starts the server and waits (bounded) until it listens. false on failure.
  bool start();
  void stop();

  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  const std::string& workdir() const { return workdir_; }
  std::string ca_file() const { return workdir_ + "/ca.pem"; }
  // "127.0.0.1:<port>": what goes into VANTOR_HOST.
  std::string host() const;
  // "https://127.0.0.1:<port>/<path>".
  std::string url(const std::string& path) const;

  // Sets WGET_HTTPS_CA_FILE so that the stand-in trusts this server's CA.
  void trust() const;

  // Answers to give, in order, then the fallback for everything else.
  void script(const std::vector<ScriptedResponse>& queue,
              const ScriptedResponse& fallback = ScriptedResponse());

  // Every request received so far, in order.
  std::vector<RecordedRequest> requests() const;
  // Waits (bounded) until at least n requests have been received.
  bool wait_for_requests(size_t n, int timeout_ms = 5000) const;
  // Forgets the requests received so far.
  void clear_requests() const;

 private:
  std::string cert_;
  std::string workdir_;
  bool own_workdir_ = false;
  pid_t pid_ = -1;
  int port_ = 0;
};

// A wget_https placed first in PATH that records each run (its arguments,
// copies of its -f and -e files and their modes) and then runs the real
// stand-in, or exits with a chosen status instead. PATH is restored when
// the recorder goes away.
class FetchToolRecorder {
 public:
  FetchToolRecorder();
  ~FetchToolRecorder();
  FetchToolRecorder(const FetchToolRecorder&) = delete;
  FetchToolRecorder& operator=(const FetchToolRecorder&) = delete;

  // From now on exit with this status without running the stand-in;
  // a negative status runs the stand-in again.
  void exit_with(int status);

  int runs() const;                              // runs so far
  std::vector<std::string> args(int run) const;  // run counts from 1
  std::string body(int run) const;               // the -f file's bytes
  std::string header(int run) const;             // the -e file's bytes
  std::string body_mode(int run) const;          // "600"
  std::string header_mode(int run) const;

 private:
  std::string read(const std::string& name, int run) const;
  std::string dir_;
  std::string old_path_;
};

// Puts the directory of the built wget_https stand-in first in PATH.
void use_wget_https_stand_in();

// Directory of the built wget_https stand-in.
std::string wget_https_stand_in_dir();

// Base64, as the server's request log and script use it.
std::string base64_decode(const std::string& text);
std::string base64_encode(const std::string& bytes);

}  // namespace vt_test
