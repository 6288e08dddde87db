// One of the daemon's worker threads and its hand-over, so that starting,
// posting, waiting, reaping and joining are written once for every worker.
//
// Two kinds share it. The long-lived workers (feature, report) are started
// with the cycle and wait for requests: a requester posts under the mutex
// only while the worker is not busy (a request that finds it busy is
// refused, never queued) and the worker clears busy when it is done. The
// requested flag is cleared only when the worker takes the request, so one
// posted before the worker first waits is not lost. The workers started on
// demand (remote action, debug dump) run one request each and set their
// finished flag as their last act; the supervision loop then joins them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

// Size of each work buffer of a cycle.
constexpr size_t DAEMON_BUFFER_SIZE = 65536;

class worker {
 public:
  using thread_main = void* (*)(void*);

  // main(param) is the thread. joined is the line logged when the teardown
  // has joined the thread, finished the line logged when the supervision
  // loop reaps it (null: never reaped there, it lives for the cycle).
  worker(thread_main main, void* param, const char* joined, const char* finished)
      : main_(main), param_(param), joined_(joined), finished_line_(finished) {}
  worker(const worker&) = delete;
  worker& operator=(const worker&) = delete;

  // True for a worker that lives for the cycle rather than one request.
  bool long_lived() const { return finished_line_ == nullptr; }

  // The work buffer, DAEMON_BUFFER_SIZE bytes once allocated (null before).
  bool allocate_buffer();
  char* buffer() const { return buffer_.get(); }

  // Starts the thread (main may stand in for the worker's own, for tests);
  // false when the system has no thread to give.
  bool start() { return start(main_, param_); }
  bool start(thread_main main, void* param);

  // Requester side of a long-lived worker: hands request over unless the
  // worker is busy. True when it was handed over.
  bool post(uint32_t request);

  // Starts a worker on demand unless one still runs, the cycle is stopping
  // (tested under the lock the teardown takes to join, so no thread can
  // appear behind its back) or fill, run under the lock, refuses.
  enum class start_result { started, refused, failed };
  start_result start_on_demand(const std::atomic<uint32_t>& stopping, const std::function<bool()>& fill);

  // Worker side: waits until a request was handed over or the cycle is
  // stopping (no time-out: whoever stops the workers wakes them) and takes
  // it. False when stopping.
  bool wait(const std::atomic<uint32_t>& stopping);
  uint32_t request();
  // Done with the request taken: the next one is accepted.
  void finish();
  // The thread's last act: it may be joined.
  void set_finished() { finished_.store(1); }
  bool finished() const { return finished_.load() != 0; }
  bool busy();

  // Joins a worker started on demand once it has finished, and logs so.
  void reap_if_finished();
  // Teardown: wakes an idle worker so that it sees the stop, then joins it
  // outside the lock (the thread may want the lock until it ends).
  void wake();
  void join();

 private:
  const thread_main main_;
  void* const param_;
  const char* const joined_;
  const char* const finished_line_;
  std::mutex mutex_;
  std::condition_variable cond_;
  std::thread thread_;                // guarded by mutex_; not joinable = none
  uint32_t busy_ = 0;                 // guarded by mutex_
  uint32_t requested_ = 0;            // guarded by mutex_: handed over, not yet taken
  uint32_t request_ = 0;              // guarded by mutex_
  std::atomic<uint32_t> finished_{0};
  std::unique_ptr<char[]> buffer_;
};
