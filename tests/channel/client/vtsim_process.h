// The management-server simulator (tools/vtsim) as a child process of a test.
//
// The simulator prints one event per line ("name key=value ..." with
// percent-encoded values) and reads commands on its standard input. This
// class keeps every event, lets a test wait for one with a bounded timeout,
// and stops the child by its pid when it goes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vt_test {

struct SimEvent {
  std::string name;
  std::map<std::string, std::string> fields;

  const std::string& operator[](const std::string& key) const;
  bool has(const std::string& key) const { return fields.count(key) != 0; }
  // The field as a number (decimal or 0x hex); 0 when absent.
  unsigned long long number(const std::string& key) const;
};

using EventMatch = std::function<bool(const SimEvent&)>;

// Matches events named `name` whose fields include every given key=value.
EventMatch event_is(const std::string& name, std::map<std::string, std::string> fields = {});

class VtsimProcess {
 public:
  // Starts the simulator for the device `serial` with session key `key`.
  VtsimProcess(const std::string& serial, const std::string& key, const std::string& workdir);
  ~VtsimProcess();
  VtsimProcess(const VtsimProcess&) = delete;
  VtsimProcess& operator=(const VtsimProcess&) = delete;

  bool ready() const { return https_port_ != 0; }
  int https_port() const { return https_port_; }
  int udp_port() const { return udp_port_; }
  const std::string& ca_file() const { return ca_file_; }

  // Sends one command line and waits for its "ok" (or "error") answer;
  // returns that event ("error" when none came within the timeout).
  SimEvent command(const std::string& line,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // Waits until `count` events match (counting from the start); returns the
  // count-th one, or an event named "timeout".
  SimEvent wait_for(const EventMatch& match, size_t count = 1,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10));
  std::vector<SimEvent> events(const EventMatch& match) const;
  size_t count(const EventMatch& match) const { return events(match).size(); }

 private:
  void read_loop();

  pid_t pid_ = -1;
  int to_child_ = -1;
  int from_child_ = -1;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<SimEvent> events_;
  int https_port_ = 0;
  int udp_port_ = 0;
  std::string ca_file_;
};

}  // namespace vt_test
