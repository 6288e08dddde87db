// Process-wide settings of the daemon logger.
//
// The entry point fills them with their defaults before it reads the
// configuration, the configuration's DEVICE_LOG_ keys replace them at the
// start of every cycle, and SIGUSR2 toggles debug_mode. Every logging thread
// reads them, and debug_mode is written from a signal handler, so they are
// lock-free atomics (safe to store from a signal handler). The log file path
// is a text and is replaced only through set_log_file_path(), under the
// logger's own lock, so a path can change while other threads log.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// 0 = the daemon logger writes nothing. Default 1.
extern std::atomic<int> log_enable;
// Rotate once the live file has reached this many bytes; 0 = never. Default 16384.
extern std::atomic<uint32_t> log_file_size;
// Rotated copies kept, "<path>.0" (newest) to "<path>.<count-1>". Default 4.
extern std::atomic<int16_t> log_file_count;
// 0 = level-7 (debug) lines are dropped. Default 0.
extern std::atomic<int> debug_mode;

static_assert(std::atomic<int>::is_always_lock_free, "flags are stored from signal handlers");

// The default live log file, "/tmp/udp_client.log" through the path seam.
std::string default_log_file_path();

// Replaces the live log file path with a copy of `path`; nullptr restores
// the default.
void set_log_file_path(const char* path);

// A copy of the live log file path in force.
std::string get_log_file_path();

// Restores every setting above to its default (start-up, and tests).
void reset_log_settings();
