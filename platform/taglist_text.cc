// The configuration store's text side: the line rules, loading from a file or
// from text in memory, and writing a list back out.
#include <cstdlib>
#include <cstring>

#include "platform/owned.h"
#include "platform/taglist.h"

namespace {

// Longest piece of a line taken at once; a longer line continues as the next line.
constexpr size_t kMaxLine = 8191;

taglist* new_list(int sorted) {
  taglist* list = create_taglist();
  if (list != nullptr && sorted) sort_taglist(list);
  return list;
}

bool is_break(char c) { return c == '\r' || c == '\n'; }

}  // namespace

tagitem* __parse_tagitem(char* line) {
  if (line == nullptr || line[0] == '\0' || line[0] == '#') return nullptr;
  size_t n = strlen(line);
  while (n > 0 && is_break(line[n - 1])) line[--n] = '\0';
  if (n > 0 && line[n - 1] == '"') line[--n] = '\0';
  char* eq = strchr(line, '=');
  if (eq == nullptr) return nullptr;
  *eq = '\0';
  char* value = eq + 1;
  if (*value == '"') ++value;
  return create_tagitem(line, value);
}

taglist* load_taglist_ex(const char* path, int sorted) {
  taglist* list = new_list(sorted);
  if (list == nullptr || path == nullptr) return list;
  owned_file file(fopen(path, "re"));
  if (!file) return list;
  char line[kMaxLine + 1];
  for (;;) {
    line[0] = '\0';
    if (fgets(line, sizeof line, file.get()) == nullptr) break;
    insert_taglist(list, __parse_tagitem(line));
  }
  return list;
}

taglist* load_taglist_string(const char* text, int sorted) {
  taglist* list = new_list(sorted);
  if (list == nullptr || text == nullptr) return list;
  char line[kMaxLine + 1];
  const char* p = text;
  // Blank lines before the first setting are skipped like any other blank line.
  p += strspn(p, "\r\n");
  while (*p != '\0') {
    size_t run = strcspn(p, "\r\n");
    size_t take = run < kMaxLine ? run : kMaxLine;
    memcpy(line, p, take);
    line[take] = '\0';
    insert_taglist(list, __parse_tagitem(line));
    p += take;
    if (take == run) p += strspn(p, "\r\n");
  }
  return list;
}

void dump_taglist(const taglist* list, FILE* out) {
  if (list == nullptr || out == nullptr) return;
  for (int32_t i = 0; i < list->count; ++i) {
    fprintf(out, "%s=\"%s\"\n", list->items[i]->tag, list->items[i]->value);
  }
}

int save_taglist(const taglist* list, const char* path) {
  if (path == nullptr) return 0;
  FILE* out = fopen(path, "we");
  if (out == nullptr) return 0;
  dump_taglist(list, out);
  // A full disk must not look like a saved configuration.
  bool failed = ferror(out) != 0;
  if (fclose(out) != 0) failed = true;
  return failed ? 0 : 1;
}

char* dump_taglist_string(const taglist* list) {
  size_t length = 1;
  int32_t count = list ? list->count : 0;
  for (int32_t i = 0; i < count; ++i) {
    length += strlen(list->items[i]->tag) + strlen(list->items[i]->value) + 4;
  }
  auto* text = static_cast<char*>(malloc(length));
  if (text == nullptr) return nullptr;
  char* end = text;
  for (int32_t i = 0; i < count; ++i) {
    const tagitem* item = list->items[i];
    size_t tag_len = strlen(item->tag);
    size_t value_len = strlen(item->value);
    memcpy(end, item->tag, tag_len);
    end += tag_len;
    *end++ = '=';
    *end++ = '"';
    memcpy(end, item->value, value_len);
    end += value_len;
    *end++ = '"';
    *end++ = '\n';
  }
  *end = '\0';
  return text;
}
