// The channel's times are 32-bit seconds since the epoch, as on the wire and
// in the agenda records. Read as signed numbers they overflow in 2038, and as
// unsigned ones they wrap in 2106, so they are never compared directly: a
// difference taken modulo 2^32 and read as signed says which of two times
// comes first, correctly across either boundary, for times within 68 years
// of each other.
#pragma once

#include <cstdint>

#include "platform/clock.h"

// The current time, modulo 2^32.
inline uint32_t vt_time32() { return static_cast<uint32_t>(vt_time()); }

// Seconds from then to now: negative when now is before then.
inline int32_t vt_seconds_between(uint32_t then, uint32_t now) {
  return static_cast<int32_t>(now - then);
}
