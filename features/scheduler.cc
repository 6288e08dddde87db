// Feature scheduling: support switches, automatic start and repeat, triggers.
#include "features/scheduler.h"

#include <cstdlib>
#include <cstring>

#include "platform/clock.h"

namespace {

const char* const kSupportKeys[FEATURE_ID_COUNT] = {
    "FEATURE_CONFIG_SUPPORT",   "FEATURE_REPORT_SUPPORT", "FEATURE_EVENT_SUPPORT",
    "FEATURE_FIRMWARE_SUPPORT", "FEATURE_UPISPD_SUPPORT", "FEATURE_REBOOT_SUPPORT",
    "FEATURE_REMOTE_ACTION_SUPPORT", "FEATURE_DEBUG_DUMP_SUPPORT", "FEATURE_GPSDATA_SUPPORT",
};

// Keys of one automatic timetable: the switch, the time (or interval) and the spread.
struct auto_keys {
  const char* on;
  const char* value;
  const char* delta;
};

struct feature_auto_keys {
  uint32_t id;
  auto_keys start;
  auto_keys repeat;
};

// The five features that have an automatic start and repeat of their own.
const feature_auto_keys kAutoKeys[] = {
    {FEATURE_ID_CONFIG,
     {"FEATURE_CONFIG_AUTO_START", "FEATURE_CONFIG_AUTO_START_TIME", "FEATURE_CONFIG_AUTO_START_DELTA"},
     {"FEATURE_CONFIG_AUTO_REPEAT", "FEATURE_CONFIG_AUTO_REPEAT_INTERVAL",
      "FEATURE_CONFIG_AUTO_REPEAT_DELTA"}},
    {FEATURE_ID_REPORT,
     {"FEATURE_REPORT_AUTO_START", "FEATURE_REPORT_AUTO_START_TIME", "FEATURE_REPORT_AUTO_START_DELTA"},
     {"FEATURE_REPORT_AUTO_REPEAT", "FEATURE_REPORT_AUTO_REPEAT_INTERVAL",
      "FEATURE_REPORT_AUTO_REPEAT_DELTA"}},
    {FEATURE_ID_FIRMWARE,
     {"FEATURE_FIRMWARE_AUTO_START", "FEATURE_FIRMWARE_AUTO_START_TIME",
      "FEATURE_FIRMWARE_AUTO_START_DELTA"},
     {"FEATURE_FIRMWARE_AUTO_REPEAT", "FEATURE_FIRMWARE_AUTO_REPEAT_INTERVAL",
      "FEATURE_FIRMWARE_AUTO_REPEAT_DELTA"}},
    {FEATURE_ID_ISP,
     {"FEATURE_UPISPD_AUTO_START", "FEATURE_UPISPD_AUTO_START_TIME", "FEATURE_UPISPD_AUTO_START_DELTA"},
     {"FEATURE_UPISPD_AUTO_REPEAT", "FEATURE_UPISPD_AUTO_REPEAT_INTERVAL",
      "FEATURE_UPISPD_AUTO_REPEAT_DELTA"}},
    {FEATURE_ID_GPS,
     {"FEATURE_GPSDATA_AUTO_START", "FEATURE_GPSDATA_AUTO_START_TIME",
      "FEATURE_GPSDATA_AUTO_START_DELTA"},
     {"FEATURE_GPSDATA_AUTO_REPEAT", "FEATURE_GPSDATA_AUTO_REPEAT_INTERVAL",
      "FEATURE_GPSDATA_AUTO_REPEAT_DELTA"}},
};

const feature_auto_keys* auto_keys_of(uint32_t id) {
  for (const auto& keys : kAutoKeys) {
    if (keys.id == id) return &keys;
  }
  return nullptr;
}

// Times and spreads are read whether or not the switch is on.
int read_auto_info(const taglist* config, const auto_keys& keys, int32_t* value, uint32_t* spread) {
  *value = static_cast<int32_t>(atol(get_taglist_default(config, keys.value, "")));
  *spread = static_cast<uint32_t>(atol(get_taglist_default(config, keys.delta, "")));
  return strcmp(get_taglist_default(config, keys.on, ""), "1") == 0 ? 1 : 0;
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
  const feature_auto_keys* keys = auto_keys_of(id);
  return keys ? read_auto_info(config, keys->start, time, spread) : 0;
}

int __udp_client_get_auto_repeat_info(const taglist* config, uint32_t id, int32_t* interval,
                                      uint32_t* spread) {
  const feature_auto_keys* keys = auto_keys_of(id);
  return keys ? read_auto_info(config, keys->repeat, interval, spread) : 0;
}

void __udp_client_set_auto_start_time(const taglist* config, time_t* schedule) {
  const time_t now = vt_time();
  for (uint32_t id = 0; id < FEATURE_ID_COUNT; ++id) {
    int32_t offset = 0;
    uint32_t spread = 0;
    if (!__udp_client_feature_support(config, id)) continue;
    if (!__udp_client_get_auto_start_info(config, id, &offset, &spread)) continue;
    schedule[id] = now + offset + static_cast<time_t>(__udp_client_random_spread(spread));
  }
}

void __udp_client_update_schedule(uint32_t id, const taglist* config, time_t* schedule) {
  if (id >= FEATURE_ID_COUNT) return;
  const time_t now = vt_time();
  schedule[id] = 0;
  int32_t interval = 0;
  uint32_t spread = 0;
  if (__udp_client_get_auto_repeat_info(config, id, &interval, &spread)) {
    schedule[id] = now + interval + static_cast<time_t>(__udp_client_random_spread(spread));
  }
}

int __udp_client_smallest_feature_start_time(const time_t* schedule, uint32_t* id, time_t* time) {
  uint32_t best_id = 255;
  time_t best_time = 0;
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
