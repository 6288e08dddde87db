// The agent's one reading of the wall clock.
//
// The agent's timetables are defined in wall-clock seconds (time()), down to
// what happens when the clock is set back, so it reads the clock only through
// vt_time(). Tests install their own clock with vt_set_clock() to step time
// forward or back without waiting; whole-process tests use libfaketime.
#pragma once

#include <ctime>

using vt_clock_fn = time_t (*)();

// Seconds since the epoch: time(nullptr), or the installed test clock.
time_t vt_time();

// Installs a clock for tests; nullptr restores the system clock.
void vt_set_clock(vt_clock_fn clock);
