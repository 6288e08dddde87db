// Reading and writing files at names that other users of the device can
// reach (a shared /tmp, a spool directory).
//
// A write never goes through whatever sits at the name: the bytes go into a
// fresh temporary file beside it (mkstemp, so a new inode only this process
// holds), and rename() puts that file in place. A link, FIFO or file that
// someone planted at the name is replaced, never written through.
//
// A read never follows a link and never blocks: the name is opened with
// O_NOFOLLOW|O_NONBLOCK and used only when fstat() shows a regular file.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

// A file being written beside its final name; commit() puts it in place.
// Destroyed without a successful commit(), it removes the temporary file and
// leaves the name as it was.
class replacement_file {
 public:
  // Creates the temporary file beside path with the given mode.
  replacement_file(const std::string& path, mode_t mode);
  ~replacement_file();
  replacement_file(const replacement_file&) = delete;
  replacement_file& operator=(const replacement_file&) = delete;

  bool is_open() const { return fd_ >= 0; }
  // Appends bytes; false (and every later write and commit fail) on a
  // short write, a full disk included.
  bool write(const void* data, size_t size);
  // fsync(), close, then rename() over the final name. false leaves the
  // name untouched.
  bool commit();

 private:
  std::string path_;
  std::string temp_path_;
  int fd_ = -1;
  bool failed_ = false;
};

// Writes bytes to path as a whole new file. true when it is in place.
bool replace_file(const std::string& path, const void* data, size_t size, mode_t mode);

// Opens path for reading when it is a regular file, without following a
// link and without blocking on a FIFO. The descriptor is close-on-exec and
// in blocking mode. -1 when it cannot be opened or is not a regular file
// (errno ELOOP for a link, EINVAL for anything else that is no regular file).
int open_regular_file(const char* path);

// What read_regular_file() found.
enum class file_read {
  ok,
  unreadable,   // missing, or cannot be opened or read
  not_regular,  // a link, FIFO, socket, device or directory
  too_big,      // larger than the limit: nothing is read
  stopped,      // the agent is stopping: the read was given up
};

// The whole of a regular file, opened with open_regular_file(), into *out:
// at most max bytes (a larger file is not read at all), and given up as
// soon as a stop is requested. *out is left empty unless the result is ok.
file_read read_regular_file(const char* path, size_t max, std::string* out);
