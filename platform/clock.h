// The agent's one reading of the wall clock.
//
// The agent's timetables are defined in wall-clock seconds (time()), down to
// what happens when the clock is set back, so it reads the clock only through
// vt_time(). Tests install their own clock with vt_set_clock() to step time
// forward or back without waiting; whole-process tests use libfaketime.
//
// time_t is 64 bits wide wherever the C library allows it (musl 1.2, glibc
// with _TIME_BITS=64 on 32-bit targets), so times held inside the agent keep
// counting past 2038. Only the 32-bit time fields of packets and device
// records hold seconds modulo 2^32; the helpers below write and compare them.
#pragma once

#include <cstdint>
#include <ctime>

using vt_clock_fn = time_t (*)();

// Seconds since the epoch: time(nullptr), or the installed test clock.
time_t vt_time();

// Installs a clock for tests; nullptr restores the system clock.
void vt_set_clock(vt_clock_fn clock);

// A time as a 32-bit field holds it: seconds modulo 2^32.
inline uint32_t vt_time32(int64_t t) { return static_cast<uint32_t>(static_cast<uint64_t>(t)); }

// How far the 32-bit time a lies after b (negative: before), taking the
// shorter way round the 2^32 circle; no signed arithmetic overflows.
inline int32_t vt_time32_diff(uint32_t a, uint32_t b) {
  const uint32_t d = a - b;
  return d <= INT32_MAX ? static_cast<int32_t>(d) : -static_cast<int32_t>(~d) - 1;
}

// The full time that the 32-bit time t stands for: the one nearest to near.
inline int64_t vt_time32_widen(uint32_t t, int64_t near) {
  return near + vt_time32_diff(t, vt_time32(near));
}
