#include "https/https_parsers.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "https/https_request.h"

namespace {

struct FileCloser {
  void operator()(FILE* f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// One line of a file, line feed included, NUL bytes kept.
class LineReader {
 public:
  explicit LineReader(FILE* f) : f_(f) {}
  ~LineReader() { free(buf_); }
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // false at the end of the file.
  bool next() {
    ssize_t n = getline(&buf_, &cap_, f_);
    if (n < 0) {
      // At the end getline() may leave its buffer as it found it: read as "".
      if (buf_ != nullptr) buf_[0] = '\0';
      len_ = 0;
      return false;
    }
    len_ = static_cast<size_t>(n);
    return true;
  }
  const char* data() const { return buf_ ? buf_ : ""; }
  size_t size() const { return len_; }
  bool starts_with(const char* prefix) const {
    size_t n = strlen(prefix);
    return len_ >= n && memcmp(buf_, prefix, n) == 0;
  }

 private:
  FILE* f_;
  char* buf_ = nullptr;
  size_t cap_ = 0;
  size_t len_ = 0;
};

void set_code(int* code, int value) {
  if (code != nullptr) *code = value;
}

// Copies the rest of the answer into path; stops before a line that begins
// with stop_marker when one is given. false when path cannot be written.
bool copy_body(LineReader& lines, const char* path, const char* stop_marker) {
  FilePtr out(fopen(path, "we"));
  if (!out) return false;
  bool ok = true;
  while (lines.next()) {
    if (stop_marker != nullptr && lines.starts_with(stop_marker)) break;
    if (fwrite(lines.data(), 1, lines.size(), out.get()) != lines.size()) ok = false;
  }
  // A configuration cut short by a full disk must not count as received.
  if (fclose(out.release()) != 0) ok = false;
  return ok;
}

// The parsers' common frame: open the output file, read its status line,
// let handle() judge it and read the rest, then close and delete the file.
// When the file cannot be opened the code keeps its value.
template <typename Handler>
int parse_output(const char* output_path, Handler handle) {
  int result = 0;
  {
    FilePtr in(fopen(output_path, "re"));
    if (in) {
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
    set_code(code, https_status_code(lines.data()));
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
      return copy_body(lines, result_path, nullptr) ? 1 : 0;
    }
    set_code(code, https_status_code(lines.data()));
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
      return copy_body(lines, config_path, "ENDOFFILE") ? 1 : 0;
    }
    set_code(code, https_status_code(lines.data()));
    return 0;
  });
}
