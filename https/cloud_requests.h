// The agent's HTTPS requests to the management server.
//
// Each function writes its body (and, for a multipart body, the header
// file) into its own fixed temporary files, runs the fetch tool, parses the
// answer and removes its body and header files whatever the outcome. All
// return 1 when the server's answer counts as success and 0 otherwise; the
// HTTPS result code (see https_request.h) is set to 0 on entry when code is
// not NULL and then to the answer's status. interface is the WAN interface
// to send from; NULL or "" sends from the default route.
//
// Two requests of the same kind must not run at the same time (they share
// file names); different kinds may.
#pragma once

#include <cstddef>
#include <cstdint>

#include "https/https_request.h"

// One spooled event, exactly as producers on the device write it (140 bytes,
// host byte order).
struct event_record {
  int32_t code;
  int32_t timestamp;
  char content[132];  // NUL-terminated
};
static_assert(sizeof(event_record) == 140, "event records are 140 bytes on disk");

// The largest file an upload takes (the configuration, the report, an
// action's output, a debug dump): above the command output the agent keeps
// (1 MiB and a line) and the largest configuration answer it takes (1 MiB).
// A larger file is not read and its request is not sent, as for a file
// that cannot be read; the line "Upload file %s is larger than %zu bytes:
// not sent" says why.
constexpr size_t kUploadFileMax = 2 * 1024 * 1024;

// Uploads request->config_path; on 301/302 the server's configuration is
// written to config_path (callers pass the same path).
int vantor_https_config_sync(const https_request* request, const char* interface, int* code,
                             const char* config_path);

// Uploads count events (nothing is sent when count < 1).
int vantor_https_submit_event_log(const https_request* request, const char* interface, int count,
                                  const event_record* events, int* code);

// Uploads the report file; when it cannot be read nothing is sent and the
// code is 300.
int vantor_https_device_report(const https_request* request, const char* interface,
                               const char* report_path, int* code);

// Asks for the ISP extension information; a 302 answer's body is saved to
// result_path.
int vantor_https_extension_info(const https_request* request, const char* interface,
                                const char* result_path, int* code);

// Tells the server that the extension custom_message_name was removed.
int vantor_https_extension_delete_info(const https_request* request, const char* interface,
                                       const char* custom_message_name, int* code);

// Uploads the output of remote action request->action_id from response_path.
int vantor_https_submit_action_response(const https_request* request, const char* interface,
                                        int* code, const char* response_path);

// Uploads the debug dump file request->dump_path.
int vantor_https_submit_debug_dump(const https_request* request, const char* interface, int* code);
