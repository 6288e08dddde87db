// Task info: one message handed from one channel thread to another.
#pragma once

#include <cstdint>
#include <memory>

constexpr int TASK_INFO_SOURCE_LENGTH = 25;

struct task_info {
  uint32_t kind;                             // always 0
  char source[TASK_INFO_SOURCE_LENGTH + 1];  // device serial, always terminated
  uint32_t time;                             // when it was made, seconds since the epoch
  uint8_t *data;                             // the message; owned, from malloc
  uint32_t length;                           // message bytes
};

// Makes a task info that takes ownership of data (a malloc'd buffer); at most
// 25 characters of source are kept. Returns null when memory runs out, and the
// caller then still owns data.
task_info *create_task_info(uint32_t kind, const char *source, uint32_t time, uint8_t *data,
                            uint32_t length);

// Releases the message and the record; nothing for null.
void free_task_info(task_info *task);

struct task_info_deleter {
  void operator()(task_info *task) const { free_task_info(task); }
};
using task_info_ptr = std::unique_ptr<task_info, task_info_deleter>;
