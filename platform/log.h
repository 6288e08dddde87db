// The log function: syslog-style level (0 emerg .. 7 debug), printf-style
// format and arguments, returning the number of characters written for the
// prefix and message (0 when nothing was written).
//
// Every line is "[<local time>] [<pid, 5 digits>] [<level name>] <message>\n",
// the time formatted as "%a %b %d %T %Z %Y". A level outside 0..7 is named
// "info". Each line is built whole and written at once, so lines from
// different threads never interleave.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "platform/log_level.h"
#include "platform/log_settings.h"

#define VT_LOG_PRINTF(fmt_index, args_index) __attribute__((format(printf, fmt_index, args_index)))

extern "C" {

// The daemon logger: appends to the live log file (standard error when the
// file cannot be opened), opening and closing it on every call, and rotates
// it into numbered copies once it has reached log_file_size. Honours
// log_enable and drops level 7 unless debug_mode is on.
int __udp_client_log(int level, const char* format, ...) VT_LOG_PRINTF(2, 3);

// The channel library's default logger: the same line on standard error,
// every level written.
int __vantor_udp_client_default_log(int level, const char* format, ...) VT_LOG_PRINTF(2, 3);

}  // extern "C"

// Whether log would write a debug line: false only for the daemon logger
// outside debug mode. A caller whose debug line costs work to prepare (an
// address to format) asks first.
bool vt_log_writes_debug(vantor_log_func log);

extern "C" {

// Names of levels 0..7: "emerg" "alert" "crit" "err" "warn" "notice" "info" "debug".
extern const char log_level_names[8][10];

}  // extern "C"

// The latest line of level 0..3 ("err" and worse) given to the daemon
// logger, kept even when logging is off: its message (without the prefix,
// cut at 256 bytes), its time and how many such lines came so far.
struct log_error_line {
  uint32_t count = 0;
  time_t when = 0;
  std::string message;
};
log_error_line get_last_error_line();
