// Task info: one message handed from one channel thread to another.
#pragma once

#include <cstdint>

#include "channel/vtrp_message.h"
#include "platform/owned.h"

constexpr int TASK_INFO_SOURCE_LENGTH = 25;

struct task_info {
  uint32_t kind;                             // always 0
  char source[TASK_INFO_SOURCE_LENGTH + 1];  // device serial, always terminated
  uint32_t time;                             // when it was made, seconds since the epoch
  uint8_t *data;                             // the message as it travels; owned, from malloc
  uint32_t length;                           // message bytes
  vtrp_header header;                        // its header, decoded once (host order)
};

// Makes a task info that takes ownership of data (a malloc'd buffer); at most
// 25 characters of source are kept. Returns null when memory runs out, and the
// caller then still owns data.
task_info *create_task_info(uint32_t kind, const char *source, uint32_t time, uint8_t *data,
                            uint32_t length);

// Releases the message and the record; nothing for null.
void free_task_info(task_info *task);

using task_info_ptr = owned_by<task_info, free_task_info>;

// A task info of kind 0 with a copy of the message (length bytes, at least
// the header) and its decoded header; null when memory runs out.
task_info_ptr task_info_for_message(const char *source, uint32_t time, const vtrp_header &header,
                                    const uint8_t *message, uint32_t length);
