#include "channel/task_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace {

// A task carrying value as its time.
task_info *task(uint32_t value) { return create_task_info(0, "SERIAL0001", value, nullptr, 0); }
// Absolute time of day `ms` milliseconds from now.
timespec deadline_in(long ms) {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                (std::chrono::system_clock::now() + std::chrono::milliseconds(ms)).time_since_epoch()).count();
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

}  // namespace

// A ring of three: each round fills it until it refuses, then takes two, so
// head and tail walk round it; what is left goes with the queue (the leak
// checker sees it).
TEST(TaskQueue, HoldsItsCapacityInOrderAcrossTheWrap) {
  task_queue_ptr q(init_task_queue(3)), none(init_task_queue(0));
  uint32_t next_in = 0, next_out = 0;
  for (int round = 0; round < 5; ++round) {
    for (task_info_ptr t(task(next_in)); unshift_task_queue(q.get(), t.get()) == 1; t.reset(task(++next_in))) t.release();
    EXPECT_EQ(next_in - next_out, 3u) << "round " << round;
    for (int i = 0; i < 2; ++i) {
      task_info_ptr t(shift_task_queue_ex(q.get(), 0, nullptr));
      ASSERT_TRUE(t);
      EXPECT_EQ(t->time, next_out++);
    }
  }
  task_info_ptr t(create_task_info(0, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123", 5, nullptr, 0));
  EXPECT_STREQ(t->source, "ABCDEFGHIJKLMNOPQRSTUVWXY") << "at most 25 characters of source";
  ASSERT_TRUE(none);  // capacity 0 refuses every entry
  EXPECT_EQ(unshift_task_queue(none.get(), t.get()) + unshift_task_queue(nullptr, t.get()), 0);
  EXPECT_EQ(shift_task_queue_ex(nullptr, 1, nullptr), nullptr);
}

TEST(TaskQueue, TakeFromAnEmptyQueueWaitsUntilItsDeadline) {
  task_queue_ptr q(init_task_queue(4));
  auto start = std::chrono::steady_clock::now();
  timespec deadline = deadline_in(300);
  EXPECT_EQ(shift_task_queue_ex(q.get(), 1, &deadline), nullptr);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(290));
}

TEST(TaskQueue, ConcurrentPuttersAndTakersLoseNothing) {
  constexpr uint32_t kThreads = 3, kPerPutter = 3000;
  task_queue_ptr q(init_task_queue(8));
  std::mutex seen_mutex;
  std::vector<uint32_t> seen;
  std::vector<std::thread> threads;
  for (uint32_t k = 0; k < kThreads; ++k) {
    threads.emplace_back([&, k] {
      for (uint32_t i = 0; i < kPerPutter; ++i)
        for (task_info *t = task(k << 24 | i); unshift_task_queue(q.get(), t) == 0;) std::this_thread::yield();
    });
    threads.emplace_back([&] {
      for (;;) {
        timespec deadline = deadline_in(20);
        task_info_ptr t(shift_task_queue_ex(q.get(), 1, &deadline));
        std::lock_guard<std::mutex> lock(seen_mutex);
        if (t) seen.push_back(t->time);
        if (seen.size() >= kThreads * kPerPutter) return;
      }
    });
  }
  for (auto &t : threads) t.join();
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end()) << "an entry taken twice";
}
