#include "https/https_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "platform/owned.h"

FILE* https_create_private_file(const char* path) {
  if (path == nullptr || path[0] == '\0') return nullptr;
  // The names are fixed and live in a world-writable directory: refuse to
  // write through a link someone planted there, and keep the content (the
  // device's identity, its configuration) private.
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return nullptr;
  }
  // A file left by an earlier run may carry a wider mode.
  fchmod(fd, 0600);
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  FILE* f = fdopen(fd, "w");
  if (f == nullptr) close(fd);
  return f;
}

int writeMulitpartHeader(const char* path) {
  owned_file f(https_create_private_file(path));
  if (!f) return 0;
  size_t n = sizeof(kMultipartHeaderLine) - 1;
  bool ok = fwrite(kMultipartHeaderLine, 1, n, f.get()) == n;
  return (fclose(f.release()) == 0 && ok) ? 1 : 0;
}
