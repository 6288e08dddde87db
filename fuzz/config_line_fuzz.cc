// Fuzzes the configuration loaders with arbitrary text: from memory
// (load_taglist_string), from a file (load_taglist_ex) and one line through
// __parse_tagitem.
//
// Beyond "no crash, no leak" it checks what every reader of the store relies
// on: each loaded key is found again with its value, and a sorted list is in
// strictly ascending key order.
#include <cstdint>
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
    fuzz::check(strcmp(get_taglist_default(list, item->tag, ""), item->value) == 0, "lookup gives another value");
    fuzz::check(!list->sorted || i == 0 || strcmp(list->items[i - 1]->tag, item->tag) < 0, "sorted list out of order");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // In memory the text ends at its first NUL, as a C string does.
  std::string text(reinterpret_cast<const char*>(data), size);
  for (int sorted = 0; sorted <= 1; ++sorted) {
    taglist* list = load_taglist_string(text.c_str(), sorted);
    check_list(list);
    free_taglist(list);
  }
  std::vector<char> line(text.c_str(), text.c_str() + strlen(text.c_str()) + 1);
  free_tagitem(__parse_tagitem(line.data()));
  // The file loader sees every byte, NULs included.
  static const std::string path = fuzz::scratch_path("config");
  fuzz::write_file(path, data, size);
  taglist* from_file = load_taglist_ex(path.c_str(), 1);
  check_list(from_file);
  free_taglist(from_file);
  return 0;
}
