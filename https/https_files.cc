#include "https/https_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct FileCloser {
  void operator()(FILE* f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

}  // namespace

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
  FilePtr f(https_create_private_file(path));
  if (!f) return 0;
  size_t n = sizeof(kMultipartHeaderLine) - 1;
  bool ok = fwrite(kMultipartHeaderLine, 1, n, f.get()) == n;
  return (fclose(f.release()) == 0 && ok) ? 1 : 0;
}

char* readFileEx(const char* path, size_t* size) {
  if (path == nullptr) return nullptr;
  FilePtr f(fopen(path, "rbe"));
  if (!f) return nullptr;
  // Read to the end rather than trusting the size up front: the file may be
  // a pipe or may still be growing.
  size_t cap = 4096, len = 0;
  char* buf = static_cast<char*>(malloc(cap));
  if (buf == nullptr) return nullptr;
  for (;;) {
    if (len + 1 >= cap) {
      char* bigger = static_cast<char*>(realloc(buf, cap * 2));
      if (bigger == nullptr) {
        free(buf);
        return nullptr;
      }
      buf = bigger;
      cap *= 2;
    }
    size_t got = fread(buf + len, 1, cap - 1 - len, f.get());
    len += got;
    if (got == 0) break;
  }
  if (ferror(f.get())) {
    free(buf);
    return nullptr;
  }
  buf[len] = '\0';
  if (size != nullptr) *size = len;
  return buf;
}

char* readfile(const char* path) { return readFileEx(path, nullptr); }
