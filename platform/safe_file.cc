#include "platform/safe_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <vector>

#include "platform/stop.h"

replacement_file::replacement_file(const std::string& path, mode_t mode) : path_(path) {
  std::vector<char> name(path.begin(), path.end());
  static const char kSuffix[] = ".XXXXXX";
  name.insert(name.end(), kSuffix, kSuffix + sizeof(kSuffix));  // NUL included
  fd_ = mkostemp(name.data(), O_CLOEXEC);
  if (fd_ < 0) return;
  temp_path_.assign(name.data());
  if (fchmod(fd_, mode) != 0) failed_ = true;
}

replacement_file::~replacement_file() {
  if (fd_ >= 0) close(fd_);
  if (!temp_path_.empty()) unlink(temp_path_.c_str());
}

bool replacement_file::write(const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (!failed_ && size > 0) {
    if (fd_ < 0) {
      failed_ = true;
      break;
    }
    ssize_t n = ::write(fd_, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed_ = true;
      break;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return !failed_;
}

bool replacement_file::commit() {
  if (fd_ < 0 || failed_) return false;
  // On the device a power cut must leave the old file or the new one,
  // never an empty name: the data reach the disk before the rename.
  bool ok = fsync(fd_) == 0;
  if (close(fd_) != 0) ok = false;
  fd_ = -1;
  if (!ok || rename(temp_path_.c_str(), path_.c_str()) != 0) return false;
  temp_path_.clear();
  return true;
}

bool replace_file(const std::string& path, const void* data, size_t size, mode_t mode) {
  replacement_file file(path, mode);
  return file.write(data, size) && file.commit();
}

int open_regular_file(const char* path) {
  if (path == nullptr) return -1;
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

namespace {

file_read read_all(int fd, size_t max, std::string* out) {
  struct stat st;
  if (fstat(fd, &st) != 0) return file_read::unreadable;
  if (static_cast<unsigned long long>(st.st_size) > max) return file_read::too_big;
  // Read to the end rather than trusting the size: the file may still
  // grow, and then the limit counts what was read.
  out->reserve(static_cast<size_t>(st.st_size));
  char chunk[16384];
  for (;;) {
    if (vt_stop_requested()) return file_read::stopped;
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return file_read::unreadable;
    if (n == 0) return file_read::ok;
    if (static_cast<size_t>(n) > max - out->size()) return file_read::too_big;
    out->append(chunk, static_cast<size_t>(n));
  }
}

}  // namespace

file_read read_regular_file(const char* path, size_t max, std::string* out) {
  out->clear();
  int fd = open_regular_file(path);
  if (fd < 0) {
    // ENXIO: a socket, which cannot be opened at all.
    bool odd = errno == EINVAL || errno == ELOOP || errno == ENXIO;
    return odd ? file_read::not_regular : file_read::unreadable;
  }
  file_read result;
  try {
    result = read_all(fd, max, out);
  } catch (const std::bad_alloc&) {
    result = file_read::unreadable;
  }
  close(fd);
  if (result != file_read::ok) std::string().swap(*out);
  return result;
}
