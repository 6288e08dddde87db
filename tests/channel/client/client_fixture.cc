#include "tests/channel/client/client_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "platform/clock.h"

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
      const bool escape = token[i] == '%' && i + 2 < token.size();
      value.push_back(escape ? static_cast<char>(std::stoi(token.substr(i + 1, 2), nullptr, 16)) : token[i]);
      if (escape) i += 2;
    }
    event.fields[token.substr(0, eq)] = value;
  }
  return event;
}

std::atomic<time_t> now_value{kStart};
std::mutex capture_mutex;
std::vector<std::string> log_lines;
std::vector<std::string> calls;

time_t fake_clock() { return now_value.load(); }

// The answer is read before the call is visible, so a test that changes the
// answer after seeing the call cannot change this call's answer.
int record(const std::string& call) {
  int result = handler_result;
  std::lock_guard<std::mutex> lock(capture_mutex);
  calls.push_back(call);
  return result;
}

int on_invitation(void*, uint32_t mask) { return record("invite " + std::to_string(mask)); }
int on_notice(void*, int16_t a, int8_t b) {
  if (a == 0 && b == 0) return 0;  // the tests' marker: always accepted, never recorded
  return record("notice " + std::to_string(a) + " " + std::to_string(b));
}
int on_reboot(void*) { return record("reboot"); }
int on_dump(void*) { return record("dump"); }
int on_action(void*, uint32_t id, int count, vantor_udp_client_action_entry* entries) {
  std::string call = "action " + std::to_string(id) + " " + std::to_string(count);
  for (int i = 0; i < count; ++i) call += " [" + std::to_string(entries[i].length) + ":" + entries[i].text + "]";
  return record(call);
}

}  // namespace

EventMatch event_is(const std::string& name, std::map<std::string, std::string> fields) {
  return [name, fields](const SimEvent& e) {
    return e.name == name && std::all_of(fields.begin(), fields.end(), [&](const auto& f) { return e[f.first] == f.second; });
  };
}

VtsimProcess::VtsimProcess(const std::string& serial, const std::string& key, const std::string& workdir) {
  int in_pipe[2], out_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  std::vector<std::string> args = {"/usr/bin/python3", VTSIM_SCRIPT, "--serial", serial, "--key", key, "--workdir", workdir};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(in_pipe[0]);
  close(out_pipe[1]);
  to_child_ = in_pipe[1];
  reader_ = std::thread(&VtsimProcess::read_loop, this, out_pipe[0]);
  SimEvent ready = wait_for(event_is("ready"));
  ca_file_ = ready["ca"];
  https_port_ = std::atoi(ready["https"].substr(ready["https"].rfind(':') + 1).c_str());
}

VtsimProcess::~VtsimProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  close(to_child_);
  if (reader_.joinable()) reader_.join();  // its pipe closed with the child
}

void VtsimProcess::read_loop(int from_child) {
  FILE* in = fdopen(from_child, "r");
  char* line = nullptr;
  size_t capacity = 0;
  for (ssize_t n; (n = getline(&line, &capacity, in)) > 0;) {
    SimEvent event = parse_line(std::string(line, static_cast<size_t>(n)));
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(event));
    changed_.notify_all();
  }
  free(line);
  fclose(in);
  std::lock_guard<std::mutex> lock(mutex_);
  output_closed_ = true;
  changed_.notify_all();
}

