// The configuration loaders with arbitrary text: from memory, from a file and
// one line through __parse_tagitem. Every loaded key is found again with its
// value, and a sorted list is in strictly ascending key order.
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/taglist.h"

static void check_list(taglist* list) {
  fuzz::check(list != nullptr && list->count >= 0 && list->count <= list->capacity, "no list, or count past capacity");
  for (int32_t i = 0; i < list->count; ++i) {
    const tagitem* item = list->items[i];
    fuzz::check(__search_taglist(list, item->tag) == i, "a loaded key is not found at its slot");
    fuzz::check(strcmp(get_taglist_default(list, item->tag, ""), item->value) == 0, "lookup gives another value");
    fuzz::check(!list->sorted || i == 0 || strcmp(list->items[i - 1]->tag, item->tag) < 0, "sorted list out of order");
  }
  free_taglist(list);
}

void fuzz::one(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);  // in memory it ends at its first NUL
  for (int sorted = 0; sorted <= 1; ++sorted) check_list(load_taglist_string(text.c_str(), sorted));
  std::vector<char> line(text.c_str(), text.c_str() + strlen(text.c_str()) + 1);
  free_tagitem(__parse_tagitem(line.data()));
  check_list(load_taglist_ex(fuzz::scratch_file("config", data, size).c_str(), 1));  // every byte, NULs included
}
