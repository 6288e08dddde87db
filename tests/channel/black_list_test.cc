#include "channel/black_list.h"

#include <gtest/gtest.h>

namespace {

int has(const black_list_ptr &l, uint32_t id, uint32_t at = 0, int mode = BLACK_LIST_ANY_ENTRY) {
  return black_list_item_exist(l.get(), id, at, mode);
}

}  // namespace

TEST(BlackList, CapacityBoundsWhatIsRemembered) {
  black_list_ptr list(create_black_list(10)), none(create_black_list(0));
  for (uint32_t id = 100; id <= 110; ++id) ASSERT_EQ(add_black_list_item(list.get(), id, 0), 0);
  EXPECT_EQ(has(list, 100), 0) << "the oldest is forgotten";
  for (uint32_t id = 101; id <= 110; ++id) EXPECT_EQ(has(list, id), 1) << id;
  ASSERT_TRUE(none);  // capacity 0 remembers nothing (and divides by nothing)
  EXPECT_EQ(add_black_list_item(none.get(), 1, 0) + has(none, 1), 0);
}

TEST(BlackList, ModesDecideWhetherTimeCounts) {
  const uint32_t now = 1000000;
  black_list_ptr list(create_black_list(10));
  add_black_list_item(list.get(), 42, now + 5);
  add_black_list_item(list.get(), 1, 0x80000001u);  // accepted 5 s before 2^31 - 4
  const struct { uint32_t id, at; int mode, hit; } cases[] = {
      {42, now + 5, BLACK_LIST_NOT_PAST, 1},    {42, now + 6, BLACK_LIST_NOT_PAST, 0},
      {42, now + 100, BLACK_LIST_ANY_ENTRY, 1}, {43, now, BLACK_LIST_ANY_ENTRY, 0},
      {1, 0x7FFFFFFFu, BLACK_LIST_NOT_PAST, 1}, {1, 0x80000002u, BLACK_LIST_NOT_PAST, 0},  // across 2038
  };
  for (const auto &c : cases) EXPECT_EQ(has(list, c.id, c.at, c.mode), c.hit) << c.id << " " << c.at << " " << c.mode;
}

TEST(BlackList, CleanupForgetsIdsUpToThresholdAndTheRestartMark) {
  black_list_ptr list(create_black_list(40));
  for (uint32_t id : {0u, 29u, 30u, 31u, 32u, 0xFFFFFFFFu}) add_black_list_item(list.get(), id, 0);
  EXPECT_EQ(black_list_cleanup(list.get(), 30), 1);
  for (uint32_t id : {0u, 29u, 30u, 31u, 32u, 0xFFFFFFFFu}) EXPECT_EQ(has(list, id), id == 31 || id == 32) << id;
  add_black_list_item(list.get(), 7, 0);
  EXPECT_EQ(has(list, 7), 1) << "a cleared id can be remembered again";
}
