// A channel client talking to the simulator (tools/vtsim) over loopback,
// through the public interface only, with a clock the test steps by hand and
// a short tick, so that minutes of channel time pass in moments. Log lines
// and handler calls are captured.
//
// The simulator runs as a child process (stopped by its pid): it prints one
// event per line ("name key=value ...", values percent-encoded) and reads
// commands on its standard input. Every event is kept; tests wait for one
// with a bounded timeout.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "channel/vantor_udp_client.h"
#include "platform/clock.h"
#include "tests/support/sandbox.h"

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
// The device's replies to the server's message with this seq.
inline EventMatch reply_to_seq(const std::string& seq) {
  return [seq](const SimEvent& e) { return e.name == "recv" && e["seq"] == seq && e.has("result"); };
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
    ca_file_ = ready["ca"];
    https_port_ = std::atoi(ready["https"].substr(ready["https"].rfind(':') + 1).c_str());
  }
  ~VtsimProcess() {
    if (pid_ > 0) kill(pid_, SIGTERM), waitpid(pid_, nullptr, 0);
    close(to_child_);
    if (reader_.joinable()) reader_.join();  // its pipe closed with the child
  }
  int https_port() const { return https_port_; }  // 0: the simulator did not start
  const std::string& ca_file() const { return ca_file_; }

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
      return output_closed_;
    });
    return found;
  }
  size_t count(const EventMatch& match) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::count_if(events_.begin(), events_.end(), match);
  }

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
        if (eq == std::string::npos) continue;
        std::string value;
        for (size_t i = eq + 1; i < token.size(); ++i) {
          if (token[i] != '%' || i + 2 >= token.size()) value += token[i];
          else value += static_cast<char>(std::stoi(token.substr(i + 1, 2), nullptr, 16)), i += 2;
        }
        event.fields[token.substr(0, eq)] = value;
      }
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

  pid_t pid_ = -1;
  int to_child_ = -1, https_port_ = 0;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<SimEvent> events_;
  bool output_closed_ = false;
  std::string ca_file_;
};

constexpr const char* kSerial = "00AABBCC0011";
constexpr const char* kKey = "0123456789abcdef";
constexpr time_t kStart = 1800000000;
constexpr int kTickMs = 40;

inline std::atomic<time_t> now_value{kStart};
inline time_t test_now() { return now_value.load(); }
inline void set_test_now(time_t now) { now_value.store(now); }

// Log lines as "<level> <text>", and the calls of the handlers that
// start_client registers; these answer handler_result.
inline std::mutex capture_mutex;
inline std::vector<std::string> log_lines, calls;
inline std::atomic<int> handler_result{0};

