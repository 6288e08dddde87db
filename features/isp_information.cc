#include <cstdlib>
#include <cstring>

#include "features/isp_extension.h"

namespace {

constexpr char kSectionMark[] = "CUSTOM_MESSAGE_NAME";
constexpr size_t kSectionMarkLen = sizeof(kSectionMark) - 1;
constexpr int kMaxSections = 100;
constexpr size_t kSectionBuffer = 1000;

char* copy_range(const char* begin, size_t len) {
  char* out = static_cast<char*>(malloc(len + 1));
  if (out == nullptr) return nullptr;
  memcpy(out, begin, len);
  out[len] = '\0';
  return out;
}

}  // namespace

char* getvalue(const char* text, const char* key) {
  if (text == nullptr || key == nullptr) return nullptr;
  const char* hit = strstr(text, key);
  if (hit == nullptr) return nullptr;
  const char* value = hit + strlen(key);
  const char* end = strstr(value, "\r\n");
  if (end == nullptr) end = strchr(value, '\n');
  if (end == nullptr) end = value + strlen(value);
  return copy_range(value, static_cast<size_t>(end - value));
}

char* getquotedvalue(const char* text, const char* key) {
  char* value = getvalue(text, key);
  if (value != nullptr) {
    size_t len = strlen(value);
    if (len > 0 && value[len - 1] == '"') value[len - 1] = '\0';
  }
  return value;
}

int get_isp_information(const char* text, char** name, char** url, char** apply_now) {
  if (text == nullptr) return 0;
  const char* hits[kMaxSections + 1];
  int count = 0;
  for (const char* p = strstr(text, kSectionMark); p != nullptr && count < kMaxSections;
       p = strstr(p + kSectionMarkLen, kSectionMark)) {
    hits[count++] = p;
  }
  if (count == 0) return 0;
  // The last section ends before the text's final character.
  size_t text_len = strlen(text);
  hits[count] = text + (text_len > 0 ? text_len - 1 : 0);

  char section[kSectionBuffer];
  for (int i = 0; i < count; ++i) {
    size_t len = hits[i + 1] > hits[i] ? static_cast<size_t>(hits[i + 1] - hits[i]) : 0;
    // A section too long for the work buffer is cut, never overflowed.
    if (len > kSectionBuffer - 1) len = kSectionBuffer - 1;
    memcpy(section, hits[i], len);
    section[len] = '\0';
    if (strstr(section, "ISP_DEFAULT_URL=\"") == nullptr) continue;
    if (url) *url = getquotedvalue(section, "\nISP_DEFAULT_URL=\"");
    if (apply_now) *apply_now = getquotedvalue(section, "\nISP_DEFAULT_APPLY_NOW=\"");
    if (name) *name = getquotedvalue(section, "CUSTOM_MESSAGE_NAME=\"");
    return 1;
  }
  return 0;
}
