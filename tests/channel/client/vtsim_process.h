// The management-server simulator (tools/vtsim) as a child process: it prints
// one event per line ("name key=value ...", values percent-encoded) and reads
// commands on its standard input. Every event is kept; tests wait for one
// with a bounded timeout. The child is stopped by its pid.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdlib>
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

  const std::string& operator[](const std::string& key) const {
    static const std::string empty;
    auto it = fields.find(key);
    return it == fields.end() ? empty : it->second;
  }
  bool has(const std::string& key) const { return fields.count(key) != 0; }
  unsigned long long number(const std::string& key) const { return std::strtoull((*this)[key].c_str(), nullptr, 0); }
};

using EventMatch = std::function<bool(const SimEvent&)>;

// Events named `name` whose fields include every given key=value.
EventMatch event_is(const std::string& name, std::map<std::string, std::string> fields = {});

class VtsimProcess {
 public:
  VtsimProcess(const std::string& serial, const std::string& key, const std::string& workdir);
  ~VtsimProcess();
  VtsimProcess(const VtsimProcess&) = delete;
  VtsimProcess& operator=(const VtsimProcess&) = delete;

  bool ready() const { return https_port_ != 0; }
  int https_port() const { return https_port_; }
  const std::string& ca_file() const { return ca_file_; }

  // Sends one command line; returns its "ok" answer, or an "error" event.
  SimEvent command(const std::string& line, std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // The count-th matching event (counting from the start), or "timeout".
  SimEvent wait_for(const EventMatch& match, size_t count = 1,
                    std::chrono::milliseconds timeout = std::chrono::seconds(20));
  std::vector<SimEvent> events(const EventMatch& match) const;
  size_t count(const EventMatch& match) const { return events(match).size(); }

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

}  // namespace vt_test
