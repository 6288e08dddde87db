// Owning pointers for what C-style interfaces allocate, so that nothing they
// hand over is released by hand:
//  - owned<T>: memory from malloc, calloc, realloc or strdup, released with free
//    (owned_text for text);
//  - owned_by<T, release>: a record that its own module releases with a
//    function of its own (free_task_info, free_black_list, ...);
//  - owned_file: a stream from fopen or fdopen, closed with fclose;
//  - owned_dir: a listing from opendir, closed with closedir.
#pragma once

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

struct free_deleter {
  void operator()(void *memory) const { std::free(memory); }
};
template <typename T>
using owned = std::unique_ptr<T, free_deleter>;
using owned_text = owned<char>;

template <auto release>
struct release_with {
  template <typename T>
  void operator()(T *record) const {
    release(record);
  }
};
template <typename T, auto release>
using owned_by = std::unique_ptr<T, release_with<release>>;

inline void close_file(FILE *file) { std::fclose(file); }
using owned_file = owned_by<FILE, close_file>;
inline void close_dir(DIR *dir) { closedir(dir); }
using owned_dir = owned_by<DIR, close_dir>;

// Lends an owned text to a C function that replaces it in place (freeing the
// old one) through a char ** and takes the result back.
class owned_text_slot {
 public:
  explicit owned_text_slot(owned_text &text) : text_(text), raw_(text.release()) {}
  ~owned_text_slot() { text_.reset(raw_); }
  owned_text_slot(const owned_text_slot &) = delete;
  owned_text_slot &operator=(const owned_text_slot &) = delete;
  char **get() { return &raw_; }

 private:
  owned_text &text_;
  char *raw_;
};
