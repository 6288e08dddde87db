// The management-server simulator (tools/vtsim) as a child process, stopped by
// its pid: it prints one event per line ("name key=value ...", values
// percent-encoded) and reads commands on its standard input. Every event is
// kept; callers wait for one with a bounded timeout.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace vt_test {

struct SimEvent {
  std::string name;
  std::map<std::string, std::string> fields;
  std::string operator[](const std::string& key) const { return fields.count(key) ? fields.at(key) : ""; }
  bool has(const std::string& key) const { return fields.count(key) != 0; }
};
using EventMatch = std::function<bool(const SimEvent&)>;

// Events named `name` whose fields include every given key=value.
inline EventMatch event_is(const std::string& name, std::map<std::string, std::string> fields = {}) {
  return [name, fields](const SimEvent& e) {
    return e.name == name && std::all_of(fields.begin(), fields.end(), [&](const auto& f) { return e[f.first] == f.second; });
  };
}

class VtsimProcess {
 public:
  VtsimProcess(const std::string& serial, const std::string& key, const std::string& workdir) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::string args[] = {"/usr/bin/python3", VTSIM_SCRIPT, "--serial", serial, "--key", key, "--workdir", workdir};
    char* argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data(), args[4].data(),
                    args[5].data(), args[6].data(), args[7].data(), nullptr};
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    to_child_ = in[1];
    reader_ = std::thread(&VtsimProcess::read_loop, this, out[0]);
    SimEvent ready = wait_for(event_is("ready"));
    ca_file = ready["ca"];
    https_port = std::atoi(ready["https"].substr(ready["https"].rfind(':') + 1).c_str());
  }
  ~VtsimProcess() {
    if (pid_ > 0) kill(pid_, SIGTERM), waitpid(pid_, nullptr, 0);
    close(to_child_);
    if (reader_.joinable()) reader_.join();  // its pipe closed with the child
  }

  // Sends one command line; returns its "ok" answer, or an "error" or "timeout" event.
  SimEvent command(const std::string& line, std::chrono::seconds timeout = std::chrono::seconds(20)) {
    auto is_answer = [](const SimEvent& e) { return e.name == "ok" || e.name == "error"; };
    const size_t answers = count(is_answer);
    const std::string text = line + "\n";
    if (write(to_child_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return {"error", {}};
    return wait_for(is_answer, answers + 1, timeout);
  }
  // The count-th matching event (counting from the start), or "timeout".
  SimEvent wait_for(const EventMatch& match, size_t count = 1, std::chrono::seconds timeout = std::chrono::seconds(20)) {
    std::unique_lock<std::mutex> lock(mutex_);
    SimEvent found{"timeout", {}};
    changed_.wait_for(lock, timeout, [&] {
      size_t seen = 0;
      for (const auto& e : events_)
        if (match(e) && ++seen == count) return found = e, true;
      return closed_;
    });
    return found;
  }
  size_t count(const EventMatch& match) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::count_if(events_.begin(), events_.end(), match);
  }

  int https_port = 0;  // 0: the simulator did not start
  std::string ca_file;

 private:
  void read_loop(int from_child) {
    FILE* in = fdopen(from_child, "r");
    char* line = nullptr;
    size_t capacity = 0;
    for (ssize_t n; (n = getline(&line, &capacity, in)) > 0;) {
      SimEvent event;
      std::istringstream words(std::string(line, static_cast<size_t>(n)));
      words >> event.name;
      for (std::string token; words >> token;) {
        size_t eq = token.find('=');
        std::string value;
        for (size_t i = eq + 1; eq != std::string::npos && i < token.size(); ++i) {
          if (token[i] != '%' || i + 2 >= token.size()) value += token[i];
          else value += static_cast<char>(std::stoi(token.substr(i + 1, 2), nullptr, 16)), i += 2;
        }
        if (eq != std::string::npos) event.fields[token.substr(0, eq)] = value;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(std::move(event));
      changed_.notify_all();
    }
    free(line);
    fclose(in);
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    changed_.notify_all();
  }

  pid_t pid_ = -1;
  int to_child_ = -1;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<SimEvent> events_;
  bool closed_ = false;
};

}  // namespace vt_test
