#include "https/https_transport.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace {

// What system() reports when the shell cannot find the command.
constexpr int kNotStarted = 127 << 8;

bool present(const char* s) { return s != nullptr && s[0] != '\0'; }

// The tool promises to give up after its -T seconds. One that is still
// running this much later has hung: it is killed, so that the thread waiting
// for it (the channel's re-establishment, a worker, the supervision loop)
// goes on and reports a failed exchange.
constexpr long kGraceSeconds = 5;
constexpr long kDefaultLimitSeconds = 30;

long time_limit(const std::vector<std::string>& args) {
  for (const std::string& a : args) {
    if (a.size() > 2 && a.compare(0, 2, "-T") == 0) {
      long t = strtol(a.c_str() + 2, nullptr, 10);
      if (t > 0) return t;
    }
  }
  return kDefaultLimitSeconds;
}

long elapsed_seconds(const timespec& since) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec - since.tv_sec;
}

// Waits for the tool, polling with naps that grow to a tenth of a second;
// kills it once it has run past limit + grace. Returns its wait status.
int wait_for_tool(pid_t pid, long limit) {
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  long nap_ms = 5;
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0 && errno != EINTR) return kNotStarted;
    if (elapsed_seconds(start) >= limit + kGraceSeconds) {
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return kNotStarted;
      }
      return status;  // killed by a signal: non-zero, a failed exchange
    }
    timespec nap = {0, nap_ms * 1000000};
    nanosleep(&nap, nullptr);
    if (nap_ms < 100) nap_ms *= 2;
  }
}

}  // namespace

int https_run_fetch_tool(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  try {
    argv.reserve(args.size() + 2);
  } catch (...) {
    return kNotStarted;
  }
  argv.push_back(const_cast<char*>("wget_https"));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  // The tool starts with no signal blocked and with default dispositions for
  // the signals the agent itself handles or ignores, as a shell would give it.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, reset;
  sigemptyset(&none);
  sigemptyset(&reset);
  for (int sig : {SIGPIPE, SIGUSR1, SIGUSR2, SIGCHLD, SIGINT, SIGQUIT, SIGTERM, SIGHUP}) {
    sigaddset(&reset, sig);
  }
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &reset);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid;
  int spawned = posix_spawnp(&pid, "wget_https", nullptr, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  if (spawned != 0) return kNotStarted;
  return wait_for_tool(pid, time_limit(args));
}

int vantor_https_submit(const https_request* request, const char* body_path, const char* interface,
                        const char* header_path, const char* output_path) {
  if (request == nullptr || body_path == nullptr || output_path == nullptr) return 1;
  // The same words, in the same order, as the device's command line
  // "wget_https -q -T30 -f<body> -O<output> "<url>" -i<if> -e<header>".
  std::vector<std::string> args;
  try {
    args = {"-q", "-T30", std::string("-f") + body_path, std::string("-O") + output_path,
            std::string(request->url, strnlen(request->url, sizeof(request->url)))};
    if (present(interface)) args.push_back(std::string("-i") + interface);
    if (present(header_path)) args.push_back(std::string("-e") + header_path);
  } catch (...) {
    return 1;  // no memory for the command
  }
  return https_run_fetch_tool(args);
}
