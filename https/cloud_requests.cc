#include "https/cloud_requests.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "https/https_files.h"
#include "https/https_parsers.h"
#include "https/https_transport.h"
#include "https/multipart_body.h"
#include "platform/clock.h"
#include "platform/log.h"
#include "platform/private_dir.h"
#include "platform/safe_file.h"

namespace {

// A file read whole for an upload. The files uploaded lie where other
// programs write them, often in a directory every user can write: a link,
// a FIFO (whose writer could hold the worker, or feed it without end) or a
// file past kUploadFileMax is refused, and said so in the log, since the
// request is then not sent at all.
struct FileBytes {
  std::string data;
  bool read = false;

  explicit FileBytes(const char* path) {
    switch (read_regular_file(path, kUploadFileMax, &data)) {
      case file_read::ok:
        read = true;
        break;
      case file_read::not_regular:
        __udp_client_log(VT_LOG_ERR, "Upload file %s is not a regular file: not sent", path);
        break;
      case file_read::too_big:
        __udp_client_log(VT_LOG_ERR, "Upload file %s is larger than %zu bytes: not sent", path,
                         kUploadFileMax);
        break;
      default:
        break;
    }
  }
};

enum class Parser { kResponse, kConfig };

// The fixed files of one kind of exchange, resolved for this run.
struct ExchangeFiles {
  std::string body, header, output;
  ExchangeFiles(const char* b, const char* h, const char* o)
      : body(private_path(b)),
        header(h ? private_path(h) : std::string()),
        output(private_path(o)) {}
};

// Removes the body and header files however the request ends.
class TempFilesGuard {
 public:
  explicit TempFilesGuard(const ExchangeFiles& files) : files_(files) {}
  ~TempFilesGuard() {
    unlink(files_.body.c_str());
    if (!files_.header.empty()) unlink(files_.header.c_str());
  }
  TempFilesGuard(const TempFilesGuard&) = delete;
  TempFilesGuard& operator=(const TempFilesGuard&) = delete;

 private:
  const ExchangeFiles& files_;
};

// Writes bytes into a fresh private file. Only kCreated lets a request go
// out: a body cut short (a full /tmp) must not be sent as if it were whole.
enum class WriteResult { kCreated, kNotCreated, kShort };
WriteResult write_body(const std::string& path, const std::string& bytes) {
  FILE* f = https_create_private_file(path.c_str());
  if (f == nullptr) return WriteResult::kNotCreated;
  bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (fclose(f) != 0) ok = false;
  return ok ? WriteResult::kCreated : WriteResult::kShort;
}

void reset_code(int* code) {
  if (code != nullptr) *code = HTTPS_CODE_NONE;
}

// The common steps of every multipart request. build() appends the parts
// to the body and returns false when a file the request depends on could
// not be read: the request is then not sent and the code becomes
// missing_code. parse() reads the tool's answer.
template <typename Build, typename Parse>
int multipart_exchange(const https_request* request, const char* interface, int* code,
                       const ExchangeFiles& files, int missing_code, Build build, Parse parse) {
  if (writeMulitpartHeader(files.header.c_str()) == 0) {
    unlink(files.header.c_str());
    return 0;
  }
  TempFilesGuard guard(files);
  MultipartBody body;
  bool complete;
  try {
    complete = build(body);
  } catch (...) {
    return 0;  // no memory for the body
  }
  // A body file that cannot be created fails first, with the code still 0.
  WriteResult written = write_body(files.body, complete ? body.data() : std::string());
  if (written != WriteResult::kCreated) return 0;
  if (!complete) {
    if (code != nullptr) *code = missing_code;
    return 0;
  }
  if (vantor_https_submit(request, files.body.c_str(), interface, files.header.c_str(),
                          files.output.c_str()) != 0) {
    return 0;
  }
  return parse(files.output.c_str());
}

// The common steps of the URL-encoded requests; parse() reads the answer.
template <typename Parse>
int urlencoded_exchange(const https_request* request, const char* interface,
                        const ExchangeFiles& files, const std::string& form, Parse parse) {
  TempFilesGuard guard(files);
  if (write_body(files.body, form) != WriteResult::kCreated) return 0;
  if (vantor_https_submit(request, files.body.c_str(), interface, nullptr, files.output.c_str()) !=
      0) {
    return 0;
  }
  return parse(files.output.c_str());
}

std::string identity_form(const https_request& r, int64_t now) {
  return "serial=" + field_text(r.serial, sizeof(r.serial)) +
         "&model=" + field_text(r.model, sizeof(r.model)) +
         "&variant=" + field_text(r.variant, sizeof(r.variant)) +
         "&version=" + field_text(r.version, sizeof(r.version)) + "&time=" + std::to_string(now);
}

// The full time: a 32-bit long would turn negative in 2038.
int64_t now() { return vt_time(); }

auto parse_response(int* code) {
  return [code](const char* output) { return vantor_https_parse_response(output, code); };
}

// The request functions report failure as 0, never as an exception (the
// only one possible here is a lack of memory for a path or a body).
template <typename F>
int guarded(F f) {
  try {
    return f();
  } catch (...) {
    return 0;
  }
}

}  // namespace