inline int capture_log(int level, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::lock_guard<std::mutex> lock(capture_mutex);
  log_lines.push_back(std::to_string(level) + " " + text);
  return n;
}
inline size_t count_log(const std::string& text) {  // lines containing text
  std::lock_guard<std::mutex> lock(capture_mutex);
  return std::count_if(log_lines.begin(), log_lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
}
inline std::vector<std::string> handler_calls() {
  std::lock_guard<std::mutex> lock(capture_mutex);
  return calls;
}
// The answer is read before the call is visible, so a test that changes the
// answer after seeing the call cannot change this call's answer.
inline int record(const std::string& call) {
  int result = handler_result;
  std::lock_guard<std::mutex> lock(capture_mutex);
  calls.push_back(call);
  return result;
}
inline int on_invitation(void*, uint32_t mask) { return record("invite " + std::to_string(mask)); }
inline int on_notice(void*, int16_t a, int8_t b) {  // "notice 0 0" is the tests' marker: accepted, not recorded
  return a == 0 && b == 0 ? 0 : record("notice " + std::to_string(a) + " " + std::to_string(b));
}
inline int on_reboot(void*) { return record("reboot"); }
inline int on_dump(void*) { return record("dump"); }
inline int on_action(void*, uint32_t id, int count, vantor_udp_client_action_entry* entries) {
  std::string call = "action " + std::to_string(id) + " " + std::to_string(count);
  for (int i = 0; i < count; ++i) call += " [" + std::to_string(entries[i].length) + ":" + entries[i].text + "]";
  return record(call);
}

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    __vantor_udp_client_set_tick_ms(kTickMs);
    set_test_now(kStart);
    vt_set_clock(test_now);
    log_lines.clear();
    calls.clear();
    handler_result = 0;
    sim = std::make_unique<VtsimProcess>(kSerial, kKey, sandbox.path("/vtsim"));
    ASSERT_NE(sim->https_port(), 0) << "the simulator did not start";
    old_path_ = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", (std::string(WGET_HTTPS_DIR) + ":" + old_path_).c_str(), 1);
    setenv("WGET_HTTPS_CA_FILE", sim->ca_file().c_str(), 1);
  }
  void TearDown() override {
    destroy_vantor_udp_client(client);
    sim.reset();
    vt_set_clock(nullptr);
    __vantor_udp_client_set_tick_ms(0);
    setenv("PATH", old_path_.c_str(), 1);
    unsetenv("WGET_HTTPS_CA_FILE");
  }

  // Creates the client against the simulator (and runs it, with the handlers).
  void start_client(bool run = true) {
    std::string host = "127.0.0.1:" + std::to_string(sim->https_port());
    client = create_vantor_udp_client(kSerial, "VX200-LONGER", "EU", "2.1.0", 30, host.c_str(), "udps/register",
                                      capture_log, 10, nullptr);
    ASSERT_NE(client, nullptr);
    if (!run) return;
    vantor_udp_client_run(client);
    auto set = [&](int id, auto fn) { vantor_udp_client_set_handler(client, id, reinterpret_cast<vantor_udp_client_handler>(fn)); };
    set(1, on_invitation), set(2, on_notice), set(6, on_reboot), set(7, on_action), set(8, on_dump);
  }
  void advance(int seconds) { set_test_now(test_now() + seconds); }
  // The send thread walks its agenda at most once per clock second, so work
  // queued within a second already walked waits for the next one. Waits for
  // the condition, stepping the clock one second at a time while it does not
  // hold (at most max_steps times); the last wait is long, for loaded machines.
  bool step_until(const std::function<bool()>& condition, int max_steps = 3) {
    for (int step = 0; step < max_steps; ++step, advance(1))
      if (wait_until(condition, std::chrono::milliseconds(15 * kTickMs))) return true;
    return wait_until(condition, std::chrono::seconds(20));
  }
  // The n-th packet of kind `what` from the device (stepping as above).
  SimEvent device_sent(const std::string& what, size_t n = 1) {
    auto match = event_is("recv", {{"what", what}});
    step_until([&] { return sim->count(match) >= n; });
    return sim->wait_for(match, n);
  }
  size_t https_registrations() const { return sim->count(event_is("https", {{"path", "/udps/register"}})); }
  vantor_udp_client_statistics statistics() {
    vantor_udp_client_status s{};
    vantor_udp_client_get_status(client, &s);
    return s.statistics;
  }

  Sandbox sandbox;
  std::unique_ptr<VtsimProcess> sim;
  vantor_udp_client* client = nullptr;
  std::string old_path_;
};

// A started client whose first keepalive has been answered: the channel is
// live and the simulator knows the device's address.
class LiveClientTest : public ClientTest {
 protected:
  void SetUp() override {
    ClientTest::SetUp();
    if (HasFatalFailure()) return;
    start_client();
    device_sent("keepalive");
    ASSERT_TRUE(wait_until([&] { return statistics().local_recv == 1; }));
  }
  // Sends a request and returns the device's reply, or "none" when the device
  // answered a later, always-accepted marker first (requests are handled in order).
  SimEvent reply_to(const std::string& command) {
    SimEvent sent = sim->command(command);
    EXPECT_EQ(sent.name, "ok") << command << ": " << sent["reason"];
    SimEvent marker = sim->command("notice 0 0");
    EXPECT_EQ(sim->wait_for(reply_to_seq(marker["seq"])).name, "recv") << "the marker was not answered";
    return sim->count(reply_to_seq(sent["seq"])) ? sim->wait_for(reply_to_seq(sent["seq"])) : SimEvent{"none", {}};
  }
};

}  // namespace vt_test
