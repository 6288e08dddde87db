// Feature scheduling: support switches, automatic start and repeat, triggers.
#include "daemon/scheduler.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"

namespace {

const char* const kSupportKeys[FEATURE_ID_COUNT] = {
    "FEATURE_CONFIG_SUPPORT",   "FEATURE_REPORT_SUPPORT", "FEATURE_EVENT_SUPPORT",
    "FEATURE_FIRMWARE_SUPPORT", "FEATURE_UPISPD_SUPPORT", "FEATURE_REBOOT_SUPPORT",
    "FEATURE_REMOTE_ACTION_SUPPORT", "FEATURE_DEBUG_DUMP_SUPPORT", "FEATURE_GPSDATA_SUPPORT",
};

// Key prefix of the features that have automatic start and repeat keys.
const char* auto_prefix(uint32_t id) {
  switch (id) {
    case FEATURE_ID_CONFIG: return "FEATURE_CONFIG";
    case FEATURE_ID_REPORT: return "FEATURE_REPORT";
    case FEATURE_ID_FIRMWARE: return "FEATURE_FIRMWARE";
    case FEATURE_ID_ISP: return "FEATURE_UPISPD";
    case FEATURE_ID_GPS: return "FEATURE_GPSDATA";
    default: return nullptr;
  }
}

const char* lookup(const taglist* config, const char* prefix, const char* suffix) {
  char key[96];
  snprintf(key, sizeof key, "%s%s", prefix, suffix);
  return get_taglist_default(config, key, "");
}

// Reads "<prefix><kind>", "<prefix><kind>_TIME|_INTERVAL", "<prefix><kind>_DELTA".
int read_auto_info(const taglist* config, uint32_t id, const char* kind, const char* value_suffix,
                   int32_t* value, uint32_t* spread) {
  const char* prefix = auto_prefix(id);
  if (!prefix) return 0;
  char base[64];
  snprintf(base, sizeof base, "%s%s", prefix, kind);
  // Times and spreads are read whether or not the switch is on.
  *value = static_cast<int32_t>(atol(lookup(config, base, value_suffix)));
  *spread = static_cast<uint32_t>(atol(lookup(config, base, "_DELTA")));
  return strcmp(lookup(config, base, ""), "1") == 0 ? 1 : 0;
}

void read_trigger(const taglist* config, const char* enable_key, const char* file_key,
                  feature_trigger* trigger) {
  trigger->enabled = 0;
  const char* enabled = get_taglist_default(config, enable_key, "");
  if (*enabled) trigger->enabled = atoi(enabled);
  const char* file = get_taglist_default(config, file_key, "");
  if (*file) {
    // A longer name is cut to what the record holds; otherwise the previous file stays.
    strncpy(trigger->file, file, sizeof trigger->file - 1);
    trigger->file[sizeof trigger->file - 1] = '\0';
  }
}

}  // namespace

uint32_t __udp_client_random_spread(uint32_t spread) {
  if (spread == 0) return 0;
  // The product wraps in 32 bits on purpose: every device computes the same
  // spread distribution from the same generator.
  uint32_t product = static_cast<uint32_t>(rand()) * 100u;
  return product % spread;
}

int __udp_client_feature_support(const taglist* config, uint32_t id) {
  if (id >= FEATURE_ID_COUNT) return 0;
  return strcmp(get_taglist_default(config, kSupportKeys[id], ""), "1") == 0 ? 1 : 0;
}

int __udp_client_get_auto_start_info(const taglist* config, uint32_t id, int32_t* time, uint32_t* spread) {
  return read_auto_info(config, id, "_AUTO_START", "_TIME", time, spread);
}

int __udp_client_get_auto_repeat_info(const taglist* config, uint32_t id, int32_t* interval,
                                      uint32_t* spread) {
  return read_auto_info(config, id, "_AUTO_REPEAT", "_INTERVAL", interval, spread);
}

void __udp_client_set_auto_start_time(const taglist* config, int32_t* schedule) {
  const int32_t now = static_cast<int32_t>(vt_time());
  for (uint32_t id = 0; id < FEATURE_ID_COUNT; ++id) {
    int32_t offset = 0;
    uint32_t spread = 0;
    if (!__udp_client_feature_support(config, id)) continue;
    if (!__udp_client_get_auto_start_info(config, id, &offset, &spread)) continue;
    // Seconds since the epoch wrap as 32-bit numbers, like the rest of the timetable.
    schedule[id] = static_cast<int32_t>(static_cast<uint32_t>(now) + static_cast<uint32_t>(offset) +
                                        __udp_client_random_spread(spread));
  }
}

void __udp_client_update_schedule(uint32_t id, const taglist* config, int32_t* schedule) {
  if (id >= FEATURE_ID_COUNT) return;
  const int32_t now = static_cast<int32_t>(vt_time());
  schedule[id] = 0;
  int32_t interval = 0;
  uint32_t spread = 0;
  if (__udp_client_get_auto_repeat_info(config, id, &interval, &spread)) {
    schedule[id] = static_cast<int32_t>(static_cast<uint32_t>(now) + static_cast<uint32_t>(interval) +
                                        __udp_client_random_spread(spread));
  }
}

int __udp_client_smallest_feature_start_time(const int32_t* schedule, uint32_t* id, int32_t* time) {
  uint32_t best_id = 255;
  int32_t best_time = 0;
  for (uint32_t i = 0; i < FEATURE_ID_COUNT; ++i) {
    // The report is requested on its own path by the supervision loop.
    if (i == FEATURE_ID_REPORT || schedule[i] == 0) continue;
    if (best_id == 255 || schedule[i] < best_time) {
      best_id = i;
      best_time = schedule[i];
    }
  }
  *id = best_id;
  *time = best_time;
  return best_id == 255 ? 0 : 1;
}

void __udp_client_get_config_trigger(const taglist* config, feature_trigger* trigger) {
  read_trigger(config, "FEATURE_CONFIG_TRIGGER_SUPPORT", "FEATURE_CONFIG_TRIGGER_FILE", trigger);
}

void __udp_client_get_gps_trigger(const taglist* config, feature_trigger* trigger) {
  read_trigger(config, "FEATURE_GPSDATA_TRIGGER_SUPPORT", "FEATURE_GPSDATA_TRIGGER_FILE", trigger);
}
