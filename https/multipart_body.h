// Building the multipart/form-data bodies of the HTTPS requests: one fixed
// boundary, CRLF line ends, values and file bytes inserted unchanged.
// Nothing is escaped, not even a file that happens to hold the boundary
// text: the management server reads the bodies exactly this way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "https/https_request.h"

// "---------------------------7d38f60708\r\n": the boundary of the header
// line with two more dashes, as multipart encoding requires.
constexpr const char kMultipartDelimiter[] = "---------------------------7d38f60708\r\n";
constexpr const char kMultipartClosing[] = "---------------------------7d38f60708--\r\n";

class MultipartBody {
 public:
  // A text part: delimiter, name line, empty line, value, CRLF.
  void text(const std::string& name, const std::string& value);
  // A file part with a file name and a Content-Type line, then the bytes.
  // The part ends with the closing of the body (close_after_file()).
  void file(const std::string& name, const std::string& filename, const std::string& type,
            const char* bytes, size_t size);
  // A part with neither file name nor Content-Type, holding raw bytes.
  void raw(const std::string& name, const char* bytes, size_t size);
  // Closing after text parts only: the closing delimiter alone.
  void close_after_text();
  // Closing after a file or raw part: CRLF, then the closing delimiter.
  void close_after_file();

  // serial, model, variant, version and the time: the head of most bodies.
  void common_head(const https_request& request, int64_t now);
  // serial, model, variant and version only.
  void identity(const https_request& request);

  const std::string& data() const { return data_; }

 private:
  std::string data_;
};

// A NUL-terminated text held in a fixed-size field, read without running
// past the field when it lacks its NUL.
std::string field_text(const char* field, size_t size);