int vantor_https_config_sync(const https_request* request, const char* interface, int* code,
                             const char* config_path) {
  reset_code(code);
  return guarded([&] {
    if (request == nullptr) return 0;
    ExchangeFiles files(https_files::kConfBody, https_files::kConfHeader, https_files::kConfOutput);
    std::string upload = field_text(request->config_path, sizeof(request->config_path));
    return multipart_exchange(
        request, interface, code, files, HTTPS_CODE_NONE,
        [&](MultipartBody& body) {
          body.common_head(*request, now());
          FileBytes config(upload.c_str());
          body.file("config", "masterconfig", "text/plain", config.data.data(), config.data.size());
          body.close_after_file();
          return config.read;
        },
        [&](const char* output) { return vantor_https_parse_config(output, config_path, code); });
  });
}

int vantor_https_submit_event_log(const https_request* request, const char* interface, int count,
                                  const event_record* events, int* code) {
  reset_code(code);
  return guarded([&] {
    if (count < 1 || request == nullptr || events == nullptr) return 0;
    ExchangeFiles files(https_files::kEventBody, https_files::kEventHeader,
                        https_files::kEventOutput);
    return multipart_exchange(
        request, interface, code, files, HTTPS_CODE_NONE,
        [&](MultipartBody& body) {
          body.common_head(*request, now());
          body.text("num", std::to_string(count));
          for (int i = 1; i <= count; ++i) {
            const event_record& e = events[i - 1];
            std::string n = std::to_string(i);
            body.text("event" + n + "_code", std::to_string(e.code));
            // Producers write the time modulo 2^32; an event is recent, so it
            // is the full time nearest to now, also once 2038 has passed.
            int64_t ts = vt_time32_widen(static_cast<uint32_t>(e.timestamp), vt_time());
            body.text("event" + n + "_ts", std::to_string(ts));
            body.text("event" + n + "_content", field_text(e.content, sizeof(e.content)));
          }
          body.close_after_text();
          return true;
        },
        parse_response(code));
  });
}

int vantor_https_device_report(const https_request* request, const char* interface,
                               const char* report_path, int* code) {
  reset_code(code);
  return guarded([&] {
    if (request == nullptr) return 0;
    ExchangeFiles files(https_files::kReportBody, https_files::kReportHeader,
                        https_files::kReportOutput);
    return multipart_exchange(
        request, interface, code, files, HTTPS_CODE_NO_REPORT,
        [&](MultipartBody& body) {
          body.common_head(*request, now());
          FileBytes report(report_path);
          body.file("report", "report", "application/x-gzip-compressed", report.data.data(),
                    report.data.size());
          body.close_after_file();
          return report.read;
        },
        parse_response(code));
  });
}

int vantor_https_extension_info(const https_request* request, const char* interface,
                                const char* result_path, int* code) {
  reset_code(code);
  return guarded([&] {
    if (request == nullptr) return 0;
    ExchangeFiles files(https_files::kExtenBody, nullptr, https_files::kExtenOutput);
    return urlencoded_exchange(request, interface, files, identity_form(*request, now()),
                               [&](const char* output) {
                                 return vantor_https_parse_extension(output, result_path, code);
                               });
  });
}

int vantor_https_extension_delete_info(const https_request* request, const char* interface,
                                       const char* custom_message_name, int* code) {
  reset_code(code);
  return guarded([&] {
    if (request == nullptr) return 0;
    ExchangeFiles files(https_files::kExtenDelBody, nullptr, https_files::kExtenDelOutput);
    // The name goes in as it is, blanks included: the server expects it so.
    std::string form = identity_form(*request, now()) + "&custom_message_name=" +
                       (custom_message_name != nullptr ? custom_message_name : "");
    return urlencoded_exchange(request, interface, files, form, [&](const char* output) {
      return vantor_https_parse_response(output, code);
    });
  });
}

int vantor_https_submit_action_response(const https_request* request, const char* interface,
                                        int* code, const char* response_path) {
  reset_code(code);
  return guarded([&] {
    if (request == nullptr) return 0;
    ExchangeFiles files(https_files::kActionBody, https_files::kActionHeader,
                        https_files::kActionOutput);
    return multipart_exchange(
        request, interface, code, files, HTTPS_CODE_NONE,
        [&](MultipartBody& body) {
          body.common_head(*request, now());
          body.text("action_id", std::to_string(static_cast<long>(request->action_id)));
          FileBytes response(response_path);
          body.raw("response", response.data.data(), response.data.size());
          body.close_after_file();
          return response.read;
        },
        parse_response(code));
  });
}

int vantor_https_submit_debug_dump(const https_request* request, const char* interface, int* code) {
  reset_code(code);
  return guarded([&] {
    if (request == nullptr) return 0;
    ExchangeFiles files(https_files::kDumpBody, https_files::kDumpHeader, https_files::kDumpOutput);
    const char* dump_path = request->dump_path;
    return multipart_exchange(
        request, interface, code, files, HTTPS_CODE_NONE,
        [&](MultipartBody& body) {
          body.identity(*request);
          FileBytes dump(dump_path);
          body.file("debug_dump", "debug_dump", "application/octet-stream", dump.data.data(),
                    dump.data.size());
          body.close_after_file();
          return dump.read;
        },
        parse_response(code));
  });
}
