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
#include <system_error>

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
  return log_level_names[index < 8 ? index : unsigned{VT_LOG_INFO}];
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

// A whole line (prefix and message) of the logger's own.
std::string own_line(int level, const char* format, ...) VT_LOG_PRINTF(2, 3);
std::string own_line(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string line = format_line(level, format, args);
  va_end(args);
  return line;
}

std::string error_text(int error) { return std::error_code(error, std::generic_category()).message(); }

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

// The live log opened for appending: the agent's own regular file with one
// name. Called with log_mutex held, so no open may ever wait: the path lies
// in a directory other users can write, and a FIFO there would otherwise
// block every thread that logs. nullptr when the name holds anything else
// or cannot be opened.
FILE* open_own_log(const std::string& path, int flags) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | flags,
                0644);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != geteuid()) {
    close(fd);
    return nullptr;
  }
  FILE* file = fdopen(fd, "a");
  if (file == nullptr) close(fd);
  return file;
}

// Why the log is not where it should be, once per spell on standard error:
// the reason last written, "" while the log file is in use.
std::string reported_fallback;

// The live log file, or standard error when it cannot be had. The log is
// never appended to a file the agent does not own, nor through a link or a
// second name of another file: another user could read and rewrite
// whatever it says. A name that another user holds (a file put there
// before the start or in the gap after a rotation, a link, a FIFO), and a
// second name of the agent's own file, are replaced by a new file of the
// agent's own, which root may do even in a sticky /tmp: a name that
// someone planted must not silence the log for good. Only when it cannot
// be replaced (a directory; an agent not running as root) do the lines go
// to standard error, after one line saying why. A device, or a link or
// FIFO of the agent's own user, was put there on purpose (/dev/stderr, for
// one): the lines go to standard error, as for a path that cannot be
// written.
// *replaced tells what the replaced name was.
FILE* __udp_client_log_open(const std::string& path, std::string* replaced) {
  FILE* file = open_own_log(path, 0);
  if (file != nullptr) {
    reported_fallback.clear();
    return file;
  }
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return stderr;  // an unwritable path
  // No user can make a device: one at the name was configured so.
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return stderr;
  bool ours = st.st_uid == geteuid();
  bool second_name = S_ISREG(st.st_mode) && st.st_nlink != 1;
  if (ours && !second_name && !S_ISDIR(st.st_mode)) return stderr;
  std::string what = ours ? "a second name of another file" : "held by uid " + std::to_string(st.st_uid);
  if (S_ISDIR(st.st_mode)) {
    what = "a directory of uid " + std::to_string(st.st_uid);
  } else if (unlink(path.c_str()) != 0) {
    what += " and cannot be replaced (" + error_text(errno) + ")";
  } else if ((file = open_own_log(path, O_EXCL)) != nullptr) {
    *replaced = what;
    reported_fallback.clear();
    return file;
  } else {
    what += ", and a new file cannot be made there (" + error_text(errno) + ")";
  }
  if (what != reported_fallback) {
    reported_fallback = what;
    write_line(stderr,
               own_line(VT_LOG_WARN, "Log file %s is %s: logging to standard error", path.c_str(), what.c_str()));
  }
  return stderr;
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

bool vt_log_writes_debug(vantor_log_func log) {
  return log != __udp_client_log || debug_mode.load(std::memory_order_relaxed) != 0;
}

extern "C" int __udp_client_log(int level, const char* format, ...) {
  // Debug lines are dropped before the lock: they are the most frequent ones.
  if (level == VT_LOG_DEBUG && debug_mode.load(std::memory_order_relaxed) == 0) return 0;

  std::lock_guard<std::mutex> lock(log_mutex);
  const bool enabled = log_enable.load(std::memory_order_relaxed) != 0;
  // Error lines are kept for the status snapshot even while logging is off.
  const bool error = level >= 0 && level <= VT_LOG_ERR;
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
  std::string replaced;
  FILE* out = __udp_client_log_open(path, &replaced);
  if (!replaced.empty()) {
    write_line(out, own_line(VT_LOG_WARN, "Log file %s was %s: replaced", path.c_str(), replaced.c_str()));
  }
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
