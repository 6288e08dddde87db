// Delivery agenda: the messages the device originates that are not finished
// with, oldest first, each waiting for its next transmission, its reply or its
// expiry. A plain growable array of owned agenda items without a lock of its
// own: every user holds the client's agenda_mutex around every call.
#pragma once

#include <cstdint>

#include "channel/vtrp_message.h"
#include "platform/owned.h"

// Results shared by all operations.
enum {
  DELIVERY_AGENDA_OK = 0,
  DELIVERY_AGENDA_NULL_ARGUMENT = 1,
  DELIVERY_AGENDA_NO_MEMORY = 2,
  DELIVERY_AGENDA_BAD_INDEX = 4,
  DELIVERY_AGENDA_NOT_FOUND = 6,
};

// Slots added whenever the array is full.
constexpr uint32_t DELIVERY_AGENDA_GROWTH = 5000;

struct delivery_agenda {
  agenda_item **items;  // slots 0 to count - 1 in use, without gaps, oldest first
  uint32_t count;
  uint32_t capacity;
};

// An agenda item on its way to the agenda: a producer makes it zeroed with
// delivery_agenda_new_item (null when memory runs out), fills it and lets go
// of it only when the agenda has taken it.
using agenda_item_ptr = owned<agenda_item>;
agenda_item_ptr delivery_agenda_new_item();

// Allocates a zeroed array of initial_capacity slots. 0, 1 or 2.
int delivery_agenda_init(delivery_agenda *agenda, uint32_t initial_capacity);

// Releases every item and the array; count and capacity become 0. The record
// itself stays the caller's, and a second call finds nothing to release. 0 or 1.
int delivery_agenda_free(delivery_agenda *agenda);

// Appends item (calloc'd; the agenda owns it from then on), growing the array
// by 5000 slots when it is full. 0, 1, or 2 when growing failed: the item was
// not taken and the caller must release it.
int delivery_agenda_add_item(delivery_agenda *agenda, agenda_item *item);

// Number of items; 0 for a null agenda.
uint32_t delivery_agenda_get_num_item(const delivery_agenda *agenda);

// Writes the item at index through item, which stays in the agenda. 0, 1 or 4.
int delivery_agenda_get_item(const delivery_agenda *agenda, agenda_item **item, uint32_t index);

// Removes and releases the item at index; later items move down one slot, so a
// caller walking by index steps back by one. 0, 1 or 4.
int delivery_agenda_delete_item(delivery_agenda *agenda, uint32_t index);

// Removes the oldest item whose agenda_id and seq match and hands it over
// through item. 0, 1, or 6 when the agenda is empty or nothing matches.
int delivery_agenda_detach_item_by_id_seq(delivery_agenda *agenda, uint32_t agenda_id, uint32_t seq,
                                          agenda_item **item);

// As the detach, but releases the item found. 0, 1 or 6.
int delivery_agenda_delete_item_by_id_seq(delivery_agenda *agenda, uint32_t agenda_id, uint32_t seq);

// Internal steps without argument checks (index must be below count): removal
// closes the gap and returns the item; the delete variant releases it and
// returns 1, or 0 when the slot held null.
agenda_item *__delivery_agenda_detach_item(delivery_agenda *agenda, uint32_t index);
int __delivery_agenda_delete_item(delivery_agenda *agenda, uint32_t index);
