// The taglist container: creation, ordering, search, insert and removal.
#include "platform/taglist.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr int32_t kInitialCapacity = 1024;
constexpr int32_t kGrowth = 256;

// A bare key wrapped as the record shape that the compare function expects.
struct key_probe {
  const char* tag;
};

int bisect(const taglist* list, const char* tag) {
  key_probe probe{tag};
  const key_probe* ref = &probe;
  return __bsearch_taglist(&ref, list->items, 0, list->count - 1, sizeof(tagitem*),
                           __tagitem_tag_compare_func);
}

bool same_key(const taglist* list, int pos, const char* tag) {
  return pos >= 0 && pos < list->count && strcmp(list->items[pos]->tag, tag) == 0;
}

}  // namespace

tagitem* create_tagitem(const char* tag, const char* value) {
  auto* item = static_cast<tagitem*>(malloc(sizeof(tagitem)));
  if (item == nullptr) return nullptr;
  item->tag = strdup(tag ? tag : "");
  item->value = strdup(value ? value : "");
  if (item->tag == nullptr || item->value == nullptr) {
    free_tagitem(item);
    return nullptr;
  }
  return item;
}

void free_tagitem(tagitem* item) {
  if (item == nullptr) return;
  free(item->tag);
  free(item->value);
  free(item);
}

taglist* create_taglist() {
  auto* list = static_cast<taglist*>(malloc(sizeof(taglist)));
  if (list == nullptr) return nullptr;
  list->items = static_cast<tagitem**>(calloc(kInitialCapacity, sizeof(tagitem*)));
  if (list->items == nullptr) {
    free(list);
    return nullptr;
  }
  list->count = 0;
  list->capacity = kInitialCapacity;
  list->sorted = 0;
  return list;
}

void free_taglist(taglist* list) {
  if (list == nullptr) return;
  for (int32_t i = 0; i < list->count; ++i) free_tagitem(list->items[i]);
  free(list->items);
  free(list);
}

int __tagitem_tag_compare_func(const void* a, const void* b) {
  const tagitem* x = *static_cast<const tagitem* const*>(a);
  const tagitem* y = *static_cast<const tagitem* const*>(b);
  return strcmp(x->tag, y->tag);
}

void sort_taglist(taglist* list) {
  if (list == nullptr) return;
  if (list->count > 1) {
    qsort(list->items, static_cast<size_t>(list->count), sizeof(tagitem*),
          __tagitem_tag_compare_func);
  }
  list->sorted = 1;
}

int unsort_taglist(taglist* list) {
  if (list != nullptr) list->sorted = 0;
  return 0;
}

int __bsearch_taglist(const void* key, const void* base, int lo, int hi, size_t size,
                      int (*compare)(const void*, const void*)) {
  const char* elements = static_cast<const char*>(base);
  while (lo < hi) {
    int mid = lo + (hi - lo) / 2;  // (lo + hi) / 2 without overflow
    int c = compare(key, elements + static_cast<size_t>(mid) * size);
    if (c == 0) return mid;
    if (c < 0) {
      hi = mid - 1;
    } else {
      lo = mid + 1;
    }
  }
  if (lo != hi) return lo;
  return compare(key, elements + static_cast<size_t>(lo) * size) <= 0 ? lo : lo + 1;
}

int __search_taglist(const taglist* list, const char* tag) {
  if (list == nullptr || tag == nullptr) return -1;
  if (list->sorted) {
    int i = bisect(list, tag);
    return same_key(list, i, tag) ? i : -1;
  }
  for (int32_t i = 0; i < list->count; ++i) {
    if (strcmp(list->items[i]->tag, tag) == 0) return i;
  }
  return -1;
}

int exist_taglist(const taglist* list, const char* tag) {
  return __search_taglist(list, tag) >= 0 ? 1 : 0;
}

int __insert_taglist_pos(taglist* list, int pos, tagitem* item) {
  if (list == nullptr || item == nullptr || pos < 0 || pos > list->count) {
    free_tagitem(item);
    return 0;
  }
  if (list->count >= list->capacity) {
    int32_t capacity = list->capacity + kGrowth;
    auto* grown = static_cast<tagitem**>(
        realloc(list->items, static_cast<size_t>(capacity) * sizeof(tagitem*)));
    if (grown == nullptr) {
      // The list stays as it was; the new setting is lost rather than the old ones.
      free_tagitem(item);
      return 0;
    }
    list->items = grown;
    list->capacity = capacity;
  }
  if (pos < list->count) {
    memmove(&list->items[pos + 1], &list->items[pos],
            static_cast<size_t>(list->count - pos) * sizeof(tagitem*));
  }
  list->items[pos] = item;
  list->count++;
  return 1;
}

int __remove_taglist_pos(taglist* list, int pos) {
  if (list == nullptr || pos < 0 || pos >= list->count) return 0;
  tagitem* removed = list->items[pos];
  int last = list->count - 1;
  if (pos != last) {
    if (list->sorted) {
      memmove(&list->items[pos], &list->items[pos + 1],
              static_cast<size_t>(last - pos) * sizeof(tagitem*));
    } else {
      list->items[pos] = list->items[last];
    }
  }
  list->items[last] = nullptr;
  list->count--;
  free_tagitem(removed);
  return 1;
}

int insert_taglist(taglist* list, tagitem* item) {
  if (list == nullptr || item == nullptr) {
    free_tagitem(item);
    return 0;
  }
  if (list->sorted) {
    int i = bisect(list, item->tag);
    if (same_key(list, i, item->tag)) {
      free_tagitem(item);
      return 0;
    }
    return __insert_taglist_pos(list, i, item);
  }
  if (exist_taglist(list, item->tag)) {
    free_tagitem(item);
    return 0;
  }
  return __insert_taglist_pos(list, list->count, item);
}

int update_taglist(taglist* list, tagitem* item) {
  if (list == nullptr || item == nullptr) {
    free_tagitem(item);
    return 0;
  }
  if (list->sorted) {
    int i = bisect(list, item->tag);
    // The bisection may point one past the last item; only a real slot can match.
    if (same_key(list, i, item->tag)) {
      free_tagitem(list->items[i]);
      list->items[i] = item;
      return 1;
    }
    return __insert_taglist_pos(list, i, item);
  }
  remove_taglist(list, item->tag);
  return __insert_taglist_pos(list, list->count, item);
}

int remove_taglist(taglist* list, const char* tag) {
  int i = __search_taglist(list, tag);
  if (i < 0) return 0;
  return __remove_taglist_pos(list, i);
}

const char* get_taglist_default(const taglist* list, const char* tag, const char* def) {
  int i = __search_taglist(list, tag);
  if (i < 0 || list->items[i]->value[0] == '\0') return def;
  return list->items[i]->value;
}

char* get_taglist_dup(const taglist* list, const char* tag, const char* def) {
  const char* value = get_taglist_default(list, tag, def);
  return value ? strdup(value) : nullptr;
}
