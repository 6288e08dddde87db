// The daemon logger, the channel library's default logger and the log settings.
#include "platform/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <optional>

#include "platform/clock.h"
#include "platform/paths.h"

extern "C" const char log_level_names[8][10] = {"emerg",  "alert", "crit", "err",
                                                "warn",   "notice", "info", "debug"};

std::atomic<int> log_enable{1};
std::atomic<uint32_t> log_file_size{16384};
std::atomic<int16_t> log_file_count{4};
std::atomic<int> debug_mode{0};

namespace {

// Serialises the daemon logger's open-write-close-rotate sequence and guards
// the live path. May be taken while any other lock is held, never the reverse.
std::mutex log_mutex;
std::optional<std::string> configured_path;  // unset = the default path

const char* level_name(int level) {
  unsigned index = static_cast<unsigned>(level);
  return log_level_names[index < 8 ? index : 6];
}

// The latest error-level message, for the status snapshot. Guarded by log_mutex.
constexpr size_t kKeptErrorLength = 256;
log_error_line last_error;

// Prefix and message as one text, without the closing newline; *message_start
// (when given) gets the offset of the message.
std::string format_line(int level, const char* format, va_list args,
                        size_t* message_start = nullptr) {
  char when[60];
  time_t now = vt_time();
  struct tm local;
  if (localtime_r(&now, &local) == nullptr ||
      strftime(when, sizeof when, "%a %b %d %T %Z %Y", &local) == 0) {
    when[0] = '\0';
  }
  char prefix[128];
  int prefix_len = snprintf(prefix, sizeof prefix, "[%s] [%05d] [%s] ", when,
                            static_cast<int>(getpid()), level_name(level));
  std::string line(prefix, prefix_len > 0 ? static_cast<size_t>(prefix_len) : 0);
  if (message_start) *message_start = line.size();

  va_list measure;
  va_copy(measure, args);
  int message_len = vsnprintf(nullptr, 0, format ? format : "", measure);
  va_end(measure);
  if (message_len > 0) {
    size_t start = line.size();
    line.resize(start + static_cast<size_t>(message_len) + 1);
    vsnprintf(&line[start], static_cast<size_t>(message_len) + 1, format, args);
    line.resize(start + static_cast<size_t>(message_len));
  }
  return line;
}

// Writes the line and its newline in one call, so the stream's own lock
// keeps it whole against every other writer of the stream.
void write_line(FILE* out, std::string line) {
  line.push_back('\n');
  fwrite(line.data(), 1, line.size(), out);
  fflush(out);
}

std::string live_path_locked() {
  return configured_path ? *configured_path : default_log_file_path();
}

// The live log file opened for appending, or standard error when it cannot
// be opened. Called with log_mutex held, so the open must never wait: the
// path lies in a directory other users can write, and a FIFO there would
// otherwise block every thread that logs. A link, a FIFO, a device or a
// second name of another file (a hard link) is not the log: the line goes
// to standard error instead, and nothing is written through that name.
FILE* __udp_client_log_open(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                0644);
  if (fd < 0) return stderr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    close(fd);
    return stderr;
  }
  FILE* file = fdopen(fd, "a");
  if (file == nullptr) {
    close(fd);
    return stderr;
  }
  return file;
}

// Moves copy i-1 to copy i from the oldest kept copy down, then the live file
// to copy 0. Missing copies are simply skipped. Called with log_mutex held.
void rotate_locked(const std::string& path) {
  int count = log_file_count.load(std::memory_order_relaxed);
  for (int i = count - 1; i >= 1; --i) {
    std::string from = path + "." + std::to_string(i - 1);
    std::string to = path + "." + std::to_string(i);
    rename(from.c_str(), to.c_str());
  }
  rename(path.c_str(), (path + ".0").c_str());
}

}  // namespace

log_error_line get_last_error_line() {
  std::lock_guard<std::mutex> lock(log_mutex);
  return last_error;
}

std::string default_log_file_path() { return system_path("/tmp/udp_client.log"); }

void set_log_file_path(const char* path) {
  std::lock_guard<std::mutex> lock(log_mutex);
  if (path) {
    configured_path = path;
  } else {
    configured_path.reset();
  }
}

std::string get_log_file_path() {
  std::lock_guard<std::mutex> lock(log_mutex);
  return live_path_locked();
}

void reset_log_settings() {
  log_enable = 1;
  log_file_size = 16384;
  log_file_count = 4;
  debug_mode = 0;
  set_log_file_path(nullptr);
}

extern "C" int __udp_client_log(int level, const char* format, ...) {
  // Debug lines are dropped before the lock: they are the most frequent ones.
  if (level == 7 && debug_mode.load(std::memory_order_relaxed) == 0) return 0;

  std::lock_guard<std::mutex> lock(log_mutex);
  const bool enabled = log_enable.load(std::memory_order_relaxed) != 0;
  // Error lines are kept for the status snapshot even while logging is off.
  const bool error = level >= 0 && level <= 3;
  if (!enabled && !error) return 0;

  va_list args;
  va_start(args, format);
  size_t message_start = 0;
  std::string line = format_line(level, format, args, &message_start);
  va_end(args);
  if (error) {
    ++last_error.count;
    last_error.when = vt_time();
    last_error.message.assign(line, message_start, kKeptErrorLength);
  }
  if (!enabled) return 0;
  int written = static_cast<int>(line.size());

  std::string path = live_path_locked();
  FILE* out = __udp_client_log_open(path);
  write_line(out, std::move(line));
  if (out == stderr || out == stdout) return written;

  long size = ftell(out);
  fclose(out);
  uint32_t limit = log_file_size.load(std::memory_order_relaxed);
  if (limit != 0 && size >= 0 && static_cast<unsigned long>(size) >= limit) rotate_locked(path);
  return written;
}

extern "C" int __vantor_udp_client_default_log(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string line = format_line(level, format, args);
  va_end(args);
  int written = static_cast<int>(line.size());

  flockfile(stderr);
  write_line(stderr, std::move(line));
  funlockfile(stderr);
  return written;
}
