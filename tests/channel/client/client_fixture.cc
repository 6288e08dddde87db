#include "tests/channel/client/client_fixture.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/clock.h"

namespace vt_test {

namespace {

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
  for (int i = 0; i < count; ++i)
    call += " [" + std::to_string(entries[i].length) + ":" + entries[i].text + "]";
  return record(call);
}

}  // namespace

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
  size_t n = 0;
  for (const auto& line : log_lines) n += line.find(text) != std::string::npos;
  return n;
}

std::vector<std::string> handler_calls() {
  std::lock_guard<std::mutex> lock(capture_mutex);
  return calls;
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
  ASSERT_TRUE(sim->ready()) << "the simulator did not start";
  const char* path = std::getenv("PATH");
  old_path_ = path ? path : "";
  setenv("PATH", (std::string(WGET_HTTPS_DIR) + ":" + old_path_).c_str(), 1);
  setenv("WGET_HTTPS_CA_FILE", sim->ca_file().c_str(), 1);
}

void ClientTest::TearDown() {
  destroy_vantor_udp_client(client);
  client = nullptr;
  sim.reset();
  vt_set_clock(nullptr);
  __vantor_udp_client_set_tick_ms(1000);
  setenv("PATH", old_path_.c_str(), 1);
  unsetenv("WGET_HTTPS_CA_FILE");
}

void ClientTest::start_client(bool run) {
  std::string host = "127.0.0.1:" + std::to_string(sim->https_port());
  client = create_vantor_udp_client(kSerial, "VX200", "EU", "2.1.0", 30, host.c_str(), "udps/register",
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

SimEvent ClientTest::reply_to_seq(const std::string& seq) {
  return sim->wait_for([seq](const SimEvent& e) { return e.name == "recv" && e["seq"] == seq && e.has("result"); });
}

size_t ClientTest::replies_to_seq(const std::string& seq) const {
  return sim->count([seq](const SimEvent& e) { return e.name == "recv" && e["seq"] == seq && e.has("result"); });
}

size_t ClientTest::https_registrations() const {
  return sim->count(event_is("https", {{"path", "/udps/register"}}));
}

vantor_udp_client_statistics ClientTest::statistics() {
  std::lock_guard<std::mutex> lock(client->statistics_mutex);
  return client->statistics;
}

void LiveClientTest::SetUp() {
  ClientTest::SetUp();
  start_client();
  device_sent("keepalive");
  ASSERT_TRUE(wait_until([&] { return statistics().local_recv == 1; }));
}

SimEvent LiveClientTest::reply_to(const std::string& command) {
  SimEvent sent = sim->command(command);
  EXPECT_EQ(sent.name, "ok") << command << ": " << sent["reason"];
  SimEvent marker = sim->command("notice 0 0");
  EXPECT_EQ(reply_to_seq(marker["seq"]).name, "recv") << "the marker was not answered";
  for (const auto& r : sim->events(event_is("recv", {{"seq", sent["seq"]}})))
    if (r.has("result")) return r;
  return SimEvent{"none", {}};
}

}  // namespace vt_test
