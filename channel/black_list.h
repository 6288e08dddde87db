// Black list: a small ring of message ids with a time each, with which the
// channel recognises server requests it has already accepted or answered, so
// that a retransmitted request is not carried out twice. When the ring is
// full a new entry replaces the oldest.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/owned.h"

struct black_list_entry {
  uint32_t id;
  uint32_t time;     // meaning depends on how the list is searched
  uint32_t cleared;  // non-zero: the entry no longer counts
};

struct black_list {
  std::unique_ptr<black_list_entry[]> entries;
  int32_t count;
  int32_t capacity;
  std::mutex mutex;  // guards everything
  int32_t next;      // slot the next entry is written to
  int32_t oldest;    // slot of the oldest entry in use
};

// Search modes of black_list_item_exist.
enum {
  BLACK_LIST_ANY_ENTRY = 1,  // any entry with the id is a hit
  BLACK_LIST_NOT_PAST = 2,   // only an entry whose time is not yet past (any mode but 1)
};

// New empty list, or null when memory runs out. A capacity below 1 gives a
// list that remembers nothing.
black_list *create_black_list(int32_t capacity);

// Releases the list; nothing for null.
void free_black_list(black_list *list);

// Remembers id with time, replacing the oldest entry when the ring is full.
// Returns 0, or -1 for a null list.
int add_black_list_item(black_list *list, uint32_t id, uint32_t time);

// 1 when an entry that is not cleared has id and either (mode 1) exists at all
// or (any other mode) has a time not before now (wrap-aware 32-bit seconds);
// 0 otherwise or for a null list.
int black_list_item_exist(black_list *list, uint32_t id, uint32_t now, int mode);

// Clears every entry whose id is at most threshold or is 0xFFFFFFFF, as after a
// restart of the server's numbering; larger ids stay remembered. Returns 1, or
// 0 for a null list.
int black_list_cleanup(black_list *list, uint32_t threshold);

using black_list_ptr = owned_by<black_list, free_black_list>;
