#include "https/https_parsers.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "https/https_request.h"
#include "platform/owned.h"
#include "platform/safe_file.h"

namespace {

// A descriptor owned for the length of a parse.
struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) close(fd);
  }
};


// The answer read in pieces of at most kAnswerLineMax bytes: a line, line
// feed included, or a part of a longer line. Memory stays bounded whatever
// the tool left in the file; NUL bytes are kept.
class LineReader {
 public:
  explicit LineReader(FILE* f) : f_(f) {}

  // false at the end of the file, or when it cannot be read further.
  bool next() {
    line_start_ = ended_line_;
    len_ = 0;
    int c;
    while (len_ < sizeof(buf_) && (c = getc(f_)) != EOF) {
      buf_[len_++] = static_cast<char>(c);
      if (c == '\n') break;
    }
    ended_line_ = len_ > 0 && buf_[len_ - 1] == '\n';
    total_ += len_;
    return len_ > 0;
  }
  const char* data() const { return buf_; }
  size_t size() const { return len_; }
  // The file could not be read to its end.
  bool failed() const { return ferror(f_) != 0; }
  // Bytes read so far, status line included.
  size_t total() const { return total_; }
  // Only a piece that begins a line can begin with a marker.
  bool starts_with(const char* prefix) const {
    size_t n = strlen(prefix);
    return line_start_ && len_ >= n && memcmp(buf_, prefix, n) == 0;
  }
  // The piece as a NUL-terminated text (for the status line).
  std::string text() const { return std::string(buf_, strnlen(buf_, len_)); }

 private:
  FILE* f_;
  char buf_[kAnswerLineMax];
  size_t len_ = 0;
  size_t total_ = 0;
  bool line_start_ = true;
  bool ended_line_ = true;
};

void set_code(int* code, int value) {
  if (code != nullptr) *code = value;
}

// The mode of a new configuration file. It holds keys, so it is for the
// agent alone (0600). The file it replaces may narrow that, but only when
// it is the agent's own regular file: the name may lie in a directory
// other users can write, and a file or link one of them put there must
// lend the configuration neither its mode nor a wider one.
mode_t config_mode(const char* path) {
  struct stat st;
  if (lstat(path, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid()) {
    return st.st_mode & 0600;
  }
  return 0600;
}

// The configuration answer, all or nothing: copied into a new file beside
// path up to its "ENDOFFILE" line or the end of the answer (a server may
// leave the marker out), and put in place only when every byte reached the
// disk. An oversized, unreadable or unwritable answer leaves path exactly
// as it was, so a retry uploads the device's own configuration again and
// never half a text. A transfer cut short never gets here: the fetch tool
// then fails and no answer is parsed.
bool replace_config(LineReader& lines, const char* path) {
  replacement_file out(path, config_mode(path));
  if (!out.is_open()) return false;
  while (lines.next()) {
    if (lines.starts_with("ENDOFFILE")) break;
    if (lines.total() > kConfigAnswerMax) return false;
    if (!out.write(lines.data(), lines.size())) return false;
  }
  return !lines.failed() && out.commit();
}

// The extension text: copied unchanged, cut after kExtensionTextMax bytes
// (the text holds at most 100 short sections, far less than that).
bool copy_extension(LineReader& lines, const char* path) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  owned_file out(fdopen(fd, "w"));
  if (!out) {
    close(fd);
    return false;
  }
  bool ok = true;
  size_t copied = 0;
  while (copied < kExtensionTextMax && lines.next()) {
    size_t room = kExtensionTextMax - copied;
    size_t n = lines.size() < room ? lines.size() : room;
    if (fwrite(lines.data(), 1, n, out.get()) != n) ok = false;
    copied += n;
  }
  if (fclose(out.release()) != 0) ok = false;
  return ok;
}

// The parsers' common frame: open the output file (a regular file only,
// never through a link, never blocking), read its status line, let
// handle() judge it and read the rest, then close and delete the file.
// When the file cannot be opened the code keeps its value.
template <typename Handler>
int parse_output(const char* output_path, Handler handle) {
  int result = 0;
  {
    FdCloser fd{open_regular_file(output_path)};
    owned_file in(fd.fd >= 0 ? fdopen(fd.fd, "r") : nullptr);
    if (in) {
      fd.fd = -1;  // the stream owns it now
      LineReader lines(in.get());
      lines.next();  // an empty file reads as an empty status line
      result = handle(lines);
    }
  }
  unlink(output_path);
  return result;
}

}  // namespace

int https_status_code(const char* status_line) {
  if (status_line == nullptr) return HTTPS_CODE_NO_NUMBER;
  long v = strtol(status_line, nullptr, 10);
  if (v > INT_MAX) v = INT_MAX;
  if (v < INT_MIN) v = INT_MIN;
  return v == 0 ? HTTPS_CODE_NO_NUMBER : static_cast<int>(v);
}

int vantor_https_parse_response(const char* output_path, int* code) {
  if (output_path == nullptr) return 0;
  return parse_output(output_path, [code](LineReader& lines) {
    if (lines.starts_with("200")) {
      set_code(code, HTTPS_CODE_OK);
      return 1;
    }
    set_code(code, https_status_code(lines.text().c_str()));
    return 0;
  });
}

int vantor_https_parse_extension(const char* output_path, const char* result_path, int* code) {
  if (output_path == nullptr || result_path == nullptr) return 0;
  return parse_output(output_path, [&](LineReader& lines) {
    if (lines.starts_with("200")) {
      set_code(code, HTTPS_CODE_OK);
      return 1;
    }
    if (lines.starts_with("302")) {
      set_code(code, HTTPS_CODE_FOUND);
      return copy_extension(lines, result_path) ? 1 : 0;
    }
    set_code(code, https_status_code(lines.text().c_str()));
    return 0;
  });
}

int vantor_https_parse_config(const char* output_path, const char* config_path, int* code) {
  if (output_path == nullptr || config_path == nullptr) return 0;
  return parse_output(output_path, [&](LineReader& lines) {
    if (lines.starts_with("200")) {
      set_code(code, HTTPS_CODE_OK);  // the server has nothing newer
      return 1;
    }
    if (lines.starts_with("301") || lines.starts_with("302")) {
      set_code(code, lines.starts_with("301") ? HTTPS_CODE_MOVED : HTTPS_CODE_FOUND);
      return replace_config(lines, config_path) ? 1 : 0;
    }
    set_code(code, https_status_code(lines.text().c_str()));
    return 0;
  });
}
