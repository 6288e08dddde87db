// When each cloud feature runs on its own: the support switches, the
// automatic start and repeat times with their random spread, the earliest
// due feature, and the two trigger files.
#pragma once

#include <cstdint>
#include <ctime>

#include "features/feature_ids.h"
#include "platform/taglist.h"

// 1 when the feature's support key is exactly "1"; ids of 9 and above are never supported.
int __udp_client_feature_support(const taglist* config, uint32_t id);

// Read the automatic start (or repeat) time and spread of a feature; 1 when
// its switch is exactly "1". Features without such keys return 0 and leave
// the outputs alone.
int __udp_client_get_auto_start_info(const taglist* config, uint32_t id, int32_t* time, uint32_t* spread);
int __udp_client_get_auto_repeat_info(const taglist* config, uint32_t id, int32_t* interval, uint32_t* spread);

// First automatic start of every supported feature whose start switch is on.
void __udp_client_set_auto_start_time(const taglist* config, time_t* schedule);

// Called right after a feature was handed to its worker: the next run is
// counted from now, or the entry is cleared when automatic repeat is off.
void __udp_client_update_schedule(uint32_t id, const taglist* config, time_t* schedule);

// Earliest scheduled feature other than the report (ties go to the lower id).
// Returns 0 with id 255 and time 0 when nothing is scheduled.
int __udp_client_smallest_feature_start_time(const time_t* schedule, uint32_t* id, time_t* time);

void __udp_client_get_config_trigger(const taglist* config, feature_trigger* trigger);
void __udp_client_get_gps_trigger(const taglist* config, feature_trigger* trigger);

// Random spread R(d): 0 .. d-1 seconds drawn from rand().
uint32_t __udp_client_random_spread(uint32_t spread);
