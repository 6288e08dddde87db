#include "features/shell_word.h"

#include <cstring>

std::string shell_quote(const char* text) {
  std::string out = "'";
  for (const char* p = text ? text : ""; *p != '\0'; ++p) {
    if (*p == '\'') {
      out += "'\\''";
    } else {
      out += *p;
    }
  }
  out += '\'';
  return out;
}

bool shell_append_word(char* buffer, size_t size, const char* text) {
  if (buffer == nullptr || size == 0) return false;
  std::string word = shell_quote(text);
  size_t used = strnlen(buffer, size);
  if (used >= size || used + 1 + word.size() + 1 > size) return false;
  buffer[used] = ' ';
  memcpy(buffer + used + 1, word.data(), word.size());
  buffer[used + 1 + word.size()] = '\0';
  return true;
}
