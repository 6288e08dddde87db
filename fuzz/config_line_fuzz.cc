// Fuzzes the configuration loaders with arbitrary text: from memory
// (load_taglist_string), from a file (load_taglist_ex), one line through
// __parse_tagitem, and the written form read back.
//
// Beyond "no crash, no leak" it checks what every reader of the store relies
// on: each loaded key is found again with its value, a sorted list is in
// strictly ascending key order, and reloading the dump gives the same pairs
// whenever the dump is unambiguous.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/taglist.h"

namespace {

void check_list(const taglist* list) {
  fuzz::check(list != nullptr, "loader returned no list");
  fuzz::check(list->count >= 0 && list->count <= list->capacity, "count outside capacity");
  for (int32_t i = 0; i < list->count; ++i) {
    const tagitem* item = list->items[i];
    fuzz::check(__search_taglist(list, item->tag) == i, "a loaded key is not found at its slot");
    const char* value = get_taglist_default(list, item->tag, "");
    fuzz::check(strcmp(value, item->value) == 0, "lookup gives another value");
    if (list->sorted && i > 0) {
      fuzz::check(strcmp(list->items[i - 1]->tag, item->tag) < 0, "sorted list out of order");
    }
  }
}

// The written form reloads to the same pairs unless a key holds "=", starts
// with "#" or is empty-lined away, or a value holds a line break.
bool dump_is_unambiguous(const taglist* list) {
  for (int32_t i = 0; i < list->count; ++i) {
    const char* tag = list->items[i]->tag;
    const char* value = list->items[i]->value;
    if (strchr(tag, '=') || tag[0] == '#' || strpbrk(tag, "\r\n") || strpbrk(value, "\r\n")) {
      return false;
    }
    // Lines longer than the loader's line limit are split on reading.
    if (strlen(tag) + strlen(value) + 4 > 8190) return false;
  }
  return true;
}

void check_round_trip(const taglist* list) {
  char* dumped = dump_taglist_string(list);
  fuzz::check(dumped != nullptr, "dump failed");
  taglist* again = load_taglist_string(dumped, list->sorted ? 1 : 0);
  check_list(again);
  if (dump_is_unambiguous(list)) {
    fuzz::check(again->count == list->count, "reloaded dump has another number of pairs");
    for (int32_t i = 0; i < list->count; ++i) {
      const tagitem* item = list->items[i];
      int at = __search_taglist(again, item->tag);
      fuzz::check(at >= 0 && strcmp(again->items[at]->value, item->value) == 0,
                  "reloaded dump lost a pair");
    }
  }
  free_taglist(again);
  free(dumped);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // In memory the text ends at its first NUL, as a C string does.
  std::string text(reinterpret_cast<const char*>(data), size);
  for (int sorted = 0; sorted <= 1; ++sorted) {
    taglist* list = load_taglist_string(text.c_str(), sorted);
    check_list(list);
    check_round_trip(list);
    free_taglist(list);
  }

  // One line handed to the parser alone.
  std::vector<char> line(text.begin(), text.begin() + static_cast<long>(strlen(text.c_str())));
  line.push_back('\0');
  free_tagitem(__parse_tagitem(line.data()));

  // The file loader sees every byte, NULs included.
  static const std::string path = fuzz::scratch_path("config");
  fuzz::write_file(path, data, size);
  taglist* from_file = load_taglist_ex(path.c_str(), 1);
  check_list(from_file);
  free_taglist(from_file);
  return 0;
}
