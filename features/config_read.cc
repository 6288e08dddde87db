#include "features/config_read.h"

#include "platform/taglist.h"

const char* config_text(const taglist* config, const char* key) {
  if (config == nullptr) return "";
  const char* v = get_taglist_default(const_cast<taglist*>(config), key, "");
  return v ? v : "";
}

const char* feature_text(const taglist* config, const char* prefix, const char* suffix) {
  std::string key = std::string("FEATURE_") + prefix + "_" + suffix;
  return config_text(config, key.c_str());
}
