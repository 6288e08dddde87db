// Every key the agent reads from its configuration file, in one table: the
// checker knows a key by it, and a test holds the sample configuration and
// the configuration reference to exactly these keys.
#pragma once

#include <cstddef>
#include <cstdint>

enum class key_kind : uint8_t {
  text,            // taken as written (host, identity, arguments)
  file,            // a path on the device; a trailing "/" names a directory
  url_path,        // URL path of a feature's requests, which it cannot do without
  number,          // read like atoi/atol: a missing or malformed number is 0
  on_switch,       // on only for the exact value "1"
  command,         // shell command the feature runs when it has one
  needed_command,  // shell command the feature cannot do without
};

constexpr int kNoFeature = -1;

struct known_key {
  const char* name;
  key_kind kind;
  int feature;  // feature id (features/daemon_state.h), or kNoFeature
};

extern const known_key kKnownKeys[];
extern const size_t kKnownKeyCount;

// The entry of that name, or nullptr.
const known_key* find_known_key(const char* name);
