#include "features/shell_word.h"

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
