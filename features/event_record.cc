#include "features/event_record.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/safe_file.h"

bool read_event_record(const char* path, event_record* out) {
  if (path == nullptr || out == nullptr) return false;
  // The spool is shared with other programs: a link or a FIFO put there
  // is not an event and is never followed or waited on.
  int fd = open_regular_file(path);
  if (fd < 0) return false;
  memset(out, 0, sizeof(*out));
  size_t got = 0;
  while (got < sizeof(*out)) {
    ssize_t n = read(fd, reinterpret_cast<char*>(out) + got, sizeof(*out) - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  out->content[sizeof(out->content) - 1] = '\0';
  return true;
}
