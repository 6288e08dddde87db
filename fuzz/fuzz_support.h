// Helpers shared by the fuzz targets.
//
// Several parsers read files (the fetch tool's output, event records, the
// identity files). Their targets write the fuzz input to a scratch file of
// their own, named after the process so that parallel fuzzers never collide,
// and in /dev/shm when it exists so that each run costs no disk I/O.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

// A scratch directory for this process, made on first use.
inline const std::string& scratch_dir() {
  static const std::string dir = [] {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string d = std::string(base) + "/vtfuzz-" + std::to_string(getpid());
    std::string cmd = "mkdir -p '" + d + "'";
    if (system(cmd.c_str()) != 0) abort();
    return d;
  }();
  return dir;
}

inline std::string scratch_path(const char* name) { return scratch_dir() + "/" + name; }

// Writes the bytes to path, replacing what was there.
inline void write_file(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) abort();
  if (size > 0 && fwrite(data, 1, size, f) != size) abort();
  fclose(f);
}

// A found fault: the fuzzer reports it as a crash with this input.
[[noreturn]] inline void fail(const char* what) {
  fprintf(stderr, "fuzz check failed: %s\n", what);
  abort();
}

inline void check(bool condition, const char* what) {
  if (!condition) fail(what);
}

}  // namespace fuzz
