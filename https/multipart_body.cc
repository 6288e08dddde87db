#include "https/multipart_body.h"

#include <cstring>

std::string field_text(const char* field, size_t size) {
  return std::string(field, strnlen(field, size));
}

void MultipartBody::text(const std::string& name, const std::string& value) {
  data_ += kMultipartDelimiter;
  data_ += "Content-Disposition: form-data; name=\"" + name + "\"\r\n\r\n";
  data_ += value;
  data_ += "\r\n";
}

void MultipartBody::file(const std::string& name, const std::string& filename,
                         const std::string& type, const char* bytes, size_t size) {
  data_ += kMultipartDelimiter;
  data_ +=
      "Content-Disposition: form-data; name=\"" + name + "\"; filename=\"" + filename + "\"\r\n";
  data_ += "Content-Type: " + type + "\r\n\r\n";
  if (bytes != nullptr) data_.append(bytes, size);
}

void MultipartBody::raw(const std::string& name, const char* bytes, size_t size) {
  data_ += kMultipartDelimiter;
  data_ += "Content-Disposition: form-data; name=\"" + name + "\"\r\n\r\n";
  if (bytes != nullptr) data_.append(bytes, size);
}

void MultipartBody::close_after_text() { data_ += kMultipartClosing; }

void MultipartBody::close_after_file() {
  data_ += "\r\n";
  data_ += kMultipartClosing;
}

void MultipartBody::identity(const https_request& request) {
  text("serial", field_text(request.serial, sizeof(request.serial)));
  text("model", field_text(request.model, sizeof(request.model)));
  text("variant", field_text(request.variant, sizeof(request.variant)));
  text("version", field_text(request.version, sizeof(request.version)));
}

void MultipartBody::common_head(const https_request& request, int64_t now) {
  identity(request);
  text("time", std::to_string(now));
}
