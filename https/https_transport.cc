#include "https/https_transport.h"

#include <signal.h>

#include <cstdlib>
#include <cstring>

#include "platform/child_process.h"

namespace {

// What system() reports when the shell cannot find the command.
constexpr int kNotStarted = 127 << 8;

bool present(const char* s) { return s != nullptr && s[0] != '\0'; }

// The tool promises to give up after its -T seconds. One that is still
// running this much later has hung: it is ended, so that the thread waiting
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

}  // namespace

int https_run_fetch_tool(const std::vector<std::string>& args) {
  std::vector<std::string> argv;
  try {
    argv.reserve(args.size() + 1);
    argv.emplace_back("wget_https");
    argv.insert(argv.end(), args.begin(), args.end());
  } catch (...) {
    return kNotStarted;
  }
  // The tool runs in a group of its own and is ended when it hangs or the
  // agent stops; a run it did not finish is a failed exchange, whatever its
  // exit status.
  child_result r = run_program(argv, child_deadline_in(time_limit(args) + kGraceSeconds));
  switch (r.end) {
    case child_end::exited:
      return r.status;
    case child_end::not_started:
      return kNotStarted;
    default:
      return SIGKILL;  // the wait status of a run that was killed
  }
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
