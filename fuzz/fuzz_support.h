// Helpers shared by the fuzz targets. A parser that reads files gets the input
// in a scratch file of its own, in a directory named after the process (so
// parallel fuzzers never collide), in /dev/shm when it exists, removed at exit.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

namespace fuzz {

// Each target defines fuzz::one, which the fuzzer calls with every input.
void one(const uint8_t* data, size_t size);

// A found fault: the fuzzer reports it as a crash with this input.
inline void check(bool condition, const char* what) {
  if (!condition) fprintf(stderr, "fuzz check failed: %s\n", what), abort();
}

// The first line of the input as fgets with a buffer of buffer_size reads it, up to a NUL.
inline std::string first_line(const uint8_t* data, size_t size, size_t buffer_size) {
  std::string line;
  for (size_t i = 0; i < size && line.size() + 1 < buffer_size && (i == 0 || data[i - 1] != '\n'); ++i) line.push_back(data[i]);
  return line.c_str();
}

// A scratch file holding the bytes (written anew on each call).
inline std::string scratch_file(const char* name, const uint8_t* data = nullptr, size_t size = 0) {
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
  const std::string path = *dir + "/" + name;
  if (data == nullptr) return path;
  FILE* f = fopen(path.c_str(), "wb");
  check(f != nullptr && (size == 0 || fwrite(data, 1, size, f) == size), "scratch file not written");
  fclose(f);
  return path;
}

}  // namespace fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return fuzz::one(data, size), 0; }
