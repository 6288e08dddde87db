#include "features/worker.h"

#include <new>
#include <system_error>

#include "platform/log.h"

bool worker::allocate_buffer() {
  buffer_.reset(new (std::nothrow) char[DAEMON_BUFFER_SIZE]);
  return buffer_ != nullptr;
}

bool worker::start(thread_main main, void* param) {
  try {
    thread_ = std::thread(main, param);
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

bool worker::post(uint32_t request) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (busy_) return false;
  busy_ = 1;
  requested_ = 1;
  request_ = request;
  cond_.notify_one();
  return true;
}

worker::start_result worker::start_on_demand(const std::atomic<uint32_t>& stopping,
                                             const std::function<bool()>& fill) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping.load() != 0 || thread_.joinable() || !fill()) return start_result::refused;
  finished_.store(0);
  return start(main_, param_) ? start_result::started : start_result::failed;
}

bool worker::wait(const std::atomic<uint32_t>& stopping) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (requested_ == 0 && stopping.load() == 0) cond_.wait(lock);
  if (stopping.load() != 0) return false;
  requested_ = 0;
  return true;
}

uint32_t worker::request() {
  std::lock_guard<std::mutex> lock(mutex_);
  return request_;
}

void worker::finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  busy_ = 0;
}

bool worker::busy() {
  std::lock_guard<std::mutex> lock(mutex_);
  return busy_ != 0;
}

void worker::reap_if_finished() {
  if (long_lived()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (thread_.joinable() && finished_.load() != 0) {
    thread_.join();
    finished_.store(0);
    __udp_client_log(VT_LOG_INFO, "%s", finished_line_);
  }
}

void worker::wake() {
  std::lock_guard<std::mutex> lock(mutex_);
  cond_.notify_all();
}

void worker::join() {
  std::thread taken;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    taken = std::move(thread_);
  }
  if (!taken.joinable()) return;
  taken.join();
  std::lock_guard<std::mutex> lock(mutex_);
  busy_ = 0;
  if (joined_) __udp_client_log(VT_LOG_INFO, "%s", joined_);
}
