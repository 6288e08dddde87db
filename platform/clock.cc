#include "platform/clock.h"

#include <atomic>

namespace {
std::atomic<vt_clock_fn> installed_clock{nullptr};
}

time_t vt_time() {
  vt_clock_fn clock = installed_clock.load(std::memory_order_acquire);
  return clock ? clock() : time(nullptr);
}

void vt_set_clock(vt_clock_fn clock) { installed_clock.store(clock, std::memory_order_release); }
