// The daemon's own settings from the DEVICE_ keys of the configuration,
// and the device identity texts (configured, or found on the device).
#include <cstdlib>
#include <cstring>

#include "features/config_read.h"
#include "features/daemon_state.h"
#include "features/setting_rules.h"
#include "platform/identity.h"

namespace {

// Copies at most max characters of the configured value, or of the
// fallback when the value is empty, into dst (max + 1 bytes, terminated).
void copy_identity(char* dst, size_t max, const char* configured, const char* (*fallback)()) {
  memset(dst, 0, max + 1);
  strncpy(dst, configured, max);
  if (dst[0] == '\0') {
    const char* found = fallback();
    if (found != nullptr) strncpy(dst, found, max);
  }
  dst[max] = '\0';
}

// A positive integer setting; values below 1 (0, negative, no digits) fall
// back to the rule's default.
template <typename T>
void set_positive(const taglist* config, const setting_rule& rule, T* out) {
  const char* v = config_text(config, rule.key);
  if (config_is_set(v)) *out = static_cast<int32_t>(setting_value(rule, v));
}

}  // namespace

void __udp_client_get_device_info(const taglist* config, char* serial, char* model,
                                  char* variant, char* firmware, std::atomic<int>* log_enable,
                                  int32_t* keepalive_interval, int32_t* disconnect_timeout,
                                  std::string* log_file_path,
                                  std::atomic<uint32_t>* log_file_size,
                                  std::atomic<int16_t>* log_file_count, int32_t* black_list_size,
                                  std::string* interface_update_file) {
  char work[30] = {};
  strncpy(work, config_text(config, "DEVICE_SERIAL"), 29);
  if (work[0] == '\0') {
    const char* found = get_serial();
    if (found != nullptr) strncpy(work, found, 29);
  }
  convert_serial_packed(serial, work);
  serial[25] = '\0';

  copy_identity(model, 8, config_text(config, "DEVICE_MODEL"), get_model);
  copy_identity(variant, 8, config_text(config, "DEVICE_VARIANT"), get_variant);
  copy_identity(firmware, 11, config_text(config, "DEVICE_FIRMWARE"), get_version_dotted);

  const char* v = config_text(config, "DEVICE_LOG_ENABLE");
  if (config_is_set(v)) *log_enable = atoi(v);

  v = config_text(config, "DEVICE_LOG_PATH");
  if (config_is_set(v)) *log_file_path = v;

  v = config_text(config, "DEVICE_LOG_FILE_SIZE");
  if (config_is_set(v)) *log_file_size = static_cast<uint32_t>(atol(v));

  set_positive(config, kLogFileCountRule, log_file_count);
  set_positive(config, kKeepaliveRule, keepalive_interval);
  set_positive(config, kDisconnectRule, disconnect_timeout);
  set_positive(config, kBlackListRule, black_list_size);

  v = config_text(config, "DEVICE_INTERFACE_UPDATE");
  if (config_is_set(v)) *interface_update_file = v;
}

