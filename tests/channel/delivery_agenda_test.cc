#include "channel/delivery_agenda.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace {

agenda_item *item(uint32_t seq, uint32_t created = 0) {
  auto *i = static_cast<agenda_item *>(std::calloc(1, sizeof(agenda_item)));
  i->seq = seq;
  i->created = created;
  return i;
}

class DeliveryAgenda : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(delivery_agenda_init(&agenda, 10), DELIVERY_AGENDA_OK); }
  void TearDown() override { delivery_agenda_free(&agenda); }  // the leak checker sees the rest
  std::vector<uint32_t> seqs() {
    std::vector<uint32_t> out;
    agenda_item *found = nullptr;
    for (uint32_t i = 0; delivery_agenda_get_item(&agenda, &found, i) == DELIVERY_AGENDA_OK; ++i) out.push_back(found->seq);
    EXPECT_EQ(out.size(), delivery_agenda_get_num_item(&agenda));
    return out;
  }
  delivery_agenda agenda{};
};

}  // namespace

TEST_F(DeliveryAgenda, EleventhItemGrowsTheArrayBy5000AndDeletionKeepsTheOrder) {
  for (uint32_t i = 0; i <= 10; ++i) ASSERT_EQ(delivery_agenda_add_item(&agenda, item(i)), 0);
  EXPECT_EQ(agenda.capacity, 5010u);
  for (uint32_t at : {0, 4, 8}) ASSERT_EQ(delivery_agenda_delete_item(&agenda, at), 0);
  EXPECT_EQ(seqs(), (std::vector<uint32_t>{1, 2, 3, 4, 6, 7, 8, 9}));
  // Freeing twice is harmless, and a freed agenda grows again on the next add.
  EXPECT_EQ(delivery_agenda_free(&agenda) + delivery_agenda_free(&agenda), 0);
  EXPECT_EQ(delivery_agenda_add_item(&agenda, item(1)), 0);
  EXPECT_EQ(agenda.capacity, 5000u);
}

TEST_F(DeliveryAgenda, LookupFindsTheOlderOfTwoEqualItemsAndMissesLeaveThingsAlone) {
  delivery_agenda_add_item(&agenda, item(5, 111));
  delivery_agenda_add_item(&agenda, item(6, 222));
  delivery_agenda_add_item(&agenda, item(5, 333));
  agenda_item *found = nullptr;
  ASSERT_EQ(delivery_agenda_detach_item_by_id_seq(&agenda, 0, 5, &found), 0);
  EXPECT_EQ(found->created, 111u);
  std::free(found);
  ASSERT_EQ(delivery_agenda_delete_item_by_id_seq(&agenda, 0, 5), 0);
  EXPECT_EQ(seqs(), (std::vector<uint32_t>{6}));

  agenda_item *untouched = reinterpret_cast<agenda_item *>(0x1), *out = untouched;
  EXPECT_EQ(delivery_agenda_get_item(&agenda, &out, 1), DELIVERY_AGENDA_BAD_INDEX);
  EXPECT_EQ(out, untouched);
  EXPECT_EQ(delivery_agenda_delete_item(&agenda, 1), DELIVERY_AGENDA_BAD_INDEX);
  EXPECT_EQ(delivery_agenda_delete_item_by_id_seq(&agenda, 0, 5), DELIVERY_AGENDA_NOT_FOUND);
  EXPECT_EQ(delivery_agenda_delete_item_by_id_seq(&agenda, 1, 6), DELIVERY_AGENDA_NOT_FOUND);
  EXPECT_EQ(delivery_agenda_detach_item_by_id_seq(&agenda, 0, 5, &out), DELIVERY_AGENDA_NOT_FOUND);
  EXPECT_EQ(delivery_agenda_add_item(&agenda, nullptr), DELIVERY_AGENDA_NULL_ARGUMENT);
  EXPECT_EQ(seqs(), (std::vector<uint32_t>{6}));
}
