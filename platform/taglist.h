// The configuration store: key/value settings read from key=value text.
//
// A taglist is a growable array of pointers to tagitems. Marked sorted, it
// keeps its items in strcmp order of the keys and finds and inserts by
// bisection; unsorted, it keeps insertion order and searches linearly. No two
// items share a key: the first line that sets a key wins.
//
// Line rules of the loaders: a line longer than 8191 characters is read in
// pieces of 8191, each its own line; empty lines and lines starting with "#"
// are skipped; trailing CR/LF is dropped, then one trailing double quote; the
// line splits at its first "=" (no "=": skipped); one double quote right
// after the "=" is skipped. Keys are taken as written, blanks included.
//
// Written form (dump functions): one "key=\"value\"\n" line per item.
//
// Memory: the records are C-style and owned through the pointers; texts
// returned by get_taglist_default point into the list. When memory runs out,
// a creating function returns nullptr and an insert drops the new item and
// returns 0, so the list itself always stays whole and usable. Every function
// accepts a null list and treats it as an empty one.
//
// No lock: a list may be read by many threads while nobody modifies it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "platform/owned.h"

struct tagitem {
  char* tag;    // the key, compared with strcmp
  char* value;  // the value, possibly empty
};

struct taglist {
  int32_t count;     // items in use
  int32_t capacity;  // slots allocated: 1024 at creation, then +256 at a time
  uint32_t sorted;   // 1 = items in ascending key order
  tagitem** items;   // slots 0..count-1 in use
};

// Copies both texts; nullptr when out of memory.
tagitem* create_tagitem(const char* tag, const char* value);
void free_tagitem(tagitem* item);  // accepts nullptr

taglist* create_taglist();  // count 0, capacity 1024, unsorted; nullptr when out of memory
void free_taglist(taglist* list);  // frees every item; accepts nullptr

void sort_taglist(taglist* list);  // sorts by key and marks the list sorted
int unsort_taglist(taglist* list);  // marks it unsorted, order unchanged; returns 0

// strcmp of the keys; a and b point to tagitem pointers.
int __tagitem_tag_compare_func(const void* a, const void* b);

// Bisection over the inclusive index range lo..hi of an array of `size`-byte
// elements: the index of an element equal to *key, or else the position at
// which the key would be inserted to keep the order (0 for an empty range).
// `key` points to a pointer to a record whose first field is the key text.
int __bsearch_taglist(const void* key, const void* base, int lo, int hi, size_t size,
                      int (*compare)(const void*, const void*));

int __search_taglist(const taglist* list, const char* tag);  // index or -1
int exist_taglist(const taglist* list, const char* tag);     // 1 or 0

// Put the item at the position, shifting later items up; grows a full array
// first. Returns 1; 0 (and frees the item) when the array cannot grow.
int __insert_taglist_pos(taglist* list, int pos, tagitem* item);
// Frees the item at the position and closes the gap: sorted lists keep their
// order, unsorted ones move their last item into the gap. Returns 1.
int __remove_taglist_pos(taglist* list, int pos);

// Takes ownership of the item: 1 inserted, 0 duplicate key (item freed).
int insert_taglist(taglist* list, tagitem* item);
// Takes ownership of the item: inserts it or replaces the item with its key.
int update_taglist(taglist* list, tagitem* item);
int remove_taglist(taglist* list, const char* tag);  // 1 removed, 0 absent

// The value, or `def` when the key is absent or its value is empty.
const char* get_taglist_default(const taglist* list, const char* tag, const char* def);
// A malloc'd copy of what get_taglist_default returns (caller frees); nullptr
// when out of memory or when that result is a null default.
char* get_taglist_dup(const taglist* list, const char* tag, const char* def);

// Applies the line rules to one line, modifying it in place; nullptr when
// the line gives no pair.
tagitem* __parse_tagitem(char* line);

// Loads a file (or text); a file that cannot be opened gives an empty list.
taglist* load_taglist_ex(const char* path, int sorted);
taglist* load_taglist_string(const char* text, int sorted);

void dump_taglist(const taglist* list, FILE* out);
int save_taglist(const taglist* list, const char* path);  // 1, or 0 when it cannot open
char* dump_taglist_string(const taglist* list);           // malloc'd; caller frees

// Owner for C++ callers: frees the list when it goes out of scope.
using taglist_ptr = owned_by<taglist, free_taglist>;
