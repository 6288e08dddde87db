// Reading the workers' settings from the configuration store.
//
// Every setting is read with get_taglist_default and the default "", so a
// missing key and an empty value both read as the empty text; numbers follow
// atoi/atol (missing or malformed = 0).
#pragma once

#include <string>

struct taglist;

// The value of key, or "" when it is missing or empty. Lives as long as the
// configuration.
const char* config_text(const taglist* config, const char* key);

// The same for the key "FEATURE_<prefix>_<suffix>".
const char* feature_text(const taglist* config, const char* prefix, const char* suffix);

inline bool config_is_set(const char* value) { return value != nullptr && value[0] != '\0'; }
