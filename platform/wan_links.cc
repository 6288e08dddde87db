// The router's WAN links and the interface that carries each.
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/identity.h"
#include "platform/paths.h"
#include "platform/taglist.h"

namespace {

constexpr unsigned kMaxWan = 100;
constexpr size_t kNameLength = 19;

// Slot i holds the interface name of WAN link i; each call rewrites one slot.
std::mutex interface_mutex;
char interface_table[kMaxWan][kNameLength + 1];
const char kNoInterface[] = "";

}  // namespace

int get_wancount() {
  int count = 1;
  FILE* file = fopen(system_path("/etc/TRELL_wanno").c_str(), "re");
  if (file != nullptr) {
    if (fscanf(file, "%d", &count) != 1) count = 1;
    fclose(file);
  }
  return count;
}

const char* get_connection_interface(unsigned int wan) {
  if (wan >= kMaxWan) return kNoInterface;
  char path[256];
  snprintf(path, sizeof path, "/var/run/wanmon/wan%u/status", wan);
  taglist_ptr status(load_taglist_ex(system_path(path).c_str(), 1));
  char* slot = interface_table[wan];
  std::lock_guard<std::mutex> lock(interface_mutex);
  if (!status) return slot;
  if (strcmp(get_taglist_default(status.get(), "CONN_STATUS", ""), "connected") == 0) {
    bool gre = strcmp(get_taglist_default(status.get(), "CONN_METHOD", ""), "gre") == 0;
    const char* name = get_taglist_default(status.get(), gre ? "TUN_VIRDEV" : "CONN_LOGDEV", "");
    strncpy(slot, name, kNameLength);
    slot[kNameLength] = '\0';
  } else {
    slot[0] = '\0';
  }
  return slot;
}
