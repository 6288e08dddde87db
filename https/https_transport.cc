#include "https/https_transport.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace {

// What system() reports when the shell cannot find the command.
constexpr int kNotStarted = 127 << 8;

bool present(const char* s) { return s != nullptr && s[0] != '\0'; }

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

  pid_t pid;
  if (posix_spawnp(&pid, "wget_https", nullptr, nullptr, argv.data(), environ) != 0) {
    return kNotStarted;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return kNotStarted;
  }
  return status;
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
