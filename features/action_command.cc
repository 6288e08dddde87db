#include "features/action_command.h"

#include <cstring>
#include <string>

#include "features/shell_word.h"

bool __udp_client_build_action_command(char* buffer, size_t size, const char* command, int count,
                                       const vantor_udp_client_action_entry* entries) {
  if (buffer == nullptr || size == 0) return false;
  buffer[0] = '\0';
  size_t len = strlen(command ? command : "");
  if (len + 1 > size) return false;
  memcpy(buffer, command ? command : "", len + 1);
  for (int i = 0; i < count && entries != nullptr; ++i) {
    // The text is NUL-terminated within its field; never read past it.
    std::string text(entries[i].text, strnlen(entries[i].text, sizeof(entries[i].text)));
    if (!shell_append_word(buffer, size, text.c_str())) {
      buffer[0] = '\0';
      return false;
    }
  }
  return true;
}
