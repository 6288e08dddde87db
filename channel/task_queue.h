// Task queue: a bounded first-in-first-out ring of task infos between the
// channel's threads.
//
// Putters serialise on write_mutex and takers on read_mutex, so one putter
// and one taker proceed side by side. count changes only under count_mutex and
// rises only after the slot is written, so a taker that sees it non-zero finds
// the entry. A waiting taker sleeps on ready with write_mutex held, the mutex
// under which putters store and signal, so no put between its check and its
// wait is missed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>

#include "channel/task_info.h"
#include "platform/owned.h"

struct task_queue {
  uint32_t capacity;
  std::atomic<uint32_t> count;  // atomic so that get_task_queue_size may read it unlocked
  uint32_t head;                // slot of the oldest entry (takers only)
  uint32_t tail;                // slot of the next put (putters only)
  std::unique_ptr<task_info_ptr[]> slots;  // an empty slot holds null
  std::mutex read_mutex;
  std::mutex write_mutex;
  std::condition_variable ready;
  std::mutex count_mutex;
};

// New empty queue, or null when memory runs out. A queue of capacity 0
// refuses every entry.
task_queue *init_task_queue(uint32_t capacity);

// Stores task as the newest entry: 1, or 0 for a null queue or task or a full
// queue (the caller then still owns the task).
int unshift_task_queue(task_queue *queue, task_info *task);

// Takes the oldest entry; the caller owns it. When the queue is empty, wait is
// non-zero and deadline (an absolute time of day) is given, waits until an
// entry arrives or the deadline passes. Null for a null or empty queue, and
// after a wait that ended with the queue still empty (another taker may have
// been quicker).
task_info *shift_task_queue_ex(task_queue *queue, int wait, const struct timespec *deadline);

// Number of entries held: a snapshot taken without a lock.
uint32_t get_task_queue_size(const task_queue *queue);

// Releases the queue with every task info it still holds. Nobody may use the
// queue during or after this; nothing for null.
void free_task_queue(task_queue *queue);

using task_queue_ptr = owned_by<task_queue, free_task_queue>;
