#include "options.h"

#include <cstdlib>
#include <cstring>

bool parse_fetch_options(int argc, char** argv, FetchOptions* o, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] != '-' || arg[1] == '\0') {
      if (!o->url.empty()) {
        *error = "more than one URL";
        return false;
      }
      o->url = arg;
      continue;
    }
    char opt = arg[1];
    if (opt == 'q') {
      o->quiet = true;
      continue;
    }
    if (strchr("TfOie", opt) == nullptr) {
      *error = std::string("unknown option ") + arg;
      return false;
    }
    std::string value = arg + 2;
    if (value.empty()) {
      if (i + 1 >= argc) {
        *error = std::string("option -") + opt + " needs a value";
        return false;
      }
      value = argv[++i];
    }
    switch (opt) {
      case 'T': {
        char* end = nullptr;
        long t = strtol(value.c_str(), &end, 10);
        if (*end != '\0' || t < 0) {
          *error = "bad time-out " + value;
          return false;
        }
        o->timeout_seconds = t;
        break;
      }
      case 'f':
        o->body_file = value;
        break;
      case 'O':
        o->output_file = value;
        break;
      case 'i':
        o->interface = value;
        break;
      case 'e':
        o->header_file = value;
        break;
    }
  }
  if (o->url.empty()) {
    *error = "no URL";
    return false;
  }
  return true;
}
