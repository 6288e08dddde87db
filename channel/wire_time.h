// The channel's times are 32-bit seconds since the epoch, as on the wire and
// in the agenda records. They are never compared directly: platform/clock.h
// compares them the short way round the 2^32 circle, correctly across 2038
// and 2106, for times within 68 years of each other.
#pragma once

#include <cstdint>

#include "platform/clock.h"

// The current time, modulo 2^32.
inline uint32_t vt_time32() { return vt_time32(vt_time()); }

// Seconds from then to now: negative when now is before then.
inline int32_t vt_seconds_between(uint32_t then, uint32_t now) { return vt_time32_diff(now, then); }
