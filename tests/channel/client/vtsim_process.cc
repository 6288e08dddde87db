#include "tests/channel/client/vtsim_process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

extern char** environ;

namespace vt_test {

namespace {

std::string percent_decode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

SimEvent parse_line(const std::string& line) {
  SimEvent event;
  std::istringstream in(line);
  in >> event.name;
  std::string token;
  while (in >> token) {
    auto eq = token.find('=');
    if (eq == std::string::npos) continue;
    event.fields[token.substr(0, eq)] = percent_decode(token.substr(eq + 1));
  }
  return event;
}

int port_of(const std::string& address) {
  auto colon = address.rfind(':');
  return colon == std::string::npos ? 0 : std::atoi(address.c_str() + colon + 1);
}

}  // namespace

const std::string& SimEvent::operator[](const std::string& key) const {
  static const std::string empty;
  auto it = fields.find(key);
  return it == fields.end() ? empty : it->second;
}

unsigned long long SimEvent::number(const std::string& key) const {
  auto it = fields.find(key);
  return it == fields.end() ? 0 : std::strtoull(it->second.c_str(), nullptr, 0);
}

EventMatch event_is(const std::string& name, std::map<std::string, std::string> fields) {
  return [name, fields](const SimEvent& e) {
    if (e.name != name) return false;
    for (const auto& [key, value] : fields)
      if (e[key] != value) return false;
    return true;
  };
}

VtsimProcess::VtsimProcess(const std::string& serial, const std::string& key,
                           const std::string& workdir) {
  int in_pipe[2], out_pipe[2];
  if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_addclose(&actions, in_pipe[1]);
  posix_spawn_file_actions_addclose(&actions, out_pipe[0]);
  std::string script = VTSIM_SCRIPT;
  std::vector<std::string> args = {"/usr/bin/python3", script,    "--serial",  serial,
                                   "--key",            key,       "--workdir", workdir};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in_pipe[0]);
  close(out_pipe[1]);
  to_child_ = in_pipe[1];
  from_child_ = out_pipe[0];
  if (spawned != 0) {
    pid_ = -1;
    return;
  }
  reader_ = std::thread(&VtsimProcess::read_loop, this);
  SimEvent ready = wait_for(event_is("ready"));
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
  if (from_child_ >= 0) close(from_child_);
}

void VtsimProcess::read_loop() {
  std::string pending;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(from_child_, buffer, sizeof buffer);
    if (n <= 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      output_closed_ = true;
      changed_.notify_all();
      return;
    }
    pending.append(buffer, static_cast<size_t>(n));
    size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
      SimEvent event = parse_line(pending.substr(0, newline));
      pending.erase(0, newline + 1);
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(std::move(event));
      changed_.notify_all();
    }
  }
}

SimEvent VtsimProcess::command(const std::string& line, std::chrono::milliseconds timeout) {
  size_t answers;
  auto is_answer = [](const SimEvent& e) { return e.name == "ok" || e.name == "error"; };
  {
    std::lock_guard<std::mutex> lock(mutex_);
    answers = 0;
    for (const auto& e : events_) answers += is_answer(e);
  }
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
