// 32-bit time fields across the 2038 and 2106 wraps.
#include "platform/clock.h"

#include <gtest/gtest.h>

TEST(Clock32, FieldsWrapAndCompareTheShortWayRound) {
  const int64_t k2038 = INT64_C(2147483648);  // 2038-01-19 03:14:08 UTC
  const struct {
    int64_t a, b;  // full times
    int32_t diff;  // a - b as the 32-bit fields tell it
  } cases[] = {
      {1700000100, 1700000000, 100}, {k2038 + 5, k2038 - 5, 10},  // past 2038: later, not 68 years earlier
      {k2038 - 5, k2038 + 5, -10},   {INT64_C(4294967296) + 3, INT64_C(4294967290), 9},  // 2106
      {k2038, 0, INT32_MIN},  // half way round: the extreme, no overflow
      {0, k2038 - 1, -INT32_MAX},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.a) + " - " + std::to_string(c.b));
    EXPECT_EQ(vt_time32_diff(vt_time32(c.a), vt_time32(c.b)), c.diff);
    // Half way round either way is as near.
    if (c.diff != INT32_MIN) { EXPECT_EQ(vt_time32_widen(vt_time32(c.a), c.b), c.a); }
  }
}
