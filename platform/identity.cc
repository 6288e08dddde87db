// Model, variant, serial number and firmware version of the device.
#include "platform/identity.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "platform/child_process.h"
#include "platform/owned.h"
#include "platform/paths.h"

namespace {

// The identity is read at cycle start on the entry thread, but nothing stops
// another thread from asking at the same time; one lock keeps the caches whole.
std::mutex identity_mutex;

char model_cache[20];
char variant_cache[20];
char serial_cache[32] = "0000-0000-0000";
int serial_found = 0;
int32_t version_cache = 0;
char version_dotted[20];


owned_file open_device_file(const char* device_path) {
  return owned_file(fopen(system_path(device_path).c_str(), "re"));
}

// The tool's path as one single-quoted shell word: a sandbox root may hold blanks.
std::string shell_quote(const std::string& word) {
  std::string quoted = "'";
  for (char c : word) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

// A device tool gets this long to answer and this much output is read; a
// tool that hangs must not hold up the start of a cycle (or a stop).
constexpr long long kToolSeconds = 10;
constexpr size_t kToolOutputCap = 16384;

// Runs a device tool with its arguments, its error output discarded, and
// collects its output. False when it could not be started.
bool run_device_tool(const char* device_path, const char* arguments, std::string* output) {
  std::string command = shell_quote(system_path(device_path)) + arguments + " 2>/dev/null";
  const child_output_sink sink = [output](const char* bytes, size_t size) {
    output->append(bytes, std::min(size, kToolOutputCap - output->size()));
    return output->size() < kToolOutputCap;
  };
  return run_shell_command(command.c_str(), child_deadline_in(kToolSeconds), &sink).end !=
         child_end::not_started;
}

// The next line of a tool's output as fgets(line, 255) reads it, kept to
// its first 30 characters; false at the end.
bool next_serial_line(const std::string& text, size_t* pos, char (&line)[256]) {
  line[0] = '\0';
  if (*pos >= text.size()) return false;
  size_t len = 0;
  while (*pos < text.size() && len < 254) {
    char c = text[(*pos)++];
    line[len++] = c;
    if (c == '\n') break;
  }
  line[len] = '\0';
  line[30] = '\0';
  return true;
}

const char* read_first_word(char* cache, const char* primary, const char* fallback) {
  std::lock_guard<std::mutex> lock(identity_mutex);
  if (cache[0] != '\0') return cache;
  owned_file file = open_device_file(primary);
  if (!file) file = open_device_file(fallback);
  if (!file) return cache;
  char line[8] = {};
  if (fgets(line, sizeof line, file.get()) != nullptr) sscanf(line, "%19s", cache);
  return cache;
}

bool valid_serial(const char* serial) {
  size_t n = strlen(serial);
  return n >= 8 && n <= 25;
}

// Reads one line of at most 254 characters and keeps its first 30; "" at the end.
bool read_serial_line(FILE* in, char (&line)[256]) {
  line[0] = '\0';
  if (fgets(line, 255, in) == nullptr) return false;
  line[30] = '\0';
  return true;
}

// One decimal integer the way "%d" reads it (blanks, sign, digits), held in
// range so that a huge number cannot wrap around into a valid component.
bool scan_int(const char*& p, int& out) {
  while (isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  if (!isdigit(static_cast<unsigned char>(*p))) return false;
  // 64 bits even where long has 32 (MIPS): value * 10 + 9 must not overflow.
  long long value = 0;
  for (; isdigit(static_cast<unsigned char>(*p)); ++p) {
    if (value < INT_MAX) value = value * 10 + (*p - '0');
  }
  if (value > INT_MAX) value = INT_MAX;
  out = static_cast<int>(negative ? -value : value);
  return true;
}

// Skips any one character, as "%*c" does.
bool skip_char(const char*& p) {
  if (*p == '\0') return false;
  ++p;
  return true;
}

// "%d%*c%d%*c%d" after an optional leading non-digit (a prefix such as "v").
void scan_version(const char* text, int& major, int& minor, int& patch) {
  const char* p = text;
  if (!isdigit(static_cast<unsigned char>(*p)) && !skip_char(p)) return;
  if (!scan_int(p, major) || !skip_char(p)) return;
  if (!scan_int(p, minor) || !skip_char(p)) return;
  scan_int(p, patch);
}

bool component_ok(int v) { return v >= 0 && v <= 99; }

int32_t version_number_locked() {
  if (version_cache > 0) return version_cache;
  owned_file file = open_device_file("/etc/software-release");
  if (!file) return version_cache;
  char line[20] = {};
  if (fgets(line, sizeof line, file.get()) == nullptr) return version_cache;
  int32_t number = scan_version_line(line);
  if (number > 0) version_cache = number;
  return version_cache;
}

}  // namespace

int32_t scan_version_line(const char* line) {
  if (line == nullptr || strlen(line) < 5) return 0;
  int major = -1, minor = -1, patch = -1;
  scan_version(line, major, minor, patch);
  if (!component_ok(major) || !component_ok(minor) || !component_ok(patch)) return 0;
  return major * 10000 + minor * 100 + patch;
}

void scan_serial_line(const char* line, bool sn_prefix, char (&serial)[256]) {
  serial[0] = '\0';
  if (line == nullptr) return;
  sscanf(line, sn_prefix ? "sn: %255[0-9A-Fa-f-]" : "%255[0-9A-Fa-f-]", serial);
}

const char* get_model() { return read_first_word(model_cache, "/etc/TRELL_model", "/etc/model"); }

const char* get_variant() {
  return read_first_word(variant_cache, "/etc/TRELL_variant", "/etc/variant");
}

const char* get_serial() {
  std::lock_guard<std::mutex> lock(identity_mutex);
  if (serial_found) return serial_cache;
  char result[256] = {};
  char line[256] = {};

  if (owned_file file = open_device_file("/etc/serial.number")) {
    read_serial_line(file.get(), line);
    scan_serial_line(line, false, result);
  }
  if (!valid_serial(result)) {
    std::string output;
    if (run_device_tool("/usr/bin/getsn", "", &output)) {
      size_t pos = 0;
      for (;;) {
        result[0] = '\0';
        if (!next_serial_line(output, &pos, line)) break;
        scan_serial_line(line, true, result);
        if (result[0] != '\0') break;
      }
    }
  }
  if (!valid_serial(result)) {
    std::string output;
    size_t pos = 0;
    if (run_device_tool("/bin/gethwinfo", " -f 0 -s", &output) &&
        next_serial_line(output, &pos, line)) {
      scan_serial_line(line, false, result);
    }
  }
  if (valid_serial(result)) {
    memcpy(serial_cache, result, strlen(result) + 1);  // at most 26 bytes once valid
    serial_found = 1;
  }
  return serial_cache;
}

void convert_serial_packed(char* dst, const char* src) {
  if (dst == nullptr) return;
  if (src == nullptr) src = "";
  if (strlen(src) == 14 && src[4] == '-' && src[9] == '-') {
    memset(dst, 0, 25);
    memcpy(dst, src, 4);
    memcpy(dst + 4, src + 5, 4);
    memcpy(dst + 8, src + 10, 4);
    return;
  }
  strncpy(dst, src, 25);
}

int32_t get_version_number() {
  std::lock_guard<std::mutex> lock(identity_mutex);
  return version_number_locked();
}

const char* get_version_dotted() {
  std::lock_guard<std::mutex> lock(identity_mutex);
  int32_t v = version_number_locked();
  snprintf(version_dotted, sizeof version_dotted, "%d.%d.%d", (v / 10000) % 100, (v / 100) % 100,
           v % 100);
  return version_dotted;
}

void reset_identity_cache() {
  std::lock_guard<std::mutex> lock(identity_mutex);
  model_cache[0] = '\0';
  variant_cache[0] = '\0';
  snprintf(serial_cache, sizeof serial_cache, "%s", "0000-0000-0000");
  serial_found = 0;
  version_cache = 0;
  version_dotted[0] = '\0';
}