SimEvent VtsimProcess::command(const std::string& line, std::chrono::seconds timeout) {
  auto is_answer = [](const SimEvent& e) { return e.name == "ok" || e.name == "error"; };
  const size_t answers = count(is_answer);
  const std::string text = line + "\n";
  if (write(to_child_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return {"error", {}};
  return wait_for(is_answer, answers + 1, timeout);  // or "timeout"
}

SimEvent VtsimProcess::wait_for(const EventMatch& match, size_t count, std::chrono::seconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  SimEvent found{"timeout", {}};
  changed_.wait_for(lock, timeout, [&] {
    size_t seen = 0;
    for (const auto& e : events_)
      if (match(e) && ++seen == count) {
        found = e;
        return true;
      }
    return output_closed_;
  });
  return found;
}

size_t VtsimProcess::count(const EventMatch& match) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::count_if(events_.begin(), events_.end(), match);
}


std::atomic<int> handler_result{0};

time_t test_now() { return now_value.load(); }
void set_test_now(time_t now) { now_value.store(now); }

int capture_log(int level, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::lock_guard<std::mutex> lock(capture_mutex);
  log_lines.push_back(std::to_string(level) + " " + text);
  return n;
}

size_t count_log(const std::string& text) {
  std::lock_guard<std::mutex> lock(capture_mutex);
  return std::count_if(log_lines.begin(), log_lines.end(),
                       [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

std::vector<std::string> handler_calls() {
  std::lock_guard<std::mutex> lock(capture_mutex);
  return calls;
}

EventMatch reply_to_seq(const std::string& seq) {
  return [seq](const SimEvent& e) { return e.name == "recv" && e["seq"] == seq && e.has("result"); };
}

void ClientTest::SetUp() {
  __vantor_udp_client_set_tick_ms(kTickMs);
  set_test_now(kStart);
  vt_set_clock(fake_clock);
  {
    std::lock_guard<std::mutex> lock(capture_mutex);
    log_lines.clear();
    calls.clear();
  }
  handler_result = 0;
  sim = std::make_unique<VtsimProcess>(kSerial, kKey, sandbox.path("/vtsim"));
  ASSERT_NE(sim->https_port(), 0) << "the simulator did not start";
  const char* path = std::getenv("PATH");
  old_path_ = path ? path : "";
  setenv("PATH", (std::string(WGET_HTTPS_DIR) + ":" + old_path_).c_str(), 1);
  setenv("WGET_HTTPS_CA_FILE", sim->ca_file().c_str(), 1);
}

void ClientTest::TearDown() {
  destroy_vantor_udp_client(client);
  sim.reset();
  vt_set_clock(nullptr);
  __vantor_udp_client_set_tick_ms(1000);
  if (!old_path_.empty()) setenv("PATH", old_path_.c_str(), 1);
  unsetenv("WGET_HTTPS_CA_FILE");
}

void ClientTest::start_client(bool run) {
  std::string host = "127.0.0.1:" + std::to_string(sim->https_port());
  client = create_vantor_udp_client(kSerial, "VX200-LONGER", "EU", "2.1.0", 30, host.c_str(), "udps/register",
                                    capture_log, 10, nullptr);
  ASSERT_NE(client, nullptr);
  if (!run) return;
  vantor_udp_client_run(client);
  auto set = [&](int id, auto fn) {
    vantor_udp_client_set_handler(client, id, reinterpret_cast<vantor_udp_client_handler>(fn));
  };
  set(1, on_invitation);
  set(2, on_notice);
  set(6, on_reboot);
  set(7, on_action);
  set(8, on_dump);
}

bool ClientTest::step_until(const std::function<bool()>& condition, int max_steps) {
  for (int step = 0; step < max_steps; ++step) {
    if (wait_until(condition, std::chrono::milliseconds(15 * kTickMs))) return true;
    advance(1);
  }
  return wait_until(condition, std::chrono::seconds(20));
}

SimEvent ClientTest::device_sent(const std::string& what, size_t n) {
  auto match = event_is("recv", {{"what", what}});
  step_until([&] { return sim->count(match) >= n; });
  return sim->wait_for(match, n);
}

vantor_udp_client_statistics ClientTest::statistics() {
  std::lock_guard<std::mutex> lock(client->statistics_mutex);
  return client->statistics;
}

void LiveClientTest::SetUp() {
  ClientTest::SetUp();
  if (HasFatalFailure()) return;
  start_client();
  device_sent("keepalive");
  ASSERT_TRUE(wait_until([&] { return statistics().local_recv == 1; }));
}

SimEvent LiveClientTest::reply_to(const std::string& command) {
  SimEvent sent = sim->command(command);
  EXPECT_EQ(sent.name, "ok") << command << ": " << sent["reason"];
  SimEvent marker = sim->command("notice 0 0");
  EXPECT_EQ(sim->wait_for(reply_to_seq(marker["seq"])).name, "recv") << "the marker was not answered";
  return sim->count(reply_to_seq(sent["seq"])) ? sim->wait_for(reply_to_seq(sent["seq"])) : SimEvent{"none", {}};
}

}  // namespace vt_test
