// Helpers shared by the fuzz targets.
//
// Several parsers read files (the fetch tool's output, event records, the
// identity files). Their targets write the fuzz input to a scratch file of
// their own, named after the process so that parallel fuzzers never collide,
// and in /dev/shm when it exists so that each run costs no disk I/O.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace fuzz {

// The scratch directory, then the names handed out by scratch_path; all are
// removed at exit.
inline std::vector<std::string>& scratch_names() {
  static std::vector<std::string> names;
  return names;
}

inline void remove_scratch();

// A scratch directory for this process, made on first use.
inline const std::string& scratch_dir() {
  static const std::string dir = [] {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string d = std::string(base) + "/vtfuzz-" + std::to_string(getpid());
    if (mkdir(d.c_str(), 0700) != 0 && errno != EEXIST) abort();
    // The list (holding the directory first) is built before the exit
    // handler is registered, so it still exists when the handler runs.
    scratch_names().push_back(d);
    atexit(remove_scratch);
    return d;
  }();
  return dir;
}

inline void remove_scratch() {
  std::vector<std::string>& names = scratch_names();
  for (size_t i = 1; i < names.size(); ++i) unlink(names[i].c_str());
  if (!names.empty()) rmdir(names[0].c_str());
}

// A scratch file name; the target may create and delete it at will.
inline std::string scratch_path(const char* name) {
  std::string path = scratch_dir() + "/" + name;
  scratch_names().push_back(path);
  return path;
}

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
