// A channel client talking to the simulator over loopback, with a clock the
// test steps by hand and a short tick, so that minutes of channel time pass
// in moments. Log lines and handler calls are captured for the assertions.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "channel/client.h"
#include "tests/channel/client/vtsim_process.h"
#include "tests/support/sandbox.h"

namespace vt_test {

constexpr const char* kSerial = "00AABBCC0011";
constexpr const char* kKey = "0123456789abcdef";
constexpr time_t kStart = 1800000000;
constexpr int kTickMs = 40;

time_t test_now();
void set_test_now(time_t now);

// The client's logger: keeps every line as "<level> <text>".
int capture_log(int level, const char* format, ...);
size_t count_log(const std::string& text);  // lines containing text

// Handlers that record their calls and answer `handler_result`.
extern std::atomic<int> handler_result;
std::vector<std::string> handler_calls();

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Creates the client against the simulator (and runs it).
  void start_client(bool run = true);
  void advance(int seconds) { set_test_now(test_now() + seconds); }

  // The send thread walks its agenda at most once per clock second, so work
  // queued within a second already walked waits for the next one. Waits for
  // the condition, stepping the clock one second at a time while it does not
  // hold (at most max_steps times); the last wait is long, for loaded machines.
  bool step_until(const std::function<bool()>& condition, int max_steps = 3);

  // The n-th packet of kind `what` from the device (stepping as above).
  SimEvent device_sent(const std::string& what, size_t n = 1);
  // The device's reply to the request with this seq.
  SimEvent reply_to_seq(const std::string& seq);
  size_t replies_to_seq(const std::string& seq) const;
  size_t https_registrations() const;
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
  // Sends a request and returns the device's reply, or an event named "none"
  // when the device answered a later, always-accepted marker first (requests
  // are handled in order).
  SimEvent reply_to(const std::string& command);
};

}  // namespace vt_test
