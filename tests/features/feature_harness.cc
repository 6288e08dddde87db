#include "feature_harness.h"

#include <sys/stat.h>

#include <atomic>
#include <mutex>
#include <sstream>

#include "features/attempt_loop.h"
#include "platform/clock.h"
#include "platform/log.h"

namespace {

std::atomic<time_t> clock_now{1700000000};
std::mutex waits_mutex;
std::vector<unsigned> waits;

time_t read_fake_clock() { return clock_now.load(); }

void fake_sleep(unsigned seconds) {
  std::lock_guard<std::mutex> lock(waits_mutex);
  waits.push_back(seconds);
  clock_now.fetch_add(seconds);
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream ss(text);
  for (std::string line; std::getline(ss, line);) out.push_back(line);
  return out;
}

}  // namespace

time_t fake_now() { return clock_now.load(); }
void set_fake_now(time_t t) { clock_now.store(t); }
std::vector<unsigned> fake_waits() {
  std::lock_guard<std::mutex> lock(waits_mutex);
  return waits;
}

void FeatureHarness::SetUp() {
  sandbox_ = std::make_unique<vt_test::Sandbox>();
  tool_ = std::make_unique<vt_test::FetchToolRecorder>();
  tool_->answers({"200 OK\n"});
  old_path_ = getenv("PATH");
  setenv("PATH", (path("/bin") + ":" + old_path_).c_str(), 1);
  mkdir(path("spool").c_str(), 0755);
  reset_log_settings();
  log_file_size.store(0);
  set_log_file_path(path("daemon.log").c_str());
  clock_now.store(1700000000);
  waits.clear();  // no worker runs yet
  vt_set_clock(read_fake_clock);
  attempt_loop_set_sleep(fake_sleep);
  srand(1);

  state_ = std::make_unique<daemon_state>();
  char** buffers[] = {&state_->feature_buffer, &state_->report_buffer, &state_->action_buffer, &state_->event_log_buffer};
  for (int i = 0; i < 4; ++i) buffers_[i].assign(DAEMON_BUFFER_SIZE, '\0'), *buffers[i] = buffers_[i].data();
  __udp_client_init_feature_param(&state_->feature, state_.get());
  __udp_client_init_report_param(&state_->report, state_.get());
  __udp_client_init_action_param(&state_->action, state_.get());
  __udp_client_init_debug_dump_param(&state_->debug_dump, state_.get());
  configure("");
}

void FeatureHarness::TearDown() {
  vt_set_clock(nullptr);
  attempt_loop_set_sleep(nullptr);
  state_.reset();
  reset_log_settings();
  setenv("PATH", old_path_.c_str(), 1);
  tool_.reset();
  sandbox_.reset();
}

void FeatureHarness::configure(const std::string& text) {
  config_.reset(load_taglist_string(("VANTOR_HOST=cloud.example\n" + text).c_str(), 1));
  state_->config = config_.get();
}

std::string FeatureHarness::command(const std::string& name, const std::string& body) {
  sandbox_->write_tool("bin/" + name, "echo \"" + name + " $*\" >> \"$VTCLIENT_ROOT/runs\"\n" + body);
  return path("bin/" + name);
}

std::string FeatureHarness::fails_first(const std::string& name, int times) {
  std::string counter = "\"$VTCLIENT_ROOT/" + name + ".count\"";
  return "n=$(($(cat " + counter + " 2>/dev/null || echo 0) + 1)); echo $n > " + counter + "; [ $n -gt " +
         std::to_string(times) + " ]";
}

std::vector<std::string> FeatureHarness::run_args(const std::string& name) const {
  std::vector<std::string> out;
  for (const std::string& line : lines_of(sandbox_->read_file("runs")))
    if (line == name || line.compare(0, name.size() + 1, name + " ") == 0) out.push_back(line.substr(std::min(line.size(), name.size() + 1)));
  return out;
}

int FeatureHarness::logged(const char* level, const std::string& message) const {
  // The tail must follow the prefix's last "] ", not just end the line.
  std::string tail = std::string("] [") + level + "] " + message;
  int n = 0;
  for (const std::string& line : lines_of(sandbox_->read_file("daemon.log")))
    n += line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
  return n;
}
