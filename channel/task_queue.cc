#include "channel/task_queue.h"

#include <chrono>
#include <ctime>
#include <memory>
#include <new>

namespace {

// The deadline is a time of day, but the wait runs on the monotonic clock
// for the time left until it: a clock set back during the wait must not
// stretch a 5-second wait into an hour (the command thread, and with it an
// orderly stop, would hang that long).
std::chrono::steady_clock::duration time_left_until(const timespec &deadline) {
  using namespace std::chrono;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  auto left = (seconds(deadline.tv_sec) + nanoseconds(deadline.tv_nsec)) -
              (seconds(now.tv_sec) + nanoseconds(now.tv_nsec));
  if (left < nanoseconds::zero()) left = nanoseconds::zero();
  return duration_cast<steady_clock::duration>(left);
}

uint32_t next_slot(const task_queue *queue, uint32_t slot) {
  return slot + 1 >= queue->capacity ? 0 : slot + 1;
}

}  // namespace

task_queue *init_task_queue(uint32_t capacity) {
  std::unique_ptr<task_queue> queue(new (std::nothrow) task_queue());
  if (queue == nullptr) return nullptr;
  queue->slots.reset(new (std::nothrow) task_info_ptr[capacity ? capacity : 1]);
  if (queue->slots == nullptr) return nullptr;
  queue->capacity = capacity;
  queue->count = 0;
  queue->head = 0;
  queue->tail = 0;
  return queue.release();
}

int unshift_task_queue(task_queue *queue, task_info *task) {
  if (queue == nullptr || task == nullptr) return 0;
  std::lock_guard<std::mutex> write(queue->write_mutex);
  int stored = 0;
  if (queue->count.load() < queue->capacity) {
    queue->slots[queue->tail].reset(task);
    {
      std::lock_guard<std::mutex> counting(queue->count_mutex);
      queue->count.fetch_add(1);
    }
    queue->tail = next_slot(queue, queue->tail);
    stored = 1;
  }
  // Signalled also when full: a waiting taker then finds the entries there are.
  queue->ready.notify_one();
  return stored;
}

task_info *shift_task_queue_ex(task_queue *queue, int wait, const struct timespec *deadline) {
  if (queue == nullptr) return nullptr;
  std::unique_lock<std::mutex> read(queue->read_mutex);
  if (queue->count.load() == 0 && wait != 0 && deadline != nullptr) {
    // Putters never take read_mutex, so it can be let go while waiting; the
    // wait itself is under write_mutex, where putters store and signal.
    read.unlock();
    {
      std::unique_lock<std::mutex> write(queue->write_mutex);
      queue->ready.wait_for(write, time_left_until(*deadline),
                              [queue] { return queue->count.load() != 0; });
    }
    read.lock();
  }
  if (queue->count.load() == 0) return nullptr;

  task_info *task = queue->slots[queue->head].release();
  {
    std::lock_guard<std::mutex> counting(queue->count_mutex);
    queue->count.fetch_sub(1);
  }
  queue->head = next_slot(queue, queue->head);
  return task;
}

uint32_t get_task_queue_size(const task_queue *queue) {
  return queue == nullptr ? 0 : queue->count.load(std::memory_order_relaxed);
}

void free_task_queue(task_queue *queue) { delete queue; }
