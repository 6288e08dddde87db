#include "channel/task_info.h"

#include <cstring>

task_info *create_task_info(uint32_t kind, const char *source, uint32_t time, uint8_t *data,
                            uint32_t length) {
  auto *task = static_cast<task_info *>(std::calloc(1, sizeof(task_info)));
  if (task == nullptr) return nullptr;
  task->kind = kind;
  if (source != nullptr) std::strncpy(task->source, source, TASK_INFO_SOURCE_LENGTH);
  task->time = time;
  task->data = data;
  task->length = length;
  return task;
}

void free_task_info(task_info *task) {
  if (task == nullptr) return;
  std::free(task->data);
  std::free(task);
}

task_info_ptr task_info_for_message(const char *source, uint32_t time, const vtrp_header &header,
                                    const uint8_t *message, uint32_t length) {
  owned<uint8_t> copy(static_cast<uint8_t *>(std::malloc(length)));
  if (!copy) return nullptr;
  std::memcpy(copy.get(), message, length);
  task_info_ptr task(create_task_info(0, source, time, copy.get(), length));
  if (!task) return nullptr;
  copy.release();
  task->header = header;
  return task;
}
