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

// The temporary files of each kind of exchange, by their base names in the
// agent's private directory (private_path(), platform/private_dir.h). Two
// exchanges of the same kind must never overlap, since they share these
// names.
namespace https_files {
constexpr const char* kConfBody = "udps_conf.in";
constexpr const char* kConfHeader = "udps_conf.header";
constexpr const char* kConfOutput = "udps_conf.dump";
constexpr const char* kEventBody = "udps_event.in";
constexpr const char* kEventHeader = "udps_event.header";
constexpr const char* kEventOutput = "udps_event.dump";
constexpr const char* kReportBody = "udps_report.in";
constexpr const char* kReportHeader = "udps_report.header";
constexpr const char* kReportOutput = "udps_report.dump";
constexpr const char* kExtenBody = "udps_exten.in";
constexpr const char* kExtenOutput = "udps_exten.dump";
constexpr const char* kExtenDelBody = "udps_exten_del.in";
constexpr const char* kExtenDelOutput = "udps_exten_del.dump";
constexpr const char* kActionBody = "udps_action.in";
constexpr const char* kActionHeader = "udps_action.header";
constexpr const char* kActionOutput = "udps_action.dump";
constexpr const char* kDumpBody = "debug_dump.in";
constexpr const char* kDumpHeader = "debug_dump.header";
constexpr const char* kDumpOutput = "debug_dump.tmp";
constexpr const char* kAuthBody = "udps_auth.in";
constexpr const char* kAuthOutput = "udps_auth.dump";
}  // namespace https_files
