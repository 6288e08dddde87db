// Feature ids and trigger files, shared by the scheduler, the handlers, the
// workers and vtclient-checkconf.
#pragma once

#include <cstdint>

enum : uint32_t {
  FEATURE_ID_CONFIG = 0,
  FEATURE_ID_REPORT = 1,
  FEATURE_ID_EVENT_LOG = 2,
  FEATURE_ID_FIRMWARE = 3,
  FEATURE_ID_ISP = 4,
  FEATURE_ID_REBOOT = 5,
  FEATURE_ID_REMOTE_ACTION = 6,
  FEATURE_ID_DEBUG_DUMP = 7,
  FEATURE_ID_GPS = 8,
  FEATURE_ID_COUNT = 9,
};

// A file whose appearance makes a feature due at once.
struct feature_trigger {
  int32_t enabled = 0;  // non-zero = the file is watched
  char file[65] = {};   // up to 64 characters
};
