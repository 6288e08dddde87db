#include "features/event_record.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

struct file_closer {
  void operator()(FILE* f) const { fclose(f); }
};

}  // namespace

bool read_event_record(const char* path, event_record* out) {
  if (path == nullptr || out == nullptr) return false;
  std::unique_ptr<FILE, file_closer> f(fopen(path, "rbe"));
  if (!f) return false;
  memset(out, 0, sizeof(*out));
  size_t got = fread(out, 1, sizeof(*out), f.get());
  (void)got;
  out->content[sizeof(out->content) - 1] = '\0';
  return true;
}
