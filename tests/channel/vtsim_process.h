// The management-server simulator (tools/vtsim) as a child process, stopped by
// its pid: it prints one event per line ("name key=value ...") and reads
// commands on its standard input. Every event is kept; callers wait for one
// with a bounded timeout. Values are kept as printed (percent-encoded): those
// compared are plain numbers, hex and words.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace vt_test {

struct SimEvent {
  std::string name;
  std::map<std::string, std::string> fields;
  std::string operator[](const std::string& key) const { return fields.count(key) ? fields.at(key) : ""; }
};
using EventMatch = std::function<bool(const SimEvent&)>;

// Events named `name` whose fields include every given key=value.
inline EventMatch event_is(const std::string& name, std::map<std::string, std::string> fields = {}) {
  return [name, fields](const SimEvent& e) {
    return e.name == name && std::all_of(fields.begin(), fields.end(), [&](const auto& f) { return e[f.first] == f.second; });
  };
}

// Used from one thread: events are read while a caller waits or counts.
class VtsimProcess {
 public:
  VtsimProcess(const std::string& serial, const std::string& key, const std::string& workdir) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    if ((pid_ = fork()) == 0) {
      dup2(in[0], 0), dup2(out[1], 1);
      execl("/usr/bin/python3", "python3", VTSIM_SCRIPT, "--serial", serial.c_str(), "--key", key.c_str(), "--workdir",
            workdir.c_str(), nullptr);
      _exit(127);
    }
    close(in[0]), close(out[1]);
    to_child_ = in[1], from_child_ = out[0];
    SimEvent ready = wait_for(event_is("ready"));
    ca_file = ready["ca"];
    https_port = std::atoi(ready["https"].substr(ready["https"].rfind(':') + 1).c_str());
  }
  ~VtsimProcess() {
    if (pid_ > 0) kill(pid_, SIGTERM), waitpid(pid_, nullptr, 0);
    close(to_child_), close(from_child_);
  }

  // Sends one command line; returns its "ok" answer, or an "error" or "timeout" event.
  SimEvent command(const std::string& line) {
    auto is_answer = [](const SimEvent& e) { return e.name == "ok" || e.name == "error"; };
    const size_t answers = count(is_answer);
    const std::string text = line + "\n";
    if (write(to_child_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return {"error", {}};
    return wait_for(is_answer, answers + 1);
  }
  // The count-th matching event (counting from the start), or "timeout".
  SimEvent wait_for(const EventMatch& match, size_t count = 1) {
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);;) {
      size_t seen = 0;
      for (const auto& e : events_)
        if (match(e) && ++seen == count) return e;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !read_events(static_cast<int>(left.count()))) return {"timeout", {}};
    }
  }
  size_t count(const EventMatch& match) {
    while (read_events(0)) {
    }
    return std::count_if(events_.begin(), events_.end(), match);
  }

  int https_port = 0;  // 0: the simulator did not start
  std::string ca_file;

 private:
  // Reads what the simulator printed within ms milliseconds; false when nothing came.
  bool read_events(int ms) {
    pollfd p{from_child_, POLLIN, 0};
    char buffer[4096];
    ssize_t n = poll(&p, 1, ms) > 0 ? read(from_child_, buffer, sizeof buffer) : 0;
    pending_.append(buffer, n > 0 ? static_cast<size_t>(n) : 0);
    for (size_t end; (end = pending_.find('\n')) != std::string::npos; pending_.erase(0, end + 1)) {
      std::istringstream words(pending_.substr(0, end));
      SimEvent& event = events_.emplace_back();
      words >> event.name;
      for (std::string token; words >> token;)
        if (token.find('=') != std::string::npos) event.fields[token.substr(0, token.find('='))] = token.substr(token.find('=') + 1);
    }
    return n > 0;
  }

  pid_t pid_ = -1;
  int to_child_ = -1, from_child_ = -1;
  std::vector<SimEvent> events_;
  std::string pending_;
};

}  // namespace vt_test
