#include "channel/black_list.h"

#include <memory>
#include <new>

#include "channel/wire_time.h"

namespace {

int32_t advance(const black_list *list, int32_t slot) {
  return slot + 1 >= list->capacity ? 0 : slot + 1;
}

}  // namespace

black_list *create_black_list(int32_t capacity) {
  if (capacity < 0) capacity = 0;
  std::unique_ptr<black_list> list(new (std::nothrow) black_list());
  if (list == nullptr) return nullptr;
  list->entries.reset(new (std::nothrow) black_list_entry[capacity ? capacity : 1]());
  if (list->entries == nullptr) return nullptr;
  list->capacity = capacity;
  return list.release();
}

void free_black_list(black_list *list) { delete list; }

int add_black_list_item(black_list *list, uint32_t id, uint32_t time) {
  if (list == nullptr) return -1;
  std::lock_guard<std::mutex> lock(list->mutex);
  if (list->capacity == 0) return 0;
  if (list->count >= list->capacity) {
    --list->count;
    list->oldest = advance(list, list->oldest);
  }
  list->entries[list->next] = {id, time, 0};
  ++list->count;
  list->next = advance(list, list->next);
  return 0;
}

int black_list_item_exist(black_list *list, uint32_t id, uint32_t now, int mode) {
  if (list == nullptr) return 0;
  std::lock_guard<std::mutex> lock(list->mutex);
  int32_t slot = list->oldest;
  for (int32_t i = 0; i < list->count; ++i, slot = advance(list, slot)) {
    const black_list_entry &entry = list->entries[slot];
    if (entry.cleared != 0 || entry.id != id) continue;
    if (mode == BLACK_LIST_ANY_ENTRY || vt_seconds_between(now, entry.time) >= 0) return 1;
  }
  return 0;
}

int black_list_cleanup(black_list *list, uint32_t threshold) {
  if (list == nullptr) return 0;
  std::lock_guard<std::mutex> lock(list->mutex);
  int32_t slot = list->oldest;
  for (int32_t i = 0; i < list->count; ++i, slot = advance(list, slot)) {
    black_list_entry &entry = list->entries[slot];
    if (entry.id <= threshold || entry.id == 0xFFFFFFFFu) entry.cleared = 1;
  }
  return 1;
}
