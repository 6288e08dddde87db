// Helpers shared by the fuzz targets. Parsers that read files get the input
// in a scratch file of their own: in a directory named after the process (so
// parallel fuzzers never collide), in /dev/shm when it exists (no disk I/O),
// removed at exit.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fuzz {

// A found fault: the fuzzer reports it as a crash with this input.
inline void check(bool condition, const char* what) {
  if (!condition) fprintf(stderr, "fuzz check failed: %s\n", what), abort();
}

// A scratch file name; the target may create and delete it at will.
inline std::string scratch_path(const char* name) {
  static const std::string* dir = [] {  // never freed: the exit handler reads it
    auto* d = new std::string(std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/vtfuzz-" +
                              std::to_string(getpid()));
    check(mkdir(d->c_str(), 0700) == 0, "no scratch directory");
    atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(*dir, ignored);
    });
    return d;
  }();
  return *dir + "/" + name;
}

// Writes the bytes to path, replacing what was there.
inline void write_file(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = fopen(path.c_str(), "wb");
  check(f != nullptr && (size == 0 || fwrite(data, 1, size, f) == size), "scratch file not written");
  fclose(f);
}

}  // namespace fuzz
