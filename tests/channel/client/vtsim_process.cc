#include "tests/channel/client/vtsim_process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

extern char** environ;

namespace vt_test {

namespace {

SimEvent parse_line(const std::string& line) {
  SimEvent event;
  std::istringstream in(line);
  in >> event.name;
  for (std::string token; in >> token;) {
    auto eq = token.find('=');
    if (eq == std::string::npos) continue;
    std::string value;
    for (size_t i = eq + 1; i < token.size(); ++i) {
      if (token[i] == '%' && i + 2 < token.size()) {
        value.push_back(static_cast<char>(std::stoi(token.substr(i + 1, 2), nullptr, 16)));
        i += 2;
      } else {
        value.push_back(token[i]);
      }
    }
    event.fields[token.substr(0, eq)] = value;
  }
  return event;
}

}  // namespace

EventMatch event_is(const std::string& name, std::map<std::string, std::string> fields) {
  return [name, fields](const SimEvent& e) {
    if (e.name != name) return false;
    for (const auto& [key, value] : fields)
      if (e[key] != value) return false;
    return true;
  };
}

VtsimProcess::VtsimProcess(const std::string& serial, const std::string& key, const std::string& workdir) {
  int in_pipe[2], out_pipe[2];
  if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_addclose(&actions, in_pipe[1]);
  posix_spawn_file_actions_addclose(&actions, out_pipe[0]);
  std::vector<std::string> args = {"/usr/bin/python3", VTSIM_SCRIPT, "--serial", serial,
                                   "--key", key, "--workdir", workdir};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in_pipe[0]);
  close(out_pipe[1]);
  to_child_ = in_pipe[1];
  if (spawned != 0) {
    pid_ = -1;
    close(out_pipe[0]);
    return;
  }
  reader_ = std::thread(&VtsimProcess::read_loop, this, out_pipe[0]);
  SimEvent ready = wait_for(event_is("ready"));
  auto port_of = [](const std::string& address) { return std::atoi(address.substr(address.rfind(':') + 1).c_str()); };
  if (ready.name == "ready") {
    ca_file_ = ready["ca"];
    https_port_ = port_of(ready["https"]);
  }
}

VtsimProcess::~VtsimProcess() {
  if (to_child_ >= 0) close(to_child_);  // end of input ends the simulator
  if (pid_ > 0) {
    // Its output closes when it exits; a child that hangs is killed.
    std::unique_lock<std::mutex> lock(mutex_);
    bool ended = changed_.wait_for(lock, std::chrono::seconds(3), [&] { return output_closed_; });
    lock.unlock();
    if (!ended) kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (reader_.joinable()) reader_.join();
}

void VtsimProcess::read_loop(int from_child) {
  FILE* in = fdopen(from_child, "r");
  char* line = nullptr;
  size_t capacity = 0;
  for (ssize_t n; in != nullptr && (n = getline(&line, &capacity, in)) > 0;) {
    SimEvent event = parse_line(std::string(line, static_cast<size_t>(n)));
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(event));
    changed_.notify_all();
  }
  free(line);
  if (in != nullptr) fclose(in);
  std::lock_guard<std::mutex> lock(mutex_);
  output_closed_ = true;
  changed_.notify_all();
}

SimEvent VtsimProcess::command(const std::string& line, std::chrono::milliseconds timeout) {
  auto is_answer = [](const SimEvent& e) { return e.name == "ok" || e.name == "error"; };
  size_t answers = count(is_answer);
  std::string text = line + "\n";
  if (write(to_child_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return {"error", {}};
  SimEvent answer = wait_for(is_answer, answers + 1, timeout);
  return answer.name == "timeout" ? SimEvent{"error", {{"reason", "timeout"}}} : answer;
}

SimEvent VtsimProcess::wait_for(const EventMatch& match, size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  SimEvent found{"timeout", {}};
  changed_.wait_for(lock, timeout, [&] {
    size_t seen = 0;
    for (const auto& e : events_) {
      if (match(e) && ++seen == count) {
        found = e;
        return true;
      }
    }
    return false;
  });
  return found;
}

std::vector<SimEvent> VtsimProcess::events(const EventMatch& match) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<SimEvent> out;
  for (const auto& e : events_)
    if (match(e)) out.push_back(e);
  return out;
}

}  // namespace vt_test
