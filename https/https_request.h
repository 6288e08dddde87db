// The record every HTTPS exchange takes, and the codes it reports.
//
// A caller zeroes an https_request, fills the URL ("https://host/path") and
// the device identity, and hands it to one of the request functions. The
// request functions report how the server answered through an int "code"
// that callers print as "Code=%d" when an exchange fails.
#pragma once

#include <cstdint>

struct https_request {
  char url[1024];
  char serial[26];
  char model[20];
  char variant[20];
  char version[20];
  // Only three requests carry a field of their own; they share its place.
  union {
    char config_path[60];   // configuration sync: the file uploaded and rewritten
    int32_t action_id;      // action response
    const char* dump_path;  // debug dump: the file uploaded
  };
};

// Values of the HTTPS result code.
enum : int {
  HTTPS_CODE_NONE = 0,  // nothing parsed: files, tool failure, not sent
  HTTPS_CODE_OK = 200,
  HTTPS_CODE_MOVED = 301,      // configuration sync: apply and save
  HTTPS_CODE_FOUND = 302,      // configuration sync: apply only; extension info
  HTTPS_CODE_NO_REPORT = 300,  // device report file unreadable, nothing sent
  HTTPS_CODE_NO_NUMBER = 999,  // status line empty or without a leading number
};

// The fixed temporary files of each kind of exchange, as they are named on
// the device. They are always opened through system_path(). Two exchanges
// of the same kind must never overlap, since they share these names.
namespace https_files {
constexpr const char* kConfBody = "/tmp/udps_conf.in";
constexpr const char* kConfHeader = "/tmp/udps_conf.header";
constexpr const char* kConfOutput = "/tmp/udps_conf.dump";
constexpr const char* kEventBody = "/tmp/udps_event.in";
constexpr const char* kEventHeader = "/tmp/udps_event.header";
constexpr const char* kEventOutput = "/tmp/udps_event.dump";
constexpr const char* kReportBody = "/tmp/udps_report.in";
constexpr const char* kReportHeader = "/tmp/udps_report.header";
constexpr const char* kReportOutput = "/tmp/udps_report.dump";
constexpr const char* kExtenBody = "/tmp/udps_exten.in";
constexpr const char* kExtenOutput = "/tmp/udps_exten.dump";
constexpr const char* kExtenDelBody = "/tmp/udps_exten_del.in";
constexpr const char* kExtenDelOutput = "/tmp/udps_exten_del.dump";
constexpr const char* kActionBody = "/tmp/udps_action.in";
constexpr const char* kActionHeader = "/tmp/udps_action.header";
constexpr const char* kActionOutput = "/tmp/udps_action.dump";
constexpr const char* kDumpBody = "/tmp/debug_dump.in";
constexpr const char* kDumpHeader = "/tmp/debug_dump.header";
constexpr const char* kDumpOutput = "/tmp/debug_dump.tmp";
constexpr const char* kAuthBody = "/tmp/udps_auth.in";
constexpr const char* kAuthOutput = "/tmp/udps_auth.dump";
}  // namespace https_files
