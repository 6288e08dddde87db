#include "channel/delivery_agenda.h"

#include <cstdlib>
#include <cstring>

namespace {

// Index of the oldest item with this agenda_id and seq, or count when none.
uint32_t find(const delivery_agenda *agenda, uint32_t agenda_id, uint32_t seq) {
  uint32_t i = 0;
  for (; i < agenda->count; ++i) {
    const agenda_item *item = agenda->items[i];
    if (item != nullptr && item->agenda_id == agenda_id && item->seq == seq) break;
  }
  return i;
}

}  // namespace

agenda_item_ptr delivery_agenda_new_item() {
  return agenda_item_ptr(static_cast<agenda_item *>(std::calloc(1, sizeof(agenda_item))));
}

int delivery_agenda_init(delivery_agenda *agenda, uint32_t initial_capacity) {
  if (agenda == nullptr) return DELIVERY_AGENDA_NULL_ARGUMENT;
  agenda->items = static_cast<agenda_item **>(
      std::calloc(initial_capacity ? initial_capacity : 1, sizeof(agenda_item *)));
  agenda->count = 0;
  agenda->capacity = agenda->items != nullptr ? initial_capacity : 0;
  return agenda->items != nullptr ? DELIVERY_AGENDA_OK : DELIVERY_AGENDA_NO_MEMORY;
}

int delivery_agenda_free(delivery_agenda *agenda) {
  if (agenda == nullptr) return DELIVERY_AGENDA_NULL_ARGUMENT;
  if (agenda->items != nullptr) {
    for (uint32_t i = 0; i < agenda->count; ++i) std::free(agenda->items[i]);
    std::free(agenda->items);
  }
  agenda->items = nullptr;
  agenda->count = 0;
  agenda->capacity = 0;
  return DELIVERY_AGENDA_OK;
}

int delivery_agenda_add_item(delivery_agenda *agenda, agenda_item *item) {
  if (agenda == nullptr || item == nullptr) return DELIVERY_AGENDA_NULL_ARGUMENT;
  if (agenda->items == nullptr || agenda->count >= agenda->capacity) {
    const uint64_t grown = uint64_t{agenda->capacity} + DELIVERY_AGENDA_GROWTH;
    if (grown > UINT32_MAX) return DELIVERY_AGENDA_NO_MEMORY;
    void *items = std::realloc(agenda->items, grown * sizeof(agenda_item *));
    if (items == nullptr) return DELIVERY_AGENDA_NO_MEMORY;
    agenda->items = static_cast<agenda_item **>(items);
    agenda->capacity = static_cast<uint32_t>(grown);
  }
  agenda->items[agenda->count++] = item;
  return DELIVERY_AGENDA_OK;
}

uint32_t delivery_agenda_get_num_item(const delivery_agenda *agenda) {
  return agenda == nullptr ? 0 : agenda->count;
}

int delivery_agenda_get_item(const delivery_agenda *agenda, agenda_item **item, uint32_t index) {
  if (agenda == nullptr || item == nullptr) return DELIVERY_AGENDA_NULL_ARGUMENT;
  if (index >= agenda->count) return DELIVERY_AGENDA_BAD_INDEX;
  *item = agenda->items[index];
  return DELIVERY_AGENDA_OK;
}

int delivery_agenda_delete_item(delivery_agenda *agenda, uint32_t index) {
  if (agenda == nullptr) return DELIVERY_AGENDA_NULL_ARGUMENT;
  if (index >= agenda->count) return DELIVERY_AGENDA_BAD_INDEX;
  __delivery_agenda_delete_item(agenda, index);
  return DELIVERY_AGENDA_OK;
}

int delivery_agenda_detach_item_by_id_seq(delivery_agenda *agenda, uint32_t agenda_id, uint32_t seq,
                                          agenda_item **item) {
  if (agenda == nullptr || item == nullptr) return DELIVERY_AGENDA_NULL_ARGUMENT;
  const uint32_t index = find(agenda, agenda_id, seq);
  if (index >= agenda->count) return DELIVERY_AGENDA_NOT_FOUND;
  *item = __delivery_agenda_detach_item(agenda, index);
  return DELIVERY_AGENDA_OK;
}

int delivery_agenda_delete_item_by_id_seq(delivery_agenda *agenda, uint32_t agenda_id, uint32_t seq) {
  if (agenda == nullptr) return DELIVERY_AGENDA_NULL_ARGUMENT;
  const uint32_t index = find(agenda, agenda_id, seq);
  if (index >= agenda->count) return DELIVERY_AGENDA_NOT_FOUND;
  __delivery_agenda_delete_item(agenda, index);
  return DELIVERY_AGENDA_OK;
}

agenda_item *__delivery_agenda_detach_item(delivery_agenda *agenda, uint32_t index) {
  agenda_item *item = agenda->items[index];
  std::memmove(agenda->items + index, agenda->items + index + 1,
               (agenda->count - index - 1) * sizeof(agenda_item *));
  agenda->items[--agenda->count] = nullptr;
  return item;
}

int __delivery_agenda_delete_item(delivery_agenda *agenda, uint32_t index) {
  agenda_item *item = __delivery_agenda_detach_item(agenda, index);
  if (item == nullptr) return 0;
  std::free(item);
  return 1;
}
