// A channel client talking to the simulator (tools/vtsim) over loopback, with
// a clock the test steps by hand and a short tick, so that minutes of channel
// time pass in moments. Log lines and handler calls are captured.
//
// The simulator runs as a child process: it prints one event per line ("name
// key=value ...", values percent-encoded) and reads commands on its standard
// input. Every event is kept; tests wait for one with a bounded timeout. The
// child is stopped by its pid.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "channel/client.h"
#include "tests/support/sandbox.h"

namespace vt_test {

struct SimEvent {
  std::string name;
  std::map<std::string, std::string> fields;

  std::string operator[](const std::string& key) const {
    auto it = fields.find(key);
    return it == fields.end() ? "" : it->second;
  }
  bool has(const std::string& key) const { return fields.count(key) != 0; }
};

using EventMatch = std::function<bool(const SimEvent&)>;

// Events named `name` whose fields include every given key=value.
EventMatch event_is(const std::string& name, std::map<std::string, std::string> fields = {});

class VtsimProcess {
 public:
  VtsimProcess(const std::string& serial, const std::string& key, const std::string& workdir);
  ~VtsimProcess();

  int https_port() const { return https_port_; }  // 0: the simulator did not start
  const std::string& ca_file() const { return ca_file_; }

  // Sends one command line; returns its "ok" answer, or an "error" or "timeout" event.
  SimEvent command(const std::string& line, std::chrono::seconds timeout = std::chrono::seconds(20));
  // The count-th matching event (counting from the start), or "timeout".
  SimEvent wait_for(const EventMatch& match, size_t count = 1,
                    std::chrono::seconds timeout = std::chrono::seconds(20));
  size_t count(const EventMatch& match) const;

 private:
  void read_loop(int from_child);

  pid_t pid_ = -1;
  int to_child_ = -1;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<SimEvent> events_;
  bool output_closed_ = false;
  int https_port_ = 0;
  std::string ca_file_;
};

constexpr const char* kSerial = "00AABBCC0011";
constexpr const char* kKey = "0123456789abcdef";
constexpr time_t kStart = 1800000000;
constexpr int kTickMs = 40;

time_t test_now();
void set_test_now(time_t now);

int capture_log(int level, const char* format, ...);  // keeps every line as "<level> <text>"
size_t count_log(const std::string& text);            // lines containing text

// The handlers that start_client registers record their calls and answer this.
extern std::atomic<int> handler_result;
std::vector<std::string> handler_calls();

// The device's replies to the server's message with this seq.
EventMatch reply_to_seq(const std::string& seq);

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Creates the client against the simulator (and runs it, with the handlers).
  void start_client(bool run = true);
  void advance(int seconds) { set_test_now(test_now() + seconds); }

  // The send thread walks its agenda at most once per clock second, so work
  // queued within a second already walked waits for the next one. Waits for
  // the condition, stepping the clock one second at a time while it does not
  // hold (at most max_steps times); the last wait is long, for loaded machines.
  bool step_until(const std::function<bool()>& condition, int max_steps = 3);
  // The n-th packet of kind `what` from the device (stepping as above).
  SimEvent device_sent(const std::string& what, size_t n = 1);
  size_t https_registrations() const { return sim->count(event_is("https", {{"path", "/udps/register"}})); }
  vantor_udp_client_statistics statistics();

  Sandbox sandbox;
  std::unique_ptr<VtsimProcess> sim;
  vantor_udp_client* client = nullptr;

 private:
  std::string old_path_;
};

// A started client whose first keepalive has been answered: the channel is
// live and the simulator knows the device's address.
class LiveClientTest : public ClientTest {
 protected:
  void SetUp() override;
  // Sends a request and returns the device's reply, or "none" when the device
  // answered a later, always-accepted marker first (requests are handled in order).
  SimEvent reply_to(const std::string& command);
};

}  // namespace vt_test
