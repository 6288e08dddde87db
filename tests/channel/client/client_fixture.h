// A channel client talking to the simulator over loopback, with a clock the
// test steps by hand and a short tick, so that minutes of channel time pass
// in moments. Log lines and handler calls are captured for the assertions.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
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

// The test clock.
time_t test_now();
void set_test_now(time_t now);

// Everything the client logged, as "<level> <text>".
int capture_log(int level, const char* format, ...);
std::vector<std::string> captured_log();
size_t count_log(const std::string& text);  // lines containing text
void clear_log();

// Handlers that record their calls and answer `handler_result`.
extern std::atomic<int> handler_result;
std::vector<std::string> handler_calls();
void register_recording_handlers(vantor_udp_client* client);

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Creates the client against the simulator (and runs it).
  void start_client(bool run = true);
  std::string registration_host() const;
  void advance(int seconds) { set_test_now(test_now() + seconds); }

  // Waits for the n-th packet of kind `what` from the device.
  SimEvent device_sent(const std::string& what, size_t n = 1);
  size_t https_registrations() const;
  vantor_udp_client_statistics statistics();

  Sandbox sandbox;
  std::unique_ptr<VtsimProcess> sim;
  vantor_udp_client* client = nullptr;

 private:
  std::string old_path_;
};

}  // namespace vt_test
